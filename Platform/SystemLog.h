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

// Writes one record with the text under the ident.
// Requires: ident and text are zero-terminated.
void systemLog(const char* ident, SystemLogType type, const char* text);

}  // namespace platform
