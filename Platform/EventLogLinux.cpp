#include <syslog.h>

#include <atomic>
#include <cstdio>
#include <mutex>

#include "Platform/EventLog.h"
#include "Platform/LastError.h"

namespace platform {

static_assert(kSyslogError == LOG_ERR && kSyslogWarning == LOG_WARNING &&
              kSyslogInformation == LOG_INFO);

namespace {

std::atomic<EventLogWriter> testWriter{nullptr};
// openlog sets the process's one ident; a record is opened, written and closed under it.
std::mutex syslogMutex;

int priorityOf(uint16_t type) {
    switch (type) {
        case kEventLogErrorType:
            return LOG_ERR;
        case kEventLogWarningType:
            return LOG_WARNING;
        default:
            return LOG_INFO;
    }
}

std::string withRawData(const char* message, const void* rawData, uint32_t rawDataSize) {
    std::string text = message != nullptr ? message : "";
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
    EventRecord record{name, priorityOf(type), eventId, withRawData(message, rawData, rawDataSize)};
    if (EventLogWriter writer = testWriter.load()) {
        writer(record);
        return true;
    }
    std::lock_guard<std::mutex> g(syslogMutex);
    openlog(record.source.c_str(), LOG_PID, LOG_DAEMON);
    syslog(record.priority, "%s", record.text.c_str());
    closelog();
    return true;
}

void setEventLogWriterForTesting(EventLogWriter writer) {
    testWriter.store(writer);
}

}  // namespace platform
