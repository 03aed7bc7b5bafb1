#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnTrust.h"

#include <filesystem>
#include <vector>

#include "LibraryInterfaces/KriErr.h"
#include "Platform/ComRuntime.h"
#include "Platform/FileTrust.h"
#include "Platform/Registry.h"
#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnInterfaces.h"
#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnService.h"

std::string untrustedComponentFiles(const CAtmnComponentClass& componentClass,
                                    const platform::CLSID& clsid) {
    std::vector<std::string> files;
    if (componentClass.isProgId) {
        files.push_back(platform::registryValueFile(
            platform::HKEY_CLASSES_ROOT,
            (std::string(componentClass.name.c_str()) + "\\CLSID").c_str(), nullptr));
    }
    files.push_back(platform::registryValueFile(
        platform::HKEY_CLASSES_ROOT,
        ("CLSID\\" + platform::guidToString(clsid) + "\\InprocServer32").c_str(), nullptr));
    const std::string server = platform::inprocServerPath(clsid);
    if (!server.empty() && !std::filesystem::path(server).is_absolute()) {
        return "the InprocServer32 value of " + platform::guidToString(clsid) + " is \"" + server +
               "\", not an absolute path";
    }
    files.push_back(server);
    for (const std::string& file : files) {
        if (file.empty()) {
            continue;
        }
        if (std::string reason = platform::untrustedReason(file); !reason.empty()) {
            return reason;
        }
    }
    return "";
}

namespace {

CAtmnRefusal untrustedFile(const char* what, const std::string& path,
                           const std::string& account = "") {
    return {what, path.empty() ? "" : platform::untrustedReason(path, account)};
}

}  // namespace

CAtmnRefusal untrustedSslFiles(const CAtmnInitSettings& settings) {
    for (const CAtmnRefusal& refusal :
         {untrustedFile("certificate file", settings.sslCfktFile.c_str()),
          untrustedFile("key file", settings.sslKeyFile.c_str()),
          untrustedFile("CA file", settings.sslCAFile.c_str())}) {
        if (refusal) {
            return refusal;
        }
    }
    return {};
}

CAtmnRefusal untrustedSpoolDirectory(const std::string& directory, const std::string& account) {
    return {"spool directory",
            directory.empty() ? "" : platform::untrustedDirectoryReason(directory, account)};
}

CAtmnRefusal untrustedPrometheusFile(const std::string& file, const std::string& account) {
    return untrustedFile("Prometheus file", file, account);
}

void reportRefusal(uint32_t code, const char* what, const std::string& reason) {
    KriReportEvent(code, "Refusing %s: %s", what, reason.c_str());
}

void reportRefusal(uint32_t code, const CAtmnRefusal& refusal) {
    reportRefusal(code, ("the " + std::string(refusal.what)).c_str(), refusal.reason);
}

void warnIfKeyReadableByOthers(const String& keyFile) {
    if (platform::readableByOthers(keyFile.c_str(), AtmnService::serviceAccount())) {
        KriReportEvent(kAtmnEventSslWarning, "Warning: the key file %s can be read by other users",
                       keyFile.c_str());
    }
}

void warnIfServerNameUnchecked(const String& serverName) {
    if (serverName.Length() == 0) {
        KriReportEvent(kAtmnEventSslWarning,
                       "Warning: the server's name is not checked (no SslServerName in "
                       "AggrServer): any server with a certificate from the CA is accepted");
    }
}
