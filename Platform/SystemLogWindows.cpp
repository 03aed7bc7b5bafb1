// Records go to the Windows event log through the event source named by the ident. The event
// source's message file (the program itself, see SystemLogMessages.mc) holds one message, "%1",
// under KRI_EVENT_TEXT, so that the event viewer shows a record's text as it is, and one message
// for each of the application's event codes, under the code itself.
#include "Platform/SystemLog.h"

#include <windows.h>
// The message identifiers that windmc made from SystemLogMessages.mc; after windows.h.
#include "SystemLogMessages.h"

#include <atomic>
#include <cstdio>

namespace platform {

namespace {

std::atomic<SystemLogWriter> testWriter{nullptr};

SystemLogType systemLogTypeOf(uint16_t eventType) {
    switch (eventType) {
        case kEventLogErrorType:
            return SystemLogType::Error;
        case kEventLogWarningType:
            return SystemLogType::Warning;
        default:
            return SystemLogType::Information;
    }
}

WORD eventLogTypeOf(SystemLogType type) {
    switch (type) {
        case SystemLogType::Error:
            return EVENTLOG_ERROR_TYPE;
        case SystemLogType::Warning:
            return EVENTLOG_WARNING_TYPE;
        case SystemLogType::Information:
            break;
    }
    return EVENTLOG_INFORMATION_TYPE;
}

// The message without line ends before or after it, as on Linux, so that both systems log the
// same text.
std::string trimmed(const char* message) {
    std::string text = message != nullptr ? message : "";
    const size_t first = text.find_first_not_of("\r\n");
    text.erase(0, first == std::string::npos ? text.size() : first);
    text.erase(text.find_last_not_of("\r\n") + 1);
    return text;
}

// What a test's writer receives: the text, then the raw data in hexadecimal, which the event
// log itself keeps apart from the text.
std::string withRawData(std::string text, const void* rawData, uint32_t rawDataSize) {
    if (rawData == nullptr || rawDataSize == 0) {
        return text;
    }
    text += "\nData:";
    const auto* bytes = static_cast<const unsigned char*>(rawData);
    for (uint32_t i = 0; i < rawDataSize; ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, " %02x", bytes[i]);
        text += hex;
    }
    return text;
}

bool hasOwnMessage(uint32_t eventId) {
    switch (eventId) {
        case KRI_EVENT_SSL_CONTEXT:
        case KRI_EVENT_CONFIGURATION:
        case KRI_EVENT_NO_COMPONENT:
        case KRI_EVENT_SSL_WARNING:
            return true;
        default:
            return false;
    }
}

// Writes one record; an event source that cannot be registered loses nothing else, and there
// is nowhere left to tell.
void writeEvent(const char* ident, SystemLogType type, DWORD eventId, const std::string& text,
                const void* rawData, uint32_t rawDataSize) {
    HANDLE source = RegisterEventSourceA(nullptr, ident);
    if (source == nullptr) {
        return;
    }
    const char* strings[] = {text.c_str()};
    ReportEventA(source, eventLogTypeOf(type), 0, eventId, nullptr, 1, rawDataSize, strings,
                 const_cast<void*>(rawData));
    DeregisterEventSource(source);
}

}  // namespace

// The syslog priorities, which the Windows build reports only in its own diagnostics.
int syslogPriority(SystemLogType type) {
    switch (type) {
        case SystemLogType::Error:
            return 3;
        case SystemLogType::Warning:
            return 4;
        case SystemLogType::Information:
            break;
    }
    return 6;
}

void systemLog(const char* ident, SystemLogType type, const char* text) {
    if (SystemLogWriter writer = testWriter.load()) {
        writer(SystemLogRecord{ident, type, text});
        return;
    }
    writeEvent(ident, type, KRI_EVENT_TEXT, text, nullptr, 0);
}

void systemLogEvent(const char* ident, SystemLogType type, uint32_t eventId, const char* text,
                    const char* line) {
    if (SystemLogWriter writer = testWriter.load()) {
        writer(SystemLogRecord{ident, type, line});
        return;
    }
    if (hasOwnMessage(eventId)) {
        writeEvent(ident, type, eventId, text, nullptr, 0);
    } else {
        writeEvent(ident, type, KRI_EVENT_TEXT, line, nullptr, 0);
    }
}

void reportEvent(const char* ident, uint16_t eventType, const char* message, const void* rawData,
                 uint32_t rawDataSize) {
    if (ident == nullptr || *ident == '\0') {
        return;
    }
    const SystemLogType type = systemLogTypeOf(eventType);
    if (SystemLogWriter writer = testWriter.load()) {
        writer(SystemLogRecord{ident, type, withRawData(trimmed(message), rawData, rawDataSize)});
        return;
    }
    writeEvent(ident, type, KRI_EVENT_TEXT, trimmed(message), rawData, rawDataSize);
}

void setSystemLogWriterForTesting(SystemLogWriter writer) {
    testWriter.store(writer);
}

// No journal on Windows: a service's standard error goes nowhere, and its records go to the
// event log.
bool standardErrorIsJournal() {
    return false;
}

const char* journalPriorityPrefix(SystemLogType type) {
    switch (type) {
        case SystemLogType::Error:
            return "<3>";
        case SystemLogType::Warning:
            return "<4>";
        case SystemLogType::Information:
            break;
    }
    return "<6>";
}

}  // namespace platform
