#include <syslog.h>

#include <atomic>
#include <cstdio>

#include "Platform/EventLog.h"
#include "Platform/LastError.h"
#include "Platform/SystemLog.h"

namespace platform {

static_assert(kSyslogError == LOG_ERR && kSyslogWarning == LOG_WARNING &&
              kSyslogInformation == LOG_INFO);

namespace {

std::atomic<EventLogWriter> testWriter{nullptr};

SystemLogType systemLogTypeOf(uint16_t type) {
    switch (type) {
        case kEventLogErrorType:
            return SystemLogType::Error;
        case kEventLogWarningType:
            return SystemLogType::Warning;
        default:
            return SystemLogType::Information;
    }
}

// The message without line ends before or after it: the journal would show them as blank lines.
std::string withRawData(const char* message, const void* rawData, uint32_t rawDataSize) {
    std::string text = message != nullptr ? message : "";
    const size_t first = text.find_first_not_of("\r\n");
    text.erase(0, first == std::string::npos ? text.size() : first);
    text.erase(text.find_last_not_of("\r\n") + 1);
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

}  // namespace

std::unique_ptr<EventSource> EventSource::open(const char* sourceName) {
    if (sourceName == nullptr || *sourceName == '\0') {
        setLastError(kErrorInvalidParameter);
        return nullptr;
    }
    return std::unique_ptr<EventSource>(new EventSource(sourceName));
}

bool EventSource::report(uint16_t type, uint32_t eventId, const char* message, const void* rawData,
                         uint32_t rawDataSize) {
    EventRecord record{name, syslogPriority(systemLogTypeOf(type)), eventId,
                       withRawData(message, rawData, rawDataSize)};
    if (EventLogWriter writer = testWriter.load()) {
        writer(record);
        return true;
    }
    // One writer for the whole process: openlog keeps a single ident, which the application's
    // own event-log records share.
    systemLog(record.source.c_str(), systemLogTypeOf(type), record.text.c_str());
    return true;
}

void setEventLogWriterForTesting(EventLogWriter writer) {
    testWriter.store(writer);
}

}  // namespace platform
