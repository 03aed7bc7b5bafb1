#include "LibraryInterfaces/KriErr.h"

#include <cinttypes>
#include <cstdio>
#include <mutex>
#include <vector>

#include "Platform/Clock.h"

namespace {

const char kEventSource[] = "KriAtmn";

class StandardSink : public KriLogSink {
public:
    void writeTrace(const KriTraceRecord& record) override {
        std::string text = record.line + "\n";
        std::fwrite(text.data(), 1, text.size(), stderr);
        std::fflush(stderr);
    }
    void writeEvent(const KriEventRecord& record) override {
        platform::systemLogEvent(kEventSource, record.type, record.code, record.text.c_str(),
                                 record.record.c_str());
    }
};

StandardSink standardSink;
std::mutex sinkMutex;
KriLogSink* currentSink = &standardSink;

struct PendingStamp {
    std::string unit;
    int32_t line = 0;
    bool given = false;
};
thread_local PendingStamp pendingStamp;

std::string formatted(const char* format, va_list args) {
    if (format == nullptr) {
        return std::string();
    }
    va_list sizing;
    va_copy(sizing, args);
    int length = std::vsnprintf(nullptr, 0, format, sizing);
    va_end(sizing);
    if (length <= 0) {
        return std::string();
    }
    std::vector<char> buffer(static_cast<size_t>(length) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), format, args);
    return std::string(buffer.data(), static_cast<size_t>(length));
}

}  // namespace

std::string KriOneLine(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    std::string line;
    line.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\n' || c == '\r') {
            line += ' ';
        } else if ((byte < 0x20 && c != '\t') || byte == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            line += escaped;
        } else {
            line += c;
        }
    }
    return line;
}

platform::SystemLogType kriEventType(uint32_t code) {
    switch (code >> 30) {
        case 3:
            return platform::SystemLogType::Error;
        case 2:
            return platform::SystemLogType::Warning;
        default:
            return platform::SystemLogType::Information;
    }
}

KriLogSink* setKriLogSink(KriLogSink* sink) {
    std::lock_guard<std::mutex> guard(sinkMutex);
    KriLogSink* previous = currentSink == &standardSink ? nullptr : currentSink;
    currentSink = sink != nullptr ? sink : &standardSink;
    return previous;
}

void __KriLogFileInfo(const char* file, int32_t line) {
    pendingStamp.unit = file != nullptr ? file : "";
    pendingStamp.line = line;
    pendingStamp.given = true;
}

namespace {

void writeTrace(platform::SystemLogType priority, const char* format, va_list args) {
    KriTraceRecord record;
    record.priority = priority;
    record.threadId = platform::currentThreadId();
    if (pendingStamp.given) {
        record.stamp = pendingStamp.unit + ":" + std::to_string(pendingStamp.line);
        pendingStamp.given = false;
    }
    record.message = KriOneLine(formatted(format, args));
    const std::string rest = "[" + std::to_string(record.threadId) + "] " +
                             (record.stamp.empty() ? "-" : record.stamp) + " " + record.message;
    // The journal stamps each line with its own time.
    record.line = platform::standardErrorIsJournal()
                      ? platform::journalPriorityPrefix(priority) + rest
                      : platform::utcTimeStamp() + " " + rest;

    std::lock_guard<std::mutex> guard(sinkMutex);
    currentSink->writeTrace(record);
}

}  // namespace

void __KriLogTrace(const char* format, ...) {
    va_list args;
    va_start(args, format);
    writeTrace(platform::SystemLogType::Information, format, args);
    va_end(args);
}

void __KriLogTraceAt(platform::SystemLogType priority, const char* format, ...) {
    va_list args;
    va_start(args, format);
    writeTrace(priority, format, args);
    va_end(args);
}

void __KriEventLog(uint32_t code, const char* format, va_list args) {
    KriEventRecord record;
    record.code = code;
    record.type = kriEventType(code);
    record.text = KriOneLine(formatted(format, args));
    char codeText[16];
    std::snprintf(codeText, sizeof codeText, "0x%08" PRIX32, code);
    record.record =
        "[" + std::string(codeText) + "]" + (record.text.empty() ? "" : " ") + record.text;

    std::lock_guard<std::mutex> guard(sinkMutex);
    currentSink->writeEvent(record);
}

void KriReportEvent(uint32_t code, const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list forTrace;
    va_copy(forTrace, args);
    const std::string text = formatted(format, forTrace);
    va_end(forTrace);
    // An event without a text has nothing to add to the trace.
    if (text.empty()) {
        pendingStamp.given = false;
    } else {
        __KriLogTraceAt(kriEventType(code), "%s", text.c_str());
    }
    __KriEventLog(code, format, args);
    va_end(args);
}
