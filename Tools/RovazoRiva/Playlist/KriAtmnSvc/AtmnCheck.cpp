#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnCheck.h"
#include "Platform/Clock.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <memory>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "CertificateDates.h"
#include "LibraryInterfaces/KriErr.h"
#include "Platform/ComApartment.h"
#include "Platform/ComRuntime.h"
#include "Platform/FileAccess.h"
#include "Platform/FileTrust.h"
#include "Platform/Resolver.h"
#include "SSLSockets.h"
#include "Tools/RovazoRiva/Common/AggrSvrConn.h"
#include "Tools/RovazoRiva/Common/LinkMonitor.h"
#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnConfig.h"
#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnInterfaces.h"
#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnTrust.h"
#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/ComponentScope.h"

namespace {

// The trace lines written while the check connects, for the outcome in the words the service's
// own trace would use. Calls are serialised by the trace library; the lines are read once the
// collector is no longer the sink.
class TraceCollector : public KriLogSink {
public:
    void writeTrace(const KriTraceRecord& record) override { records.push_back(record); }
    void writeEvent(const KriEventRecord& record) override {
        records.push_back(KriTraceRecord{record.type, 0, "", record.text, record.record});
    }

    // The first line that the unit wrote; empty when it wrote none.
    std::string firstLineOf(const char* unit) const {
        for (const KriTraceRecord& record : records) {
            if (ofUnit(record, unit)) {
                return record.message;
            }
        }
        return "";
    }

    // The lines of other units, each after "; ".
    std::string otherLines(const char* unit) const {
        std::string text;
        for (const KriTraceRecord& record : records) {
            if (!ofUnit(record, unit)) {
                text += "; " + record.message;
            }
        }
        return text;
    }

private:
    static bool ofUnit(const KriTraceRecord& record, const char* unit) {
        return record.stamp.rfind(std::string(unit) + ":", 0) == 0;
    }

    std::vector<KriTraceRecord> records;
};

// Empty when the certificate chains to an authority of the context's store, else the reason.
std::string issuedByStore(SSL_CTX* ctx, X509* certificate) {
    std::unique_ptr<X509_STORE_CTX, decltype(&X509_STORE_CTX_free)> store(X509_STORE_CTX_new(),
                                                                          &X509_STORE_CTX_free);
    if (!store ||
        X509_STORE_CTX_init(store.get(), SSL_CTX_get_cert_store(ctx), certificate, nullptr) != 1) {
        return "cannot set up the verification";
    }
    if (X509_verify_cert(store.get()) == 1) {
        return std::string();
    }
    return X509_verify_cert_error_string(X509_STORE_CTX_get_error(store.get()));
}

// Why the PEM file cannot serve as a certificate (or, with key, as the key opened with the
// program's pass phrase); empty when it can.
std::string pemProblem(const std::string& path, bool key) {
    errno = 0;
    const std::unique_ptr<BIO, decltype(&BIO_free)> in(BIO_new_file(path.c_str(), "r"), &BIO_free);
    if (!in) {
        ERR_clear_error();
        return path + ": " + std::strerror(errno != 0 ? errno : EIO);
    }
    bool loaded;
    if (key) {
        EVP_PKEY* privateKey = PEM_read_bio_PrivateKey(
            in.get(), nullptr, nullptr, const_cast<char*>(CAggrSvrClient::kKeyPassPhrase));
        loaded = privateKey != nullptr;
        EVP_PKEY_free(privateKey);
    } else {
        X509* certificate = PEM_read_bio_X509(in.get(), nullptr, nullptr, nullptr);
        loaded = certificate != nullptr;
        X509_free(certificate);
    }
    ERR_clear_error();
    if (loaded) {
        return "";
    }
    return path + (key ? ": no PEM private key that opens with the program's pass phrase"
                       : ": no PEM certificate in it");
}

// The part of the path up to its last '/'.
std::string directoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// The directories the shipped unit lets the service write to (ReadWritePaths=, its runtime
// directory); every other one is read-only under its sandbox.
bool writableUnderTheUnit(const std::string& directory) {
    for (const char* allowed :
         {"/run/kriatmnsvc", "/var/spool/kriatmnsvc", "/var/lib/prometheus/node-exporter"}) {
        const std::string prefix = allowed;
        if (directory == prefix || directory.rfind(prefix + "/", 0) == 0) {
            return true;
        }
    }
    return false;
}

std::string modeText(uint32_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", mode);
    return text;
}

}  // namespace

