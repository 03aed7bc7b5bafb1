// The system log: the stand-in for the Windows event log's ReportEvent.
//
// Free function, callable from any thread; calls are serialised inside. Records go to syslog(3),
// which the journal reads, filed under the given ident (the event source name).
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

}  // namespace platform
