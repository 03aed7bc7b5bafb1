// The application's trace and event-log functions.
//
// A trace line is a pair of calls on one thread: __KriLogFileInfo with the reporting statement's
// source unit and line, then __KriLogTrace with a printf-style format and its arguments. The
// stamp is kept per thread and used by that thread's next __KriLogTrace only, so stamps never
// cross threads; a __KriLogTrace with no stamp before it is written without one. __KriEventLog
// writes one event-log record with its code.
//
// All functions are callable from any thread at once; each line and record is written whole.
// Each trace line carries a journal priority: __KriLogTrace writes at info, __KriLogTraceAt at the
// priority it is given (KRI_TRACE_WARNING for a lost link or dropped data, KRI_TRACE_ERROR for a
// failure). By default trace lines go to standard error as
//     2024-05-01T12:34:56.789Z [4711] Tools/RovazoRiva/Common/AggrSvrConn:120 SSL error : -10054
// (UTC time with milliseconds, kernel thread id, "unit:line" or "-" without a stamp, message),
// one line per trace call whatever line ends the message has. When standard error is the
// journal's stream (JOURNAL_STREAM names it) the journal stamps the time itself, and a line is
//     <3>[4711] Tools/RovazoRiva/Common/AggrSvrConn:120 SSL error : -10054
// instead, its "<N>" prefix giving the priority (3 error, 4 warning, 6 info). Event-log records go
// to syslog under the ident "KriAtmn" as "[0xCE000D02] text", with the priority taken from the
// code's severity bits (error: LOG_ERR, warning: LOG_WARNING, success and information: LOG_INFO).
// Tests replace the destination with setKriLogSink.
//
// Every text that reaches a line-oriented destination (a trace line, an event-log record, the
// service manager's status, the status files) goes through KriOneLine, so that a value taken
// from the configuration or from the network cannot end the line and forge the next one.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

#include "Platform/SystemLog.h"

struct KriTraceRecord {
    platform::SystemLogType priority;
    uint32_t threadId;
    std::string stamp;    // "unit:line", or empty when the thread gave none
    std::string message;  // the formatted text as one line, without a line end
    std::string line;     // the whole line as written to standard error, without the line end
};

struct KriEventRecord {
    uint32_t code;
    platform::SystemLogType type;
    std::string text;    // the formatted text
    std::string record;  // the whole record as written to the system log
};

// Where trace lines and event-log records go. Calls on a sink are serialised.
class KriLogSink {
public:
    virtual ~KriLogSink() = default;
    virtual void writeTrace(const KriTraceRecord& record) = 0;
    virtual void writeEvent(const KriEventRecord& record) = 0;
};

// Sends everything written from now on to the sink (null: back to standard error and syslog) and
// returns the sink used before. Once it returns, no thread is still writing to the old sink.
// Requires: the sink outlives its use.
KriLogSink* setKriLogSink(KriLogSink* sink);

// The priority of an event-log record with the code: its severity bits (3 error, 2 warning,
// otherwise information).
platform::SystemLogType kriEventType(uint32_t code);

// The text as one line: line ends at its end are dropped, those inside become blanks, and every
// other control character (below 0x20 but the tab, and 0x7F) is written as "\xNN".
std::string KriOneLine(std::string text);

// Remembers the source unit and line for the calling thread's next trace line.
void __KriLogFileInfo(const char* file, int32_t line);
// Writes one trace line at info priority.
void __KriLogTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Writes one trace line at the priority.
void __KriLogTraceAt(platform::SystemLogType priority, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
// Writes one event-log record with the code and the formatted text.
void __KriEventLog(uint32_t code, const char* format, va_list args)
    __attribute__((format(printf, 2, 0)));

// One event-log record with the code and the formatted text, whose text is also written as a
// trace line of its own at the priority of the code's severity (unless the text is empty, when a
// stamp given for it is dropped).
void KriReportEvent(uint32_t code, const char* format, ...) __attribute__((format(printf, 2, 3)));

// A stamped trace line from the statement where it stands, at info, warning or error priority.
#define KRI_TRACE(unit, ...) (__KriLogFileInfo((unit), __LINE__), __KriLogTrace(__VA_ARGS__))
#define KRI_TRACE_WARNING(unit, ...)     \
    (__KriLogFileInfo((unit), __LINE__), \
     __KriLogTraceAt(platform::SystemLogType::Warning, __VA_ARGS__))
#define KRI_TRACE_ERROR(unit, ...)       \
    (__KriLogFileInfo((unit), __LINE__), \
     __KriLogTraceAt(platform::SystemLogType::Error, __VA_ARGS__))
// KriReportEvent with its trace line stamped from the statement where it stands.
#define KRI_REPORT_EVENT(unit, code, ...) \
    (__KriLogFileInfo((unit), __LINE__), KriReportEvent((code), __VA_ARGS__))