AtmnCheck::AtmnCheck(const String& configPath, std::string account, bool connect, FILE* out)
    : configPath(configPath), account(std::move(account)), connect(connect), out(out) {}

void AtmnCheck::report(bool ok, const std::string& what, const std::string& text) {
    // The text may quote the configuration, which could hold line breaks or terminal escapes.
    std::fprintf(out, "%s  %s: %s\n", ok ? "OK  " : "FAIL", what.c_str(), KriOneLine(text).c_str());
    std::fflush(out);
    allPassed = allPassed && ok;
}

void AtmnCheck::warn(const std::string& what, const std::string& text) {
    std::fprintf(out, "WARN  %s: %s\n", what.c_str(), text.c_str());
    std::fflush(out);
}

void AtmnCheck::checkItem(const char* what, const String& value) {
    report(value.Length() > 0, what, value.Length() > 0 ? value.c_str() : "missing or empty");
}

bool AtmnCheck::run() {
    const std::string path = configPath.c_str();
    const std::string untrusted = platform::untrustedReason(path);
    if (!untrusted.empty()) {
        report(false, "configuration file", untrusted);
        return false;
    }
    bool classKnown = false;
    try {
        CAtmnConfig config(configPath);
        report(true, "configuration file", path);
        checkServiceCanRead("configuration file access", path,
                            "install -m 640 -g " + account + " <your copy> " + path);
        try {
            const CAtmnInitSettings init = config.ReadInitSettings();
            componentName = init.componentClass.name.c_str();
            componentIsProgId = init.componentClass.isProgId;
            classKnown = true;
            report(true, componentIsProgId ? "Automation/progid" : "Automation/uuid",
                   componentName);
            checkItem("AggrServer/SslCfktFile", init.sslCfktFile);
            checkItem("AggrServer/SslKeyFile", init.sslKeyFile);
            checkItem("AggrServer/SslCAFile", init.sslCAFile);
            if (const CAtmnRefusal untrusted = untrustedSslFiles(init)) {
                report(false, untrusted.what, untrusted.reason);
                sslFilesTrusted = false;
            }
            certificateFile = init.sslCfktFile.c_str();
            keyFile = init.sslKeyFile.c_str();
            caFile = init.sslCAFile.c_str();
            serverName = init.sslServerName.c_str();
            if (serverName.empty()) {
                warn("AggrServer/SslServerName",
                     "missing: the server's name is not checked, and any server with a "
                     "certificate from the CA is accepted");
            }
        } catch (const CAtmnConfigError&) {
            report(false, "Automation", "has neither a progid nor a uuid");
        }
        const CAtmnLinkSettings link = CAtmnConfig(configPath).ReadReconnectSettings();
        checkItem("AggrServer/ip", link.ip);
        host = link.ip.c_str();
        port = link.port;
        report(port > 0 && port<65536, "AggrServer/port", port> 0 && port < 65536
                   ? std::to_string(port)
                   : "not a TCP port number");
        checkItem("Studio/id", link.studioId);
        checkItem("Studio/name", link.studioName);
        CAtmnConfig written(configPath);
        checkWrittenFiles(written);
        prometheusFile = written.ReadPrometheusFile().c_str();
    } catch (const std::exception& e) {
        report(false, "configuration file", e.what());
        return false;
    }
    if (classKnown) {
        checkComponent();
    }
    const bool tlsReady = sslFilesTrusted && !certificateFile.empty() && !keyFile.empty() &&
                          !caFile.empty() && checkTls();
    if (!keyFile.empty()) {
        checkKeyPermissions();
    }
    if (!prometheusFile.empty()) {
        checkPrometheusFile();
    }
    const std::vector<uint32_t> addresses = checkServer();
    if (connect && tlsReady) {
        checkConnections(addresses);
    }
    return allPassed;
}

