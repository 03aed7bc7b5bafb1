#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnConfig.h"

#include <filesystem>

#include "LibraryInterfaces/KriErr.h"
#include "Platform/FileTrust.h"
#include "Tools/RovazoRiva/Common/KriStatusCodes.h"

namespace {

const char kAtmnConfigUnit[] = "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnConfig";

// A whole decimal number in [low, high]; `fallback` when the text is empty.
int boundedNumber(const String& text, const char* name, int fallback, int low, int high) {
    const std::string value = text.c_str();
    if (value.empty()) {
        return fallback;
    }
    const bool digitsOnly =
        value.size() <= 9 && value.find_first_not_of("0123456789") == std::string::npos;
    const int number = digitsOnly ? std::stoi(value) : -1;
    if (number < low || number > high) {
        throw CAtmnConfigValueError("\"AggrServer\"/\"Delivery\" attribute \"" + std::string(name) +
                                    "\" is \"" + value + "\": it must be a whole number from " +
                                    std::to_string(low) + " to " + std::to_string(high) + ".");
    }
    return number;
}

CAtmnConfigValueError badDeliveryValue(const char* name, const std::string& value,
                                       const std::string& allowed) {
    return CAtmnConfigValueError("\"AggrServer\"/\"Delivery\" attribute \"" + std::string(name) +
                                 "\" is \"" + value + "\": it must be " + allowed + ".");
}

}  // namespace

CAtmnConfig::CAtmnConfig(const String& path) {
    if (std::string reason = platform::untrustedReason(path.c_str()); !reason.empty()) {
        throw CAtmnConfigUntrusted(reason);
    }
    CFileXMLSrc source;
    source.SetFilePath(path);
    try {
        document.Parse(source);
    } catch (const CXMLException& e) {
        throw CAtmnConfigError(std::string("CAtmnConfig::CAtmnConfig(): ") + e.what());
    }
    root = document.GetRootElement();
}

String CAtmnConfig::attribute(const char* element, const char* name) {
    return root(element)[name].GetNodeValue();
}

String CAtmnConfig::elementText(const char* parent, const char* element) {
    return root(parent)(element).GetNodeValue();
}

CAtmnInitSettings CAtmnConfig::ReadInitSettings() {
    CAtmnInitSettings settings;
    settings.componentClass = {attribute("Automation", "progid"), true};
    if (settings.componentClass.name.Length() == 0) {
        settings.componentClass = {attribute("Automation", "uuid"), false};
        if (settings.componentClass.name.Length() == 0) {
            throw CAtmnConfigError(
                "CAtmnConfig::ReadInitSettings(): \"Automation\" has neither a progid nor a uuid.");
        }
    }
    settings.sslCAFile = elementText("AggrServer", "SslCAFile");
    settings.sslKeyFile = elementText("AggrServer", "SslKeyFile");
    settings.sslCfktFile = elementText("AggrServer", "SslCfktFile");
    settings.sslServerName = elementText("AggrServer", "SslServerName");
    return settings;
}

CAtmnLinkSettings CAtmnConfig::readLink() {
    CAtmnLinkSettings link;
    link.port = attribute("AggrServer", "port").ToInt();
    link.ip = attribute("AggrServer", "ip");
    link.studioId = attribute("Studio", "id");
    link.studioName = attribute("Studio", "name");
    return link;
}

CAtmnRunSettings CAtmnConfig::ReadRunSettings() {
    CAtmnRunSettings settings;
    settings.automationXml = root("Automation").GetXml();
    settings.link = readLink();
    return settings;
}

CAtmnLinkSettings CAtmnConfig::ReadReconnectSettings() {
    return readLink();
}

CAtmnDeliverySettings CAtmnConfig::ReadDeliverySettings() {
    using Limits = CAtmnDeliverySettings;
    CElementNode delivery = root("AggrServer")("Delivery");
    CAtmnDeliverySettings settings;
    settings.backlogMB =
        boundedNumber(delivery["backlogMB"].GetNodeValue(), "backlogMB", Limits::kDefaultBacklogMB,
                      Limits::kMinBacklogMB, Limits::kMaxBacklogMB);
    settings.deadPeerSeconds = boundedNumber(
        delivery["deadPeerSeconds"].GetNodeValue(), "deadPeerSeconds",
        Limits::kDefaultDeadPeerSeconds, Limits::kMinDeadPeerSeconds, Limits::kMaxDeadPeerSeconds);
    settings.resendSeconds = boundedNumber(delivery["resendSeconds"].GetNodeValue(),
                                           "resendSeconds", Limits::kDefaultResendSeconds,
                                           Limits::kMinResendSeconds, Limits::kMaxResendSeconds);
    settings.spoolDir = delivery["spoolDir"].GetNodeValue().c_str();
    // On Windows "C:\..." is absolute too; "/..." stays accepted there as the root of the
    // service's drive.
    if (!settings.spoolDir.empty() && settings.spoolDir.front() != '/' &&
        !std::filesystem::path(settings.spoolDir).is_absolute()) {
        throw badDeliveryValue("spoolDir", settings.spoolDir, "an absolute path");
    }
    settings.spoolMB =
        boundedNumber(delivery["spoolMB"].GetNodeValue(), "spoolMB", Limits::kDefaultSpoolMB,
                      Limits::kMinSpoolMB, Limits::kMaxSpoolMB);
    const std::string sync = delivery["sync"].GetNodeValue().c_str();
    if (sync == "always") {
        settings.sync = SpoolJournal::Sync::kAlways;
    } else if (!sync.empty() && sync != "batch") {
        throw badDeliveryValue("sync", sync, "\"always\" or \"batch\"");
    }
    return settings;
}

String CAtmnConfig::ReadPrometheusFile() {
    return attribute("Status", "prometheusFile");
}

int32_t ReportConfigError(const String& path) {
    KRI_TRACE_ERROR(kAtmnConfigUnit, "Incorrect content or config file path: %s on\n",
                    path.c_str());
    KriReportEvent(kAtmnEventConfiguration, "%s", path.c_str());
    return kAtmnConfigFailed;
}

void ReportReconnectError() {
    KRI_TRACE_WARNING(kAtmnConfigUnit, "Unable to reconnect");
    KriReportEvent(kAtmnEventConfiguration, "%s", "");
}

void ReportInvalidClass(const CAtmnComponentClass& componentClass) {
    KRI_TRACE_ERROR(kAtmnConfigUnit, "invalid ProgId: %s\n", componentClass.name.c_str());
}
