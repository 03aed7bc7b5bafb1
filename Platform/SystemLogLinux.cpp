#include <sys/stat.h>
#include <syslog.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>

#include "Platform/SystemLog.h"
#include "Platform/SystemLogOutput.h"

namespace platform {

// syslogPriority and journalPriorityPrefix (SystemLog.cpp) give these numbers and prefixes.
static_assert(LOG_ERR == 3 && LOG_WARNING == 4 && LOG_INFO == 6);
static_assert(std::string_view(SD_ERR) == "<3>" && std::string_view(SD_WARNING) == "<4>" &&
              std::string_view(SD_INFO) == "<6>");

namespace {

std::mutex logMutex;
// openlog keeps the pointer it is given, so the ident lives in storage that is never freed.
char openIdent[64] = {};

}  // namespace

void detail::writeRecord(const char* ident, SystemLogType type, const char* text) {
    // One ident at a time for the whole process: openlog keeps a single one.
    std::lock_guard<std::mutex> guard(logMutex);
    if (std::strncmp(openIdent, ident, sizeof openIdent - 1) != 0) {
        closelog();
        std::strncpy(openIdent, ident, sizeof openIdent - 1);
        openlog(openIdent, LOG_PID, LOG_DAEMON);
    }
    syslog(syslogPriority(type), "%s", text);
}

// Records carry no event ID here, so the line with the code in it is the record.
void detail::writeCodedRecord(const char* ident, SystemLogType type, uint32_t, const char*,
                              const char* line) {
    writeRecord(ident, type, line);
}

void detail::writeRecordWithData(const char* ident, SystemLogType type, const std::string& text,
                                 const void* rawData, uint32_t rawDataSize) {
    writeRecord(ident, type, withRawData(text, rawData, rawDataSize).c_str());
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

}  // namespace platform
