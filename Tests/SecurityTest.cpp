// Attacks on the service by another local user ("nobody"), by a hostile configuration file and by
// a hostile server on 127.0.0.1, each against the defence that stops it: files that decide what
// code runs, whom we trust or where we write; the configuration read anew; control characters in
// line-oriented output; deep and wide XML; a server that sends data or asks to renegotiate; and
// the run path of the programs in the build tree.
#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <vector>

#include "LibraryInterfaces/DomParse.h"
#include "LibraryInterfaces/XMLException.h"
#include "Platform/ComRuntime.h"
#include "Platform/FileTrust.h"
#include "Tests/AtmnSvcTestSupport.h"
#include "Tests/ChildProcess.h"
#include "Tests/Isolation.h"
#include "Tests/ScriptedTlsServer.h"
#include "Tests/TempDirectory.h"
#include "Tools/RovazoRiva/Common/AggrSvrConn.h"
#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnConfig.h"
#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnStatus.h"
#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnSvcImpl.h"

namespace {

namespace fs = std::filesystem;
using atmntest::LiveEnvironment;
using atmntest::RecordingLogSink;
using std::chrono::milliseconds;

// The services of this program get a /dev/shm of their own where they may, as "AtmnStop" is one
// per machine.
const ::testing::Environment* const privateShm =
    ::testing::AddGlobalTestEnvironment(new isolation::PrivateShmEnvironment);

constexpr uid_t kNobody = 65534;
constexpr uint32_t kConfigEvent = 0xCE000D02u;
constexpr uint32_t kNoComponentEvent = 0xCE000D03u;

std::string contentOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream whole;
    whole << in.rdbuf();
    return whole.str();
}

// Writes the file as "nobody" would; empty, or why it could not.
std::string writeAsNobody(const fs::path& path, const std::string& text) {
    return isolation::inChild([&]() -> std::string {
        if (!isolation::becomeNobody()) {
            return "not nobody";
        }
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << text;
        return out.flush() ? "" : "cannot write " + path.string();
    });
}

// A directory that root owns and everyone may pass through, for the attacker's folders.
class SharedBase : public ::testing::Test {
protected:
    void SetUp() override {
        if (!isolation::available()) {
            GTEST_SKIP() << "needs root and a user to change to";
        }
        chmod(base.path().c_str(), 0755);
    }

    // A folder that belongs to "nobody".
    fs::path nobodysFolder() {
        const fs::path folder = fs::path(base.path()) / "nobody";
        fs::create_directory(folder);
        EXPECT_EQ(0, chown(folder.c_str(), kNobody, kNobody));
        return folder;
    }
    // Nobody's own copy of a file, in its folder.
    std::string plantedCopy(const std::string& from) {
        const fs::path to = nobodysFolder() / fs::path(from).filename();
        EXPECT_EQ("", writeAsNobody(to, contentOf(from)));
        return to.string();
    }

    TempDirectory base{"kri-security"};
};

// run's result, or that of the stop it needed after 10 s (the set-up then went on).
int32_t runUntilRefused(AtmnSvcImpl& binding) {
    std::future<int32_t> result = std::async(std::launch::async, [&] { return binding.run(); });
    if (result.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        binding.stop();
    }
    return result.get();
}

std::string refusalNaming(const std::string& what, const fs::path& folder) {
    return "Refusing the " + what + ": " + folder.string() +
           " belongs to user 65534, not to root or to this process's user 0";
}

std::string withStatusElement(const atmntest::ServiceConfig& config, const std::string& status) {
    std::string text = config.text();
    text.insert(text.rfind("</KriAtmnSvc>"), status + "\n");
    return text;
}

using Security = SharedBase;

TEST_F(Security, AMissingPluginIsTrustedOnlyWhereNoOtherUserCouldCreateIt) {
    const fs::path shared = fs::path(base.path()) / "shared";
    fs::create_directory(shared);
    chmod(shared.c_str(), 01777);
    const fs::path plugin = shared / "libAutomation.so";
    EXPECT_EQ(plugin.string() + " does not exist and " + shared.string() +
                  " is writable by group or others, who could make it",
              platform::untrustedReason(plugin));
    // The race the check stops: nobody makes it before the load.
    ASSERT_EQ("", writeAsNobody(plugin, "nobody's code"));
    EXPECT_EQ(plugin.string() + " belongs to user 65534, not to root or to this process's user 0",
              platform::untrustedReason(plugin));

    const fs::path own = fs::path(base.path()) / "own";
    fs::create_directory(own);
    EXPECT_EQ("", platform::untrustedReason(own / "missing/libAutomation.so"));
}

