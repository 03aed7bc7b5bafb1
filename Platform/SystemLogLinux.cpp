#include <sys/stat.h>
#include <syslog.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "Platform/SystemLog.h"

namespace platform {

namespace {

std::mutex logMutex;
// openlog keeps the pointer it is given, so the ident lives in storage that is never freed.
char openIdent[64] = {};
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

// The message without line ends before or after it, then the raw data in hexadecimal.
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

int syslogPriority(SystemLogType type) {
    switch (type) {
        case SystemLogType::Error:
            return LOG_ERR;
        case SystemLogType::Warning:
            return LOG_WARNING;
        case SystemLogType::Information:
            break;
    }
    return LOG_INFO;
}

void systemLog(const char* ident, SystemLogType type, const char* text) {
    if (SystemLogWriter writer = testWriter.load()) {
        writer(SystemLogRecord{ident, type, text});
        return;
    }
    // One ident at a time for the whole process: openlog keeps a single one.
    std::lock_guard<std::mutex> guard(logMutex);
    if (std::strncmp(openIdent, ident, sizeof openIdent - 1) != 0) {
        closelog();
        std::strncpy(openIdent, ident, sizeof openIdent - 1);
        openlog(openIdent, LOG_PID, LOG_DAEMON);
    }
    syslog(syslogPriority(type), "%s", text);
}

void systemLogEvent(const char* ident, SystemLogType type, uint32_t, const char*,
                    const char* line) {
    systemLog(ident, type, line);
}

void reportEvent(const char* ident, uint16_t eventType, const char* message, const void* rawData,
                 uint32_t rawDataSize) {
    if (ident == nullptr || *ident == '\0') {
        return;
    }
    systemLog(ident, systemLogTypeOf(eventType),
              withRawData(message, rawData, rawDataSize).c_str());
}

void setSystemLogWriterForTesting(SystemLogWriter writer) {
    testWriter.store(writer);
}

bool standardErrorIsJournal() {
    static const bool journal = [] {
        const char* stream = std::getenv("JOURNAL_STREAM");
        uintmax_t device = 0;
        uintmax_t inode = 0;
        struct stat status {};
        return stream != nullptr &&
               std::sscanf(stream, "%" SCNuMAX ":%" SCNuMAX, &device, &inode) == 2 &&
               fstat(STDERR_FILENO, &status) == 0 && status.st_dev == device &&
               status.st_ino == inode;
    }();
    return journal;
}

const char* journalPriorityPrefix(SystemLogType type) {
    switch (type) {
        case SystemLogType::Error:
            return SD_ERR;
        case SystemLogType::Warning:
            return SD_WARNING;
        case SystemLogType::Information:
            break;
    }
    return SD_INFO;
}

}  // namespace platform
