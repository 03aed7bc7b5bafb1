// The installer's steps of the service program: the data folder and the configuration, made
// once and never overwritten, and the purge.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "Tests/TempDirectory.h"
#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnConfig.h"
#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnSetup.h"

namespace {

namespace fs = std::filesystem;

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Binary, so that the bytes are the same on Windows.
void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

class AtmnSetupTest : public ::testing::Test {
protected:
    TempDirectory temp{"kri-setup"};
    const std::string data = temp / "KriAtmnSvc";
    const AtmnSetup setup{data, temp / "programs"};
    std::string report;
    std::string reason;
};

TEST_F(AtmnSetupTest, MakesFoldersAndAConfigurationTheServiceReadsBack) {
    SetupValues values;
    values.serverAddress = "aggr.example.net";
    values.serverPort = "5443";
    values.studioId = "12";
    values.studioName = "Studio <B> & \"Co\"";
    ASSERT_TRUE(setup.prepare(values, report, reason)) << reason;

    EXPECT_TRUE(fs::is_directory(temp / "KriAtmnSvc/certs"));
    EXPECT_TRUE(fs::is_directory(temp / "KriAtmnSvc/spool"));
    CAtmnConfig config(setup.configurationPath().c_str());
    const CAtmnLinkSettings link = config.ReadReconnectSettings();
    EXPECT_EQ(std::string(link.ip.c_str()), "aggr.example.net");
    EXPECT_EQ(link.port, 5443);
    EXPECT_EQ(std::string(link.studioId.c_str()), "12");
    EXPECT_EQ(std::string(link.studioName.c_str()), "Studio <B> & \"Co\"");
    EXPECT_EQ(config.ReadDeliverySettings().spoolDir,
              data + static_cast<char>(fs::path::preferred_separator) + "spool");
}

TEST_F(AtmnSetupTest, AnExistingConfigurationIsNeverReplaced) {
    const std::string given = temp / "given.xml";
    writeFile(given, "<KriAtmnSvc><Studio id=\"3\" name=\"given\"/></KriAtmnSvc>\n");
    SetupValues fromFile;
    fromFile.configFrom = given;
    ASSERT_TRUE(setup.prepare(fromFile, report, reason)) << reason;
    EXPECT_EQ(readFile(setup.configurationPath()), readFile(given));

    // An operator's edit survives a later installation, with or without a file to copy.
    const std::string edited = "<KriAtmnSvc><!-- edited --></KriAtmnSvc>\n";
    writeFile(setup.configurationPath(), edited);
    SetupValues fromValues;
    fromValues.studioName = "other";
    EXPECT_TRUE(setup.prepare(fromValues, report, reason)) << reason;
    EXPECT_TRUE(setup.prepare(fromFile, report, reason)) << reason;
    EXPECT_EQ(readFile(setup.configurationPath()), edited);
    EXPECT_NE(report.find("exists and is kept"), std::string::npos) << report;
}

TEST_F(AtmnSetupTest, UnusableValuesFailAndLeaveNoConfiguration) {
    const std::string notXml = temp / "broken.xml";
    writeFile(notXml, "<KriAtmnSvc><Studio");
    const auto withPort = [](const char* port) {
        SetupValues values;
        values.serverPort = port;
        return values;
    };
    SetupValues noAddress;
    noAddress.serverAddress.clear();
    SetupValues missingFile;
    missingFile.configFrom = temp / "missing.xml";
    SetupValues brokenFile;
    brokenFile.configFrom = notXml;
    for (const SetupValues& values : {withPort("0"), withPort("65536"), withPort("44a"),
                                      withPort("123456"), noAddress, missingFile, brokenFile}) {
        reason.clear();
        EXPECT_FALSE(setup.prepare(values, report, reason));
        EXPECT_FALSE(reason.empty());
        EXPECT_FALSE(fs::exists(setup.configurationPath()));
        EXPECT_FALSE(fs::exists(setup.configurationPath() + ".new"));
    }
}

TEST_F(AtmnSetupTest, PurgeRemovesTheDataFolderAndAMissingOneIsNoFailure) {
    ASSERT_TRUE(setup.prepare(SetupValues{}, report, reason)) << reason;
    writeFile(temp / "KriAtmnSvc/spool/segment", "held");
    ASSERT_TRUE(setup.purge(reason)) << reason;
    EXPECT_FALSE(fs::exists(data));
    EXPECT_TRUE(setup.purge(reason)) << reason;
    EXPECT_TRUE(fs::exists(temp.path()));
}

TEST(AtmnSetupCommand, AnOptionGivenTwiceOrWithoutValueIsRefused) {
    const char* twice[] = {"KriAtmnSvc", "-setup", "-studio-name", "A", "-studio-name", "B"};
    EXPECT_EQ(runSetupCommand(6, const_cast<char**>(twice)), 2);
    const char* dangling[] = {"KriAtmnSvc", "-setup", "-port"};
    EXPECT_EQ(runSetupCommand(3, const_cast<char**>(dangling)), 2);
    const char* purgeWithArgument[] = {"KriAtmnSvc", "-purge", "now"};
    EXPECT_EQ(runSetupCommand(3, const_cast<char**>(purgeWithArgument)), 2);
}

}  // namespace
