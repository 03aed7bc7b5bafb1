#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnConfig.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "LibraryInterfaces/KriErr.h"

namespace {

constexpr uint32_t kConfigEventCode = 0xCE000D02u;

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

}  // namespace

CAtmnConfig::CAtmnConfig(const String& path) {
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
    itemsRead.push_back(std::string(element) + "/" + name);
    return root(element)[name].GetNodeValue();
}

String CAtmnConfig::elementText(const char* parent, const char* element) {
    itemsRead.push_back(std::string(parent) + "/" + element);
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
    itemsRead.push_back("Automation");
    settings.automationXml = root("Automation").GetXml();
    settings.link = readLink();
    return settings;
}

CAtmnLinkSettings CAtmnConfig::ReadReconnectSettings() {
    return readLink();
}

CAtmnDeliverySettings CAtmnConfig::ReadDeliverySettings() {
    using Limits = CAtmnDeliverySettings;
    itemsRead.push_back("AggrServer/Delivery");
    CElementNode delivery = root("AggrServer")("Delivery");
    CAtmnDeliverySettings settings;
    settings.backlogMB =
        boundedNumber(delivery["backlogMB"].GetNodeValue(), "backlogMB", Limits::kDefaultBacklogMB,
                      Limits::kMinBacklogMB, Limits::kMaxBacklogMB);
    settings.deadPeerSeconds = boundedNumber(
        delivery["deadPeerSeconds"].GetNodeValue(), "deadPeerSeconds",
        Limits::kDefaultDeadPeerSeconds, Limits::kMinDeadPeerSeconds, Limits::kMaxDeadPeerSeconds);
    return settings;
}

String CAtmnConfig::ReadPrometheusFile() {
    return attribute("Status", "prometheusFile");
}

int32_t ReportConfigError(const String& path) {
    KRI_TRACE_ERROR(kAtmnSvcImplUnit, "Incorrect content or config file path: %s on\n",
                    path.c_str());
    ReportAtmnEvent(kConfigEventCode, "%s", path.c_str());
    return kAtmnConfigFailed;
}

void ReportReconnectError() {
    KRI_TRACE_WARNING(kAtmnSvcImplUnit, "Unable to reconnect");
    ReportAtmnEvent(kConfigEventCode, "%s", "");
}

void ReportInvalidClass(const CAtmnComponentClass& componentClass) {
    KRI_TRACE_ERROR(kAtmnSvcImplUnit, "invalid ProgId: %s\n", componentClass.name.c_str());
}

void ReportAtmnEvent(uint32_t code, const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list forTrace;
    va_copy(forTrace, args);
    int length = std::vsnprintf(nullptr, 0, format, forTrace);
    va_end(forTrace);
    std::vector<char> text(length > 0 ? static_cast<size_t>(length) + 1 : 1, '\0');
    va_copy(forTrace, args);
    std::vsnprintf(text.data(), text.size(), format, forTrace);
    va_end(forTrace);
    // An event without a text has nothing to add to the trace.
    if (text[0] != '\0') {
        __KriLogTraceAt(kriEventType(code), "%s", text.data());
    }
    __KriEventLog(code, format, args);
    va_end(args);
}
