#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "LibraryInterfaces/KriErr.h"
#include "Tests/CapturingLogSink.h"
#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnConfig.h"

namespace {

using Items = std::vector<std::string>;

const char kFullConfig[] =
    "<?xml version=\"1.0\"?>\n"
    "<KriAtmnSvc>\n"
    "  <Automation progid=\"Kri.AtmnStub\" uuid=\"{F0C31608-C5D8-49B6-BD9A-B0E1BB2A8671}\" "
    "house=\"A\"><Channel n=\"1\">Main</Channel></Automation>\n"
    "  <AggrServer ip=\"127.0.0.1\" port=\"5000\">\n"
    "    <SslCAFile>/etc/kri/ca.pem</SslCAFile>\n"
    "    <SslKeyFile>/etc/kri/key.pem</SslKeyFile>\n"
    "    <SslCfktFile>/etc/kri/cert.pem</SslCfktFile>\n"
    "  </AggrServer>\n"
    "  <Studio id=\"7\" name=\"Studio A\"/>\n"
    "</KriAtmnSvc>\n";

class AtmnConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = std::filesystem::temp_directory_path() /
              ("kri-config-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
               "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir);
        path = (dir / "atmn.xml").string();
        setKriLogSink(&sink);
    }
    void TearDown() override {
        setKriLogSink(nullptr);
        std::filesystem::remove_all(dir);
    }
    void write(const std::string& text) { std::ofstream(path, std::ios::trunc) << text; }
    // The stamp of the configuration reports: their own unit, whatever the line.
    static bool stampedByConfig(const std::string& trace) {
        return trace.rfind("Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnConfig:", 0) == 0;
    }
    static std::string messageOf(const std::string& trace) {
        return trace.substr(trace.find('|') + 1);
    }
    // The trace lines as "stamp|message" and the records as "CODE|text".
    Items traces() const {
        Items lines;
        for (const KriTraceRecord& t : sink.traces) {
            lines.push_back(t.stamp + "|" + t.message);
        }
        return lines;
    }
    Items events() const {
        Items records;
        for (const KriEventRecord& e : sink.events) {
            char code[16];
            std::snprintf(code, sizeof code, "%08X", e.code);
            records.push_back(std::string(code) + "|" + e.text);
        }
        return records;
    }

    std::filesystem::path dir;
    std::string path;
    CapturingLogSink sink;
};

TEST_F(AtmnConfigTest, InitReadsProgIdThenTheSslFilesAndNeverTheUuidBesideIt) {
    write(kFullConfig);
    CAtmnConfig config(path.c_str());
    CAtmnInitSettings settings = config.ReadInitSettings();
    EXPECT_EQ("Kri.AtmnStub", settings.componentClass.name);
    EXPECT_TRUE(settings.componentClass.isProgId);
    EXPECT_EQ("/etc/kri/cert.pem", settings.sslCfktFile);
    EXPECT_EQ("/etc/kri/key.pem", settings.sslKeyFile);
    EXPECT_EQ("/etc/kri/ca.pem", settings.sslCAFile);
    EXPECT_EQ("", settings.sslServerName);

    // A ProgId beside an empty uuid is no error: the uuid is not looked at.
    write("<c><Automation progid=\"Kri.Other\" uuid=\"\"/></c>");
    EXPECT_EQ("Kri.Other", CAtmnConfig(path.c_str()).ReadInitSettings().componentClass.name);
}

TEST_F(AtmnConfigTest, InitTakesTheUuidWhenProgIdIsEmpty) {
    write("<c><Automation progid=\"\" uuid=\"{F0C31608-C5D8-49B6-BD9A-B0E1BB2A8671}\"/></c>");
    CAtmnConfig config(path.c_str());
    CAtmnInitSettings settings = config.ReadInitSettings();
    EXPECT_EQ("{F0C31608-C5D8-49B6-BD9A-B0E1BB2A8671}", settings.componentClass.name);
    EXPECT_FALSE(settings.componentClass.isProgId);
    // Absent SSL files are passed on as empty texts.
    EXPECT_EQ("", settings.sslCfktFile);
    EXPECT_EQ("", settings.sslCAFile);
}

TEST_F(AtmnConfigTest, RunAndReconnectionReadTheFileAnewEachTime) {
    write(kFullConfig);
    CAtmnConfig atRun(path.c_str());
    CAtmnRunSettings run = atRun.ReadRunSettings();
    // Everything inside "Automation" reaches the component.
    EXPECT_EQ(
        "<Automation progid=\"Kri.AtmnStub\" uuid=\"{F0C31608-C5D8-49B6-BD9A-B0E1BB2A8671}\" "
        "house=\"A\"><Channel n=\"1\">Main</Channel></Automation>",
        run.automationXml);
    EXPECT_EQ(5000, run.link.port);
    EXPECT_EQ("127.0.0.1", run.link.ip);
    EXPECT_EQ("7", run.link.studioId);
    EXPECT_EQ("Studio A", run.link.studioName);

    // Each reading parses the file again, so an edit shows at the next reconnection.
    write("<c><AggrServer ip=\"127.0.0.2\" port=\"6001\"/><Studio id=\"8\" name=\"B\"/></c>");
    CAtmnConfig atReconnect(path.c_str());
    CAtmnLinkSettings link = atReconnect.ReadReconnectSettings();
    EXPECT_EQ(6001, link.port);
    EXPECT_EQ("127.0.0.2", link.ip);
    EXPECT_EQ("8", link.studioId);
    EXPECT_EQ("B", link.studioName);
}

