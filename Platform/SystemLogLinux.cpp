#include <sys/stat.h>
#include <syslog.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

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
    std::lock_guard<std::mutex> guard(logMutex);
    if (std::strncmp(openIdent, ident, sizeof openIdent - 1) != 0) {
        closelog();
        std::strncpy(openIdent, ident, sizeof openIdent - 1);
        openlog(openIdent, LOG_PID, LOG_DAEMON);
    }
    syslog(syslogPriority(type), "%s", text);
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
