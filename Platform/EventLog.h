// Event log: the stand-in for RegisterEventSourceA, ReportEventA and DeregisterEventSource,
// on syslog(3) (journald reads it).
//
// A record goes to the daemon facility with the event source name as its ident and the
// priority that its event type gives: error LOG_ERR, warning LOG_WARNING, everything else
// LOG_INFO. Line ends before and after the message are dropped, so that the journal shows no
// blank lines. Raw data, when given, follows the message as hexadecimal bytes after "\nData:".
// Sources may be opened and used on any thread; records are written one at a time.
// Tests can replace syslog by a writer of their own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

constexpr uint16_t kEventLogErrorType = 1;
constexpr uint16_t kEventLogWarningType = 2;
constexpr uint16_t kEventLogInformationType = 4;

// The syslog priorities of the event types (LOG_ERR, LOG_WARNING, LOG_INFO).
constexpr int kSyslogError = 3;
constexpr int kSyslogWarning = 4;
constexpr int kSyslogInformation = 6;

struct EventRecord {
    std::string source;
    int priority;
    uint32_t eventId;
    std::string text;
};

// Receives each record instead of syslog; called on the reporting thread.
using EventLogWriter = void (*)(const EventRecord& record);

class EventSource {
public:
    // Null with the last error set when the name is empty.
    static std::unique_ptr<EventSource> open(const char* sourceName);

    // Writes one record. Category and user of the Windows call have no counterpart.
    bool report(uint16_t type, uint32_t eventId, const char* message, const void* rawData,
                uint32_t rawDataSize);

private:
    explicit EventSource(const char* sourceName) : name(sourceName) {}

    std::string name;
};

// Routes every record to writer; null restores syslog.
void setEventLogWriterForTesting(EventLogWriter writer);

}  // namespace platform