TEST_F(Security, APluginNamedWithoutItsPathIsRefusedWhateverTheLibraryPath) {
    LiveEnvironment environment;
    const std::string planted = plantedCopy(KRI_SIMULATOR_PLUGIN);
    const std::string uuid = atmntest::kSimulatorUuid;
    ASSERT_TRUE(platform::setClassesDefaultValue("CLSID\\" + uuid + "\\InprocServer32",
                                                 "libKriAtmnSimulator.so"));
    const std::string config = environment.writeConfig();
    const std::string refusal = "the InprocServer32 value of " + uuid +
                                " is \"libKriAtmnSimulator.so\", not an absolute path";

    ChildProcess check(KRI_ATMNSVC_PROGRAM, {"-check", "-config", config},
                       {"LD_LIBRARY_PATH=" + fs::path(planted).parent_path().string()});
    ASSERT_TRUE(check.waitForExit().has_value());
    EXPECT_EQ(1u, check.count("FAIL  automation component: " + refusal)) << check.output();
    EXPECT_EQ(0u, check.count("loads and is created")) << check.output();

    RecordingLogSink log;
    AtmnSvcImpl binding;
    EXPECT_EQ(kAtmnConfigFailed, binding.init(config.c_str()));
    ASSERT_EQ(1u, log.allEvents().size());
    EXPECT_EQ(kNoComponentEvent, log.allEvents()[0].code);
    EXPECT_EQ("Refusing the automation component: " + refusal, log.allEvents()[0].text);
}

