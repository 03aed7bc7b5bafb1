// The system log: the stand-in for the Windows event log's ReportEvent.
//
// Free functions, callable from any thread; calls are serialised inside. Records go to syslog(3),
// which the journal reads, filed under the given ident (the event source name). The journal also
// reads a service's standard error; the last two functions tell whether it does and give the
// prefix that sets a line's priority there.
#pragma once

namespace platform {

// The Windows event types, which choose the syslog priority.
enum class SystemLogType {
    Error,        // LOG_ERR
    Warning,      // LOG_WARNING
    Information,  // LOG_INFO
};

// The syslog priority of an event type (LOG_ERR, LOG_WARNING, LOG_INFO).
int syslogPriority(SystemLogType type);

// Writes one record with the text under the ident.
// Requires: ident and text are zero-terminated.
void systemLog(const char* ident, SystemLogType type, const char* text);

// Whether standard error is connected to the journal: JOURNAL_STREAM names the device and inode of
// the descriptor. Decided on the first call.
bool standardErrorIsJournal();

// The prefix that gives a line on a journal stream its priority: "<3>", "<4>" or "<6>".
const char* journalPriorityPrefix(SystemLogType type);

}  // namespace platform