void AtmnCheck::checkWrittenFiles(CAtmnConfig& config) {
    const std::string spoolDir = config.ReadDeliverySettings().spoolDir;
    const std::string prometheusFile = config.ReadPrometheusFile().c_str();
    for (const CAtmnRefusal& untrusted : {untrustedSpoolDirectory(spoolDir, account),
                                          untrustedPrometheusFile(prometheusFile, account)}) {
        if (untrusted) {
            report(false, untrusted.what, untrusted.reason);
        }
    }
}

bool AtmnCheck::checkComponent() {
    platform::CoInitialize(nullptr);
    const std::u16string name = platform::utf8ToUtf16(componentName);
    platform::CLSID clsid{};
    const platform::HRESULT found = componentIsProgId
                                        ? platform::CLSIDFromProgID(name.c_str(), &clsid)
                                        : platform::CLSIDFromString(name.c_str(), &clsid);
    bool ok = false;
    if (found < 0) {
        report(false, "automation component",
               componentIsProgId ? componentName + " is not registered"
                                 : componentName + " is no class identifier");
    } else if (const std::string untrusted = untrustedComponentFiles(
                   CAtmnComponentClass{String(componentName.c_str()), componentIsProgId}, clsid);
               !untrusted.empty()) {
        report(false, "automation component", untrusted);
    } else {
        // In the apartment the service would create it in, which a "Free" component needs.
        const auto apartment = platform::ComApartment::start(
            platform::ComApartment::modelFor(platform::inprocThreadingModel(clsid)));
        platform::HRESULT result = platform::E_UNEXPECTED;
        if (apartment) {
            apartment->run([&] {
                void* created = nullptr;
                result = platform::CoCreateInstance(clsid, nullptr, platform::CLSCTX_INPROC_SERVER,
                                                    IID_IAtmnSystem, &created);
                const HeldReference<IAtmnSystem> instance(static_cast<IAtmnSystem*>(created),
                                                          kAdopted);
                ok = result >= 0 && instance.get() != nullptr;
            });
        }
        char code[16];
        std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(result));
        report(ok, "automation component",
               platform::guidToString(clsid) +
                   (ok ? " loads and is created" : " cannot be created: " + std::string(code)));
    }
    platform::CoUninitialize();
    return ok;
}

bool AtmnCheck::checkTls() {
    bool loadable = true;
    for (const auto& [what, file, key] :
         {std::tuple{"client certificate", certificateFile, false},
          std::tuple{"client key", keyFile, true}, std::tuple{"CA file", caFile, false}}) {
        if (const std::string problem = pemProblem(file, key); !problem.empty()) {
            report(false, what, problem);
            loadable = false;
        }
    }
    if (!loadable) {
        return false;
    }
    const std::vector<CertificateValidity> validities = certificateValidities(certificateFile);
    if (!validities.empty()) {
        const bool valid = validities.front().notAfter > std::time(nullptr);
        report(valid, "client certificate",
               validities.front().subject + (valid ? ", valid until " : ", expired ") +
                   platform::formatTime(validities.front().notAfter, platform::kMinutesUtcFormat));
    }
    std::unique_ptr<SSLContext> context;
    try {
        context = std::make_unique<SSLContext>(
            KRIString(certificateFile.c_str()), KRIString(keyFile.c_str()),
            KRIString(CAggrSvrClient::kKeyPassPhrase), KRIString(caFile.c_str()));
    } catch (const SSLContextError& e) {
        const int32_t code = e.getCode();
        const char* what = code == -3   ? "client certificate"
                           : code == -8 ? "CA file"
                                        : "client key";
        const std::string& file = code == -3 ? certificateFile : code == -8 ? caFile : keyFile;
        report(false, what, file + ": " + e.getMessage());
        return false;
    }
    report(true, "client key", keyFile + " loads and belongs to the certificate");
    const std::string issued =
        issuedByStore(context->getContext(), SSL_CTX_get0_certificate(context->getContext()));
    report(issued.empty(), "CA file",
           issued.empty() ? caFile + " issued the client certificate"
                          : caFile + " did not issue the client certificate: " + issued);
    return true;
}