TEST_F(AtmnConfigTest, AbsentOrOddValuesArePassedOnUnchecked) {
    write("<c><AggrServer port=\"http\"/></c>");
    CAtmnRunSettings run = CAtmnConfig(path.c_str()).ReadRunSettings();
    EXPECT_EQ("", run.automationXml);
    EXPECT_EQ(0, run.link.port);
    EXPECT_EQ("", run.link.ip);
    EXPECT_EQ("", run.link.studioId);
    EXPECT_EQ("", run.link.studioName);
    write("<c/>");
    EXPECT_EQ(0, CAtmnConfig(path.c_str()).ReadReconnectSettings().port);
}

TEST_F(AtmnConfigTest, UnreadableMalformedOrClasslessFilesAreConfigurationErrors) {
    struct Case {
        const char* name;
        const char* text;  // null: no file at all
    };
    const Case cases[] = {
        {"missing file", nullptr}, {"malformed", "<c><Automation progid=\"Kri.AtmnStub\"></c>"},
        {"two roots", "<c/><d/>"}, {"neither progid nor uuid", "<c><Automation progid=\"\"/></c>"},
        {"no Automation", "<c/>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(path);
        if (c.text != nullptr) {
            write(c.text);
        }
        sink.traces.clear();
        sink.events.clear();
        int32_t status = 0;
        std::string cause;
        try {
            CAtmnConfig(path.c_str()).ReadInitSettings();
        } catch (const CAtmnConfigError& e) {
            cause = e.what();
            status = ReportConfigError(path.c_str());
        }
        EXPECT_EQ(kAtmnConfigFailed, status);
        EXPECT_FALSE(cause.empty());
        if (c.text == nullptr || std::string(c.name) == "malformed") {
            EXPECT_NE(std::string::npos, cause.find(path)) << cause;
        }
        ASSERT_EQ(2u, traces().size());
        EXPECT_TRUE(stampedByConfig(traces()[0])) << traces()[0];
        EXPECT_EQ("Incorrect content or config file path: " + path + " on", messageOf(traces()[0]));
        EXPECT_EQ("|" + path, traces()[1]);
        EXPECT_EQ((Items{"CE000D02|" + path}), events());
    }
}

TEST_F(AtmnConfigTest, UnresolvableClassReportsInvalidProgIdFirst) {
    ReportInvalidClass({"Kri.NotRegistered", true});
    EXPECT_EQ(-1, ReportConfigError(path.c_str()));
    ReportInvalidClass({"{not-a-guid}", false});
    ASSERT_EQ(4u, traces().size());
    EXPECT_TRUE(stampedByConfig(traces()[0]));
    EXPECT_EQ("invalid ProgId: Kri.NotRegistered", messageOf(traces()[0]));
    EXPECT_EQ("Incorrect content or config file path: " + path + " on", messageOf(traces()[1]));
    EXPECT_EQ("invalid ProgId: {not-a-guid}", messageOf(traces()[3]));
}

TEST_F(AtmnConfigTest, ReconnectionErrorAndPathsWithPercentSigns) {
    ReportReconnectError();
    // The event's empty text adds no blank trace line.
    ASSERT_EQ(1u, traces().size());
    EXPECT_TRUE(stampedByConfig(traces()[0]));
    EXPECT_EQ("Unable to reconnect", messageOf(traces()[0]));
    EXPECT_EQ((Items{"CE000D02|"}), events());

    // A path is data, never a format.
    sink.traces.clear();
    sink.events.clear();
    ReportConfigError("/etc/%s%n%d.xml");
    EXPECT_EQ("Incorrect content or config file path: /etc/%s%n%d.xml on", messageOf(traces()[0]));
    EXPECT_EQ((Items{"CE000D02|/etc/%s%n%d.xml"}), events());
}

}  // namespace

TEST(AtmnDeliveryConfig, SpoolAttributesAndTheirErrors) {
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("kri-delivery-" + std::to_string(getpid()) + ".xml"))
                                 .string();
    auto read = [&](const std::string& delivery) {
        std::ofstream(path, std::ios::trunc)
            << "<KriAtmnSvc><AggrServer ip=\"127.0.0.1\" port=\"1\">" << delivery
            << "</AggrServer></KriAtmnSvc>";
        return CAtmnConfig(path.c_str()).ReadDeliverySettings();
    };
    const CAtmnDeliverySettings absent = read("");
    EXPECT_EQ(absent.spoolDir, "");
    EXPECT_EQ(absent.sync, SpoolJournal::Sync::kBatch);
    const CAtmnDeliverySettings given =
        read("<Delivery spoolDir=\"/var/spool/k\" spoolMB=\"16\" sync=\"always\"/>");
    EXPECT_EQ(given.spoolDir, "/var/spool/k");
    EXPECT_EQ(given.spoolMB, 16);
    EXPECT_EQ(given.sync, SpoolJournal::Sync::kAlways);
    const std::pair<const char*, const char*> bad[] = {
        {"<Delivery spoolDir=\"spool\"/>",
         "attribute \"spoolDir\" is \"spool\": it must be an absolute path."},
        {"<Delivery spoolMB=\"0\"/>", "attribute \"spoolMB\" is \"0\": it must be a whole number"},
        {"<Delivery sync=\"Always\"/>",
         "attribute \"sync\" is \"Always\": it must be \"always\" or \"batch\"."},
    };
    for (const auto& [delivery, message] : bad) {
        try {
            read(delivery);
            ADD_FAILURE() << delivery << " was accepted";
        } catch (const CAtmnConfigValueError& e) {
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
        }
    }
    std::filesystem::remove(path);
}
