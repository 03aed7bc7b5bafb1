// The part of the system log that both systems share: the records' types and texts, and the
// test's writer, which receives each record in place of the system's log.
#include "Platform/SystemLog.h"

#include <atomic>
#include <cstdio>

#include "Platform/SystemLogOutput.h"

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

// Without line ends before or after it, so that the journal shows no blank lines and both
// systems log the same text.
std::string trimmed(const char* message) {
    std::string text = message != nullptr ? message : "";
    const size_t first = text.find_first_not_of("\r\n");
    text.erase(0, first == std::string::npos ? text.size() : first);
    text.erase(text.find_last_not_of("\r\n") + 1);
    return text;
}

}  // namespace

std::string detail::withRawData(std::string text, const void* rawData, uint32_t rawDataSize) {
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

// The numbers of syslog(3); the Windows build reports them only in its own diagnostics.
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

void systemLog(const char* ident, SystemLogType type, const char* text) {
    if (SystemLogWriter writer = testWriter.load()) {
        writer(SystemLogRecord{ident, type, text});
        return;
    }
    detail::writeRecord(ident, type, text);
}

void systemLogEvent(const char* ident, SystemLogType type, uint32_t eventId, const char* text,
                    const char* line) {
    if (SystemLogWriter writer = testWriter.load()) {
        writer(SystemLogRecord{ident, type, line});
        return;
    }
    detail::writeCodedRecord(ident, type, eventId, text, line);
}

void reportEvent(const char* ident, uint16_t eventType, const char* message, const void* rawData,
                 uint32_t rawDataSize) {
    if (ident == nullptr || *ident == '\0') {
        return;
    }
    const SystemLogType type = systemLogTypeOf(eventType);
    if (SystemLogWriter writer = testWriter.load()) {
        writer(SystemLogRecord{ident, type,
                               detail::withRawData(trimmed(message), rawData, rawDataSize)});
        return;
    }
    detail::writeRecordWithData(ident, type, trimmed(message), rawData, rawDataSize);
}

void setSystemLogWriterForTesting(SystemLogWriter writer) {
    testWriter.store(writer);
}

}  // namespace platform
