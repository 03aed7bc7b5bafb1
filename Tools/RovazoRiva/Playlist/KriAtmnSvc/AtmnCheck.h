// AtmnCheck: "KriAtmnSvc -check [-connect] -config FILE", the commissioning check of a
// configuration. It goes through what the service needs one item at a time and prints one line
// per check, "OK    <what>: <detail>" or "FAIL  <what>: <reason>" (and "WARN  <what>: <why>"
// for what the service accepts but warns about), in this order:
//   - the configuration file: trusted, parses, readable by the service's account, and has each
//     item (a missing SslServerName is a warning); the certificate, key and CA files, the spool
//     directory and the Prometheus file trusted;
//   - the automation component: registered, its files trusted, and created;
//   - each of the client certificate, the key and the CA file: readable and PEM (the line names
//     the file and the reason); then the certificate's expiry, the key opened with the program's
//     pass phrase and belonging to the certificate, and the certificate issued by the CA;
//   - the key file's permissions: nothing for others, and readable by the service's account;
//   - the Prometheus file's directory, when one is named: present, not writable by others,
//     writable by the service's account and by the unit's sandbox;
//   - the server's name resolves;
//   - with connect, a connection to every address through the service's own aggregation client,
//     with the service's certificate, key, CA file and server name; the line gives the outcome
//     as the service's link trace words it ("SSL connect successful", "SSL error : <code>
//     (<reason>)").
// A check whose input an earlier one could not provide is not run. Nothing is sent to the
// server beyond the handshake (the studio is not announced), and the service is not started.
//
// Runs on the calling thread, which it blocks for at most kConnectTimeoutMs per address; the
// client's own loop thread runs the connection, and its trace lines become the check's lines
// while it connects.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "LibraryInterfaces/String.h"

class CAtmnConfig;

class AtmnCheck {
public:
    static constexpr int kConnectTimeoutMs = 10000;

    // account: the system account the service runs as under systemd, whose read access to the
    // key is checked when it exists on this machine.
    AtmnCheck(const String& configPath, std::string account, bool connect, FILE* out);

    // Runs every check; true when all passed.
    bool run();

private:
    void report(bool ok, const std::string& what, const std::string& text);
    void warn(const std::string& what, const std::string& text);
    // Whether the service's account (when it exists here) may read path; remedy says how.
    void checkServiceCanRead(const std::string& what, const std::string& path,
                             const std::string& remedy);
    void checkPrometheusFile();
    void checkItem(const char* what, const String& value);
    bool checkComponent();
    bool checkTls();
    // FAIL lines for a spool directory or Prometheus file that is not to be trusted.
    void checkWrittenFiles(CAtmnConfig& config);
    void checkKeyPermissions();
    // The server's addresses, after the line that reports them.
    std::vector<uint32_t> checkServer();
    void checkConnections(const std::vector<uint32_t>& addresses);
    // Whether the aggregation client gets a verified session with the server at the address.
    bool connectsTo(uint32_t address);
    static constexpr int kConnectPollMs = 20;

    String configPath;
    std::string account;
    bool connect;
    FILE* out;
    bool allPassed = true;
    bool sslFilesTrusted = true;

    // From the configuration.
    std::string componentName;
    bool componentIsProgId = true;
    std::string certificateFile;
    std::string keyFile;
    std::string caFile;
    std::string serverName;
    std::string prometheusFile;
    std::string host;
    int port = 0;
};
