// Records go to the Windows event log through the event source named by the ident. The event
// source's message file (the program itself, see SystemLogMessages.mc) holds one message, "%1",
// under KRI_EVENT_TEXT, so that the event viewer shows a record's text as it is, and one message
// for each of the application's event codes, under the code itself.
#include "Platform/SystemLog.h"
#include "Platform/SystemLogOutput.h"

#include <windows.h>
// The message identifiers that windmc made from SystemLogMessages.mc; after windows.h.
#include "SystemLogMessages.h"

namespace platform {

namespace {

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
void writeEvent(const char* ident, SystemLogType type, DWORD eventId, const char* text,
                const void* rawData, uint32_t rawDataSize) {
    HANDLE source = RegisterEventSourceA(nullptr, ident);
    if (source == nullptr) {
        return;
    }
    const char* strings[] = {text};
    ReportEventA(source, eventLogTypeOf(type), 0, eventId, nullptr, 1, rawDataSize, strings,
                 const_cast<void*>(rawData));
    DeregisterEventSource(source);
}

}  // namespace

void detail::writeRecord(const char* ident, SystemLogType type, const char* text) {
    writeEvent(ident, type, KRI_EVENT_TEXT, text, nullptr, 0);
}

void detail::writeCodedRecord(const char* ident, SystemLogType type, uint32_t eventId,
                              const char* text, const char* line) {
    if (hasOwnMessage(eventId)) {
        writeEvent(ident, type, eventId, text, nullptr, 0);
    } else {
        writeEvent(ident, type, KRI_EVENT_TEXT, line, nullptr, 0);
    }
}

// The event log keeps the raw data apart from the text.
void detail::writeRecordWithData(const char* ident, SystemLogType type, const std::string& text,
                                 const void* rawData, uint32_t rawDataSize) {
    writeEvent(ident, type, KRI_EVENT_TEXT, text.c_str(), rawData, rawDataSize);
}

// No journal on Windows: a service's standard error goes nowhere, and its records go to the
// event log.
bool standardErrorIsJournal() {
    return false;
}

}  // namespace platform
