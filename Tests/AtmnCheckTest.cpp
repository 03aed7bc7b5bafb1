// "KriAtmnSvc -check": each fault of a configuration shows as its own FAIL line, and a sound
// one passes with a real handshake.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "Tests/AtmnSvcTestSupport.h"
#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnCheck.h"

namespace {

using atmntest::LiveEnvironment;

struct CheckResult {
    bool passed;
    std::string lines;
};

CheckResult check(const std::string& path, bool connect, const std::string& account = "") {
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    AtmnCheck c(String(path.c_str()), account, connect, out);
    const bool passed = c.run();
    std::fclose(out);
    CheckResult result{passed, std::string(text, size)};
    std::free(text);
    return result;
}

std::string copyWithMode(const std::string& from, const std::filesystem::path& to, mode_t mode) {
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
    chmod(to.c_str(), mode);
    return to.string();
}

TEST(AtmnCheck, ASoundConfigurationPassesEveryCheckAndTheHandshake) {
    LiveEnvironment env;
    env.config.keyFile = copyWithMode(env.config.keyFile, env.directory / "client.key", 0640);
    env.config.serverName = "localhost";
    const CheckResult r = check(env.writeConfig(), true);
    EXPECT_TRUE(r.passed) << r.lines;
    EXPECT_EQ(r.lines.find("FAIL"), std::string::npos) << r.lines;
    for (const char* line :
         {"OK    Automation/progid: Kri.AtmnSimulator\n",
          "OK    automation component: {D35472C6-3643-4749-B8DA-E8ACFCC6FDC6} loads and is "
          "created\n",
          "OK    key file permissions: 0640 ", "OK    server name 127.0.0.1: 127.0.0.1\n"}) {
        EXPECT_NE(r.lines.find(line), std::string::npos) << line << "\n" << r.lines;
    }
    EXPECT_NE(r.lines.find("OK    TLS 127.0.0.1:" + std::to_string(env.config.port) +
                           ": SSL connect successful\n"),
              std::string::npos)
        << r.lines;
}

TEST(AtmnCheck, EachFaultIsItsOwnFailLine) {
    LiveEnvironment env;
    const testcerts::CertFiles& certs = testcerts::testCerts();
    env.config.progid = "Kri.NotRegistered";
    env.config.caFile = certs.otherCaCert;
    env.config.keyFile = copyWithMode(certs.clientKey, env.directory / "open.key", 0644);
    env.config.studioName = "";
    env.config.ip = "kri-no-such-host.invalid";
    const CheckResult r = check(env.writeConfig(), false);
    EXPECT_FALSE(r.passed);
    for (const char* line :
         {"FAIL  automation component: Kri.NotRegistered is not registered\n",
          "FAIL  Studio/name: missing or empty\n",
          "did not issue the client certificate: unable to get local issuer certificate\n",
          "FAIL  key file permissions: 0644 ",
          "FAIL  server name kri-no-such-host.invalid: does not resolve"}) {
        EXPECT_NE(r.lines.find(line), std::string::npos) << line << "\n" << r.lines;
    }

    env.config = atmntest::ServiceConfig{};
    env.config.keyFile = certs.wrongKey;
    EXPECT_NE(check(env.writeConfig(), false).lines.find("FAIL  client key: "), std::string::npos);

    // The service's account cannot read a key that only its owner may.
    env.config.keyFile = copyWithMode(certs.clientKey, env.directory / "private.key", 0600);
    const CheckResult unreadable = check(env.writeConfig(), false, "nobody");
    EXPECT_NE(unreadable.lines.find("the service's account nobody cannot read it"),
              std::string::npos)
        << unreadable.lines;
}

// What the service's account would meet, whoever runs the check: a FAIL names the file and why,
// and the checks that do not need the failed one still run.
TEST(AtmnCheck, FilesAreJudgedAsTheServiceAccountSeesThemAndEachFailureNamesItsFile) {
    LiveEnvironment env;
    env.config.certFile = (env.directory / "studio-a.crt").string();
    env.config.keyFile = copyWithMode(env.config.keyFile, env.directory / "client.key", 0640);
    const std::string path = env.writeConfig();
    chmod(path.c_str(), 0600);
    CheckResult r = check(path, false, "nobody");
    EXPECT_FALSE(r.passed);
    for (const std::string& line :
         {"FAIL  configuration file access: " + path + " (0600 ",
          "): the service's account nobody cannot read it (install -m 640 -g nobody <your copy> " +
              path + ")\n",
          std::string("WARN  AggrServer/SslServerName: missing"),
          "FAIL  client certificate: " + env.config.certFile + ": No such file or directory\n",
          std::string("key file permissions: 0640 "), std::string("OK    server name 127.0.0.1")}) {
        EXPECT_NE(r.lines.find(line), std::string::npos) << line << "\n" << r.lines;
    }
    EXPECT_EQ(r.lines.find("FAIL  client key"), std::string::npos) << r.lines;

    // The Prometheus file's directory: present, closed to others, writable by the account and
    // by the unit's sandbox.
    env.config = atmntest::ServiceConfig{};
    env.config.serverName = "localhost";
    std::string text = env.config.text();
    const std::filesystem::path metrics = env.directory / "metrics";
    text.replace(text.find("</KriAtmnSvc>"), 13,
                 "<Status prometheusFile=\"" + (metrics / "k.prom").string() + "\"/></KriAtmnSvc>");
    atmntest::writeFileAtomically(env.directory / "prom.xml", text);
    const std::string prom = (env.directory / "prom.xml").string();
    EXPECT_NE(
        check(prom, false)
            .lines.find("FAIL  Status/prometheusFile: " + metrics.string() + " does not exist"),
        std::string::npos);
    std::filesystem::create_directory(metrics);
    chmod(metrics.c_str(), 0777);
    EXPECT_NE(check(prom, false).lines.find("is writable by others"), std::string::npos);
    chmod(metrics.c_str(), 0755);
    EXPECT_NE(check(prom, false).lines.find("OK    Status/prometheusFile: "), std::string::npos);
    if (geteuid() == 0) {
        r = check(prom, false, "nobody");
        EXPECT_NE(r.lines.find("the service's account nobody cannot make files in it"),
                  std::string::npos)
            << r.lines;
        ASSERT_EQ(0, chown(metrics.c_str(), 0, 65534));
        chmod(metrics.c_str(), 0775);
        r = check(prom, false, "nobody");
        EXPECT_NE(r.lines.find("is read-only under the unit's sandbox: add a drop-in with "
                               "ReadWritePaths=" +
                               metrics.string()),
                  std::string::npos)
            << r.lines;
    }
}

TEST(AtmnCheck, TheHandshakeReportsARefusedConnectionAndAWrongServerName) {
    LiveEnvironment env;
    env.config.serverName = "elsewhere.example";
    CheckResult r = check(env.writeConfig(), true);
    EXPECT_FALSE(r.passed);
    EXPECT_NE(r.lines.find("SSL error : -25 (the server's certificate failed verification: "
                           "hostname mismatch)\n"),
              std::string::npos)
        << r.lines;

    env.config.serverName = "";
    env.receiver.reset();
    r = check(env.writeConfig(), true);
    EXPECT_FALSE(r.passed);
    EXPECT_NE(r.lines.find(": SSL error : -10061 (Connection refused)\n"), std::string::npos)
        << r.lines;
}

TEST(AtmnCheck, AFileThatIsNoConfigurationEndsTheCheck) {
    LiveEnvironment env;
    const std::filesystem::path path = env.directory / "broken.xml";
    atmntest::writeFileAtomically(path, "<KriAtmnSvc><Automation");
    const CheckResult r = check(path.string(), true);
    EXPECT_FALSE(r.passed);
    EXPECT_EQ(r.lines.rfind("FAIL  configuration file: ", 0), 0u) << r.lines;
    EXPECT_EQ(r.lines.find('\n'), r.lines.size() - 1) << r.lines;
}

}  // namespace
