// The system log: the stand-in for the Windows event log (RegisterEventSourceA, ReportEventA,
// DeregisterEventSource).
//
// Free functions, callable from any thread; records are written one at a time. Records go to
// syslog(3), which the journal reads, under the daemon facility and filed under the given ident
// (the event source name), with the priority that their type gives. Tests can take the records
// instead with setSystemLogWriterForTesting. The journal also reads a service's standard error;
// the last two functions tell whether it does and give the prefix that sets a line's priority
// there.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// The Windows event types, which choose the syslog priority.
enum class SystemLogType {
    Error,        // LOG_ERR
    Warning,      // LOG_WARNING
    Information,  // LOG_INFO
};

// The event types' numbers as the Windows event log has them.
constexpr uint16_t kEventLogErrorType = 1;
constexpr uint16_t kEventLogWarningType = 2;
constexpr uint16_t kEventLogInformationType = 4;

// The syslog priority of an event type (LOG_ERR, LOG_WARNING, LOG_INFO).
int syslogPriority(SystemLogType type);

// Writes one record with the text under the ident.
// Requires: ident and text are zero-terminated.
void systemLog(const char* ident, SystemLogType type, const char* text);

// Writes one record as ReportEventA would: the type is an event type number (error, warning,
// anything else information); line ends before and after the message are dropped, so that the
// journal shows no blank lines; raw data, when given, follows as hexadecimal bytes after
// "\nData:". Nothing is written under an empty ident. Category and user have no counterpart.
void reportEvent(const char* ident, uint16_t eventType, const char* message, const void* rawData,
                 uint32_t rawDataSize);

// Writes one record of the application's own, under its event code. On Windows the code is the
// record's event ID, whose message in the event source's message table (SystemLogMessages.mc)
// shows text as its one insertion string, so that the event viewer shows the code's own message;
// a code without a message there is written as systemLog writes line. Elsewhere, where records
// carry no ID, line is written as systemLog does. line is the text with the code in it, as a
// record without an ID shows it; a test's writer receives line.
// Requires: ident, text and line are zero-terminated.
void systemLogEvent(const char* ident, SystemLogType type, uint32_t eventId, const char* text,
                    const char* line);

struct SystemLogRecord {
    std::string ident;
    SystemLogType type;
    std::string text;
};

// Receives each record instead of syslog; called on the writing thread.
using SystemLogWriter = void (*)(const SystemLogRecord& record);

// Routes every record to the writer; null restores syslog.
void setSystemLogWriterForTesting(SystemLogWriter writer);

// Whether standard error is connected to the journal: JOURNAL_STREAM names the device and inode of
// the descriptor. Decided on the first call.
bool standardErrorIsJournal();

// The prefix that gives a line on a journal stream its priority: "<3>", "<4>" or "<6>".
const char* journalPriorityPrefix(SystemLogType type);

}  // namespace platform