void AtmnCheck::checkConnections(const std::vector<uint32_t>& addresses) {
    for (const uint32_t address : addresses) {
        const std::string server = platform::inetNtoa(address) + ":" + std::to_string(port);
        TraceCollector collector;
        KriLogSink* const previous = setKriLogSink(&collector);
        const bool connected = connectsTo(address);
        setKriLogSink(previous);
        const std::string outcome = collector.firstLineOf(LinkMonitor::kTraceUnit);
        report(connected, "TLS " + server,
               !outcome.empty()
                   ? outcome
                   : "no verified session within " + std::to_string(kConnectTimeoutMs / 1000) +
                         " s" + collector.otherLines(LinkMonitor::kTraceUnit));
    }
}

bool AtmnCheck::connectsTo(uint32_t address) {
    CAggrSvrClient client;
    if (client.setupSsl(String(certificateFile.c_str()), String(keyFile.c_str()),
                        String(caFile.c_str())) != CAggrSvrClient::kSuccess) {
        return false;
    }
    client.setServerName(String(serverName.c_str()));
    client.connect(String(platform::inetNtoa(address).c_str()), port);
    const uint64_t deadline = platform::tickCount64() + kConnectTimeoutMs;
    bool connected = client.isConnected();
    while (!connected && client.deliveryStatus().link != LinkState::kDown &&
           platform::tickCount64() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kConnectPollMs));
        connected = client.isConnected();
    }
    client.disconnect();
    return connected;
}

void AtmnCheck::checkKeyPermissions() {
    const std::optional<platform::FileOwnership> owner = platform::fileOwnership(keyFile);
    if (!owner) {
        report(false, "key file permissions", keyFile + " cannot be examined");
        return;
    }
    const std::string mode = modeText(owner->mode) + " " + owner->owner + ":" + owner->group;
    if ((owner->mode & 0027) != 0) {
        report(false, "key file permissions",
               mode + ": open to others (at most 0640, and the group must not write)");
    } else if (platform::accountExists(account) && !platform::accountCanRead(account, keyFile)) {
        report(false, "key file permissions",
               mode + ": the service's account " + account + " cannot read it (chgrp " + account +
                   " " + keyFile + " && chmod 640 " + keyFile + ")");
    } else {
        report(true, "key file permissions", mode);
    }
}

std::vector<uint32_t> AtmnCheck::checkServer() {
    if (host.empty()) {
        return {};
    }
    const std::vector<uint32_t> addresses = platform::resolveHost(host.c_str());
    std::string list;
    for (const uint32_t address : addresses) {
        list += (list.empty() ? "" : " ") + platform::inetNtoa(address);
    }
    report(!addresses.empty(), "server name " + host,
           addresses.empty() ? "does not resolve to an IPv4 address" : list);
    return addresses;
}

void AtmnCheck::checkServiceCanRead(const std::string& what, const std::string& path,
                                    const std::string& remedy) {
    if (!platform::accountExists(account)) {
        return;
    }
    if (platform::accountCanRead(account, path)) {
        report(true, what, "the service's account " + account + " can read it");
        return;
    }
    const std::optional<platform::FileOwnership> owner = platform::fileOwnership(path);
    report(false, what,
           path +
               (owner ? " (" + modeText(owner->mode) + " " + owner->owner + ":" + owner->group + ")"
                      : std::string()) +
               ": the service's account " + account + " cannot read it (" + remedy + ")");
}

void AtmnCheck::checkPrometheusFile() {
    const std::string directory = directoryOf(prometheusFile);
    const std::optional<platform::FileOwnership> owner = platform::fileOwnership(directory);
    if (!owner) {
        report(false, "Status/prometheusFile", directory + " does not exist");
    } else if ((owner->mode & 0002) != 0) {
        report(false, "Status/prometheusFile", directory + " is writable by others");
    } else if (platform::accountExists(account) &&
               !platform::accountCanWriteIn(account, directory)) {
        report(false, "Status/prometheusFile",
               directory + " (" + modeText(owner->mode) + " " + owner->owner + ":" + owner->group +
                   "): the service's account " + account + " cannot make files in it");
    } else if (platform::accountExists(account) && !writableUnderTheUnit(directory)) {
        report(false, "Status/prometheusFile",
               directory +
                   " is read-only under the unit's sandbox: add a drop-in with "
                   "ReadWritePaths=" +
                   directory);
    } else {
        report(true, "Status/prometheusFile", prometheusFile + ", written mode 0644");
    }
}
