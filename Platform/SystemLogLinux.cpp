#include <syslog.h>

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

}  // namespace platform