TEST_F(Security, FilesThatDecideWhomWeTrustOrWhereWeWriteMustBeOurs) {
    LiveEnvironment environment;
    const atmntest::ServiceConfig sound = environment.config;
    const fs::path folder = nobodysFolder();
    const std::string nobodysCa = plantedCopy(testcerts::testCerts().otherCaCert);
    struct Case {
        const char* what;
        std::function<void(atmntest::ServiceConfig&)> change;
    };
    const std::vector<Case> cases = {
        {"CA file", [&](auto& c) { c.caFile = nobodysCa; }},
        {"certificate file", [&](auto& c) { c.certFile = plantedCopy(c.certFile); }},
        {"key file", [&](auto& c) { c.keyFile = plantedCopy(c.keyFile); }},
        {"spool directory",
         [&](auto& c) {
             c.delivery = "<Delivery spoolDir=\"" + (folder / "spool").string() + "\"/>";
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        environment.config = sound;
        c.change(environment.config);
        RecordingLogSink log;
        AtmnSvcImpl binding;
        EXPECT_EQ(kAtmnConfigFailed, binding.init(environment.writeConfig().c_str()));
        const std::vector<atmntest::RecordingLogSink::Event> events = log.allEvents();
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(kConfigEvent, events.back().code);
        EXPECT_EQ(refusalNaming(c.what, folder), events.back().text);
    }

    // The Prometheus file is named at the start of run.
    environment.config = sound;
    const fs::path config = environment.directory / "status.xml";
    atmntest::writeFileAtomically(
        config, withStatusElement(
                    sound, "<Status prometheusFile=\"" + (folder / "kri.prom").string() + "\"/>"));
    {
        RecordingLogSink log;
        AtmnSvcImpl binding;
        ASSERT_EQ(kAtmnOk, binding.init(config.c_str()));
        EXPECT_EQ(kAtmnConfigFailed, runUntilRefused(binding));
        EXPECT_EQ(1u, log.count(refusalNaming("Prometheus file", folder)));
    }

    // -check says so instead of "OK    CA file".
    environment.config.caFile = nobodysCa;
    ChildProcess check(KRI_ATMNSVC_PROGRAM, {"-check", "-config", environment.writeConfig()});
    ASSERT_TRUE(check.waitForExit().has_value());
    EXPECT_EQ(1u, check.count("FAIL  CA file: " + folder.string() + " belongs to user 65534"))
        << check.output();
    EXPECT_EQ(0u, check.count("OK    CA file")) << check.output();

    // A reload that would take nobody's CA file keeps the running one.
    environment.config = sound;
    const std::string path = environment.writeConfig();
    RecordingLogSink log;
    AtmnSvcImpl binding;
    ASSERT_EQ(kAtmnOk, binding.init(path.c_str()));
    std::thread running([&] { binding.run(); });
    ASSERT_TRUE(eventually([&] { return binding.isRunning(); }));
    environment.config.caFile = nobodysCa;
    environment.writeConfig();
    binding.reload(nullptr);
    EXPECT_TRUE(eventually([&] {
        return log.count("Reload refused, the running configuration stays: the CA file: " +
                         folder.string() + " belongs to user 65534") == 1;
    }));
    EXPECT_EQ(0u, log.count("Configuration reloaded"));
    binding.stop();
    running.join();
}

TEST_F(Security, TheConfigurationIsCheckedEachTimeItIsRead) {
    LiveEnvironment environment;
    const fs::path config = fs::path(base.path()) / "KriAtmnSvc.xml";
    atmntest::writeFileAtomically(config, environment.config.text());
    // Once the service has read it, the file becomes writable by others and nobody edits it: its
    // own studio, towards its own server.
    std::unique_ptr<AggrReceiverProcess> nobodysServer = AggrReceiverProcess::start();
    atmntest::ServiceConfig nobodys = environment.config;
    nobodys.studioName = "nobody's studio";
    nobodys.port = nobodysServer->port();
    const auto tamper = [&] {
        chmod(config.c_str(), 0666);
        ASSERT_EQ("", writeAsNobody(config, nobodys.text()));
    };
    const std::string refusal =
        "Refusing the configuration file: " + config.string() + " is writable by group or others";

    {  // between init and run
        RecordingLogSink log;
        AtmnSvcImpl binding;
        ASSERT_EQ(kAtmnOk, binding.init(config.c_str()));
        tamper();
        EXPECT_EQ(kAtmnConfigFailed, runUntilRefused(binding));
        EXPECT_EQ(1u, log.count(refusal));
    }

    chmod(config.c_str(), 0644);
    atmntest::writeFileAtomically(config, environment.config.text());
    RecordingLogSink log;
    AtmnSvcImpl binding;
    ASSERT_EQ(kAtmnOk, binding.init(config.c_str()));
    std::thread running([&] { binding.run(); });
    ASSERT_TRUE(eventually([&] { return binding.isRunning(); }));
    tamper();
    // at a reload
    binding.reload(nullptr);
    EXPECT_TRUE(eventually([&] {
        return log.count("Reload refused, the running configuration stays: " + config.string() +
                         ": the configuration file is not to be trusted") == 1;
    }));
    // at a reconnection
    environment.receiver->stop();
    EXPECT_TRUE(eventually([&] { return log.count(refusal) > 0; }));
    EXPECT_EQ(0u, nobodysServer->count(" connected"));
    binding.stop();
    running.join();
}

TEST(SecurityLines, ControlCharactersNeverEndALineOrReachTheTerminal) {
    RecordingLogSink log;
    KriReportEvent(kConfigEvent, "Unable to use the spool: %s",
                   "/var/spool\nKriAtmn[1]: forged record\x1b[2J");
    const std::string escaped =
        "Unable to use the spool: /var/spool KriAtmn[1]: forged record\\x1B[2J";
    ASSERT_EQ(1u, log.allEvents().size());
    EXPECT_EQ(escaped, log.allEvents()[0].text);
    EXPECT_EQ(1u, log.count(escaped));

    // The status line goes to the service manager, which takes each line as a field.
    DeliveryStatus status;
    status.link = LinkState::kConnecting;
    status.server = "10.0.0.1\nWATCHDOG=1\nSTATUS=forged:4433";
    EXPECT_EQ(0u,
              statusLine(status).rfind("Connecting to 10.0.0.1 WATCHDOG=1 STATUS=forged:4433", 0))
        << statusLine(status);
}

std::string parseFailure(const std::string& text) {
    CMemXMLSrc source;
    source.SetMemPtr(text.c_str());
    CXMLDoc document;
    try {
        document.Parse(source);
    } catch (const CXMLException& e) {
        return e.what();
    }
    return "";
}

std::string nested(int depth) {
    std::string text;
    for (int i = 0; i < depth; ++i) {
        text += "<a>";
    }
    for (int i = 0; i < depth; ++i) {
        text += "</a>";
    }
    return text;
}

TEST(SecurityXml, DeepWideAndLongDocumentsAreRefusedWithAClearMessage) {
    EXPECT_EQ("", parseFailure(nested(CXMLDoc::kMaxDepth)));
    EXPECT_NE(std::string::npos,
              parseFailure(nested(300000)).find("Elements nested more than 256 deep at offset"));

    std::string wide = "<a";
    for (int i = 0; i < 100000; ++i) {
        wide += " n" + std::to_string(i) + "=\"\"";
    }
    EXPECT_EQ("", parseFailure(wide + "/>"));
    EXPECT_NE(std::string::npos,
              parseFailure(wide + " n99999=\"\"/>").find("Attribute given twice"));

    // A sparse file far beyond the limit is read no further than the limit.
    TempDirectory directory;
    const std::string path = directory / "KriAtmnSvc.xml";
    std::ofstream(path) << "<KriAtmnSvc>";
    fs::resize_file(path, 256u * 1024 * 1024);
    try {
        CAtmnConfig config(path.c_str());
        ADD_FAILURE() << "parsed";
    } catch (const CAtmnConfigError& e) {
        EXPECT_NE(std::string::npos, std::string(e.what()).find(
                                         "is longer than the 16777216 bytes a document may have"))
            << e.what();
    }
}

// The aggregation client against a server that sends what it never should.
class HostileServer : public ::testing::Test {
protected:
    void SetUp() override {
        const testcerts::CertFiles& certs = testcerts::testCerts();
        ASSERT_EQ(CAggrSvrClient::kSuccess,
                  client.setupSsl(certs.clientCert.c_str(), certs.clientKey.c_str(),
                                  certs.caCert.c_str()));
    }
    void TearDown() override {
        client.disconnect();
        setKriLogSink(nullptr);
    }
    void connectTo(ScriptedTlsServer& server) {
        client.connect("127.0.0.1", server.server->port());
        client.addStudio("Studio", "1");
        for (int i = 1; i <= 3; ++i) {
            client.addEntry(1, ("E" + std::to_string(i)).c_str(), "Entry", "<Entry/>");
        }
    }

    RecordingLogSink log;
    CAggrSvrClient client;
};

TEST_F(HostileServer, DataFromTheServerIsDroppedAndNeverSizesABuffer) {
    ScriptedTlsServer server({[](TlsTestServer::Connection& c, ScriptedTlsServer& s) {
        // A length far beyond any message, then one of 16 MiB that never comes whole.
        c.writeBytes(std::string(4, '\xFF') + std::string(64, 'x'));
        c.writeBytes(std::string("\x01\x00\x00\x00", 4) + std::string(65536, 'y'));
        s.readFrames(c, 4);
        eventually([&] { return s.release.load(); });
    }});
    connectTo(server);
    EXPECT_TRUE(eventually([&] { return server.framesOn(0) == 4; })) << server.framesOn(0);
    EXPECT_TRUE(client.isConnected());
    EXPECT_EQ(1u, server.connections().size());
    EXPECT_EQ(0u, log.count("SSL error"));
    server.release.store(true);
}

TEST_F(HostileServer, RenegotiationIsRefused) {
    std::atomic<int> renegotiated{-1};
    TlsTestServer::Options tls12;
    tls12.maxProtocolVersion = TLS1_2_VERSION;
    ScriptedTlsServer server({[&](TlsTestServer::Connection& c, ScriptedTlsServer& s) {
                                 s.readFrames(c, 1);
                                 renegotiated.store(c.renegotiate() ? 1 : 0);
                             }},
                             tls12);
    connectTo(server);
    ASSERT_TRUE(eventually([&] { return renegotiated.load() >= 0; }));
    EXPECT_EQ(0, renegotiated.load());
}

TEST(SecurityBuild, ProgramsInTheBuildTreeLoadNoLibraryFromTheCurrentDirectory) {
    if (!isolation::available()) {
        GTEST_SKIP() << "needs root and a user to change to";
    }
    TempDirectory folder("kri-planted");
    chmod(folder.path().c_str(), 0755);
    ASSERT_EQ(0, chown(folder.path().c_str(), kNobody, kNobody));
    for (const char* library :
         {"libkricom.so", "libpugixml.so.1", "libssl.so.3", "libcrypto.so.3", "libsystemd.so.0",
          "libstdc++.so.6", "libgcc_s.so.1", "libm.so.6", "libc.so.6"}) {
        ASSERT_EQ("", writeAsNobody(folder / library, "nobody's code\n"));
    }
    for (const char* program :
         {KRI_ATMNSVC_PROGRAM, KRI_REGISTER_PROGRAM, KRI_AGGR_RECEIVER_PROGRAM}) {
        ChildProcess run(
            "/bin/sh", {"-c", "cd \"$1\" && exec \"$2\" --version", "sh", folder.path(), program});
        ASSERT_TRUE(run.waitForExit().has_value()) << program;
        EXPECT_EQ(0u, run.count("error while loading shared libraries")) << run.output();
    }
}

}  // namespace
