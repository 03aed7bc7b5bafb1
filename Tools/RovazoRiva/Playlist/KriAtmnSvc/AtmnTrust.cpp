#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnTrust.h"

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
    files.push_back(platform::inprocServerPath(clsid));
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

void ReportRefusal(uint32_t code, const char* what, const std::string& reason) {
    KriReportEvent(code, "Refusing %s: %s", what, reason.c_str());
}

void WarnIfKeyReadableByOthers(const String& keyFile) {
    if (platform::readableByOthers(keyFile.c_str(), AtmnService::serviceAccount())) {
        KriReportEvent(kAtmnEventSslWarning, "Warning: the key file %s can be read by other users",
                       keyFile.c_str());
    }
}

void WarnIfServerNameUnchecked(const String& serverName) {
    if (serverName.Length() == 0) {
        KriReportEvent(kAtmnEventSslWarning,
                       "Warning: the server's name is not checked (no SslServerName in "
                       "AggrServer): any server with a certificate from the CA is accepted");
    }
}
