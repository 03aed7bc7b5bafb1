// CapturingLogSink: a KriLogSink for tests that keeps every trace line and event-log record.
//
// Installed by the test with setKriLogSink; written from any thread, read by the test once the
// writers are done.
#pragma once

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "LibraryInterfaces/KriErr.h"

class CapturingLogSink : public KriLogSink {
public:
    void writeTrace(const KriTraceRecord& record) override {
        std::lock_guard<std::mutex> guard(mutex);
        traces.push_back(record);
    }
    void writeEvent(const KriEventRecord& record) override {
        std::lock_guard<std::mutex> guard(mutex);
        events.push_back(record);
    }
    // The trace lines whose message contains the text.
    size_t count(const std::string& text) {
        std::lock_guard<std::mutex> guard(mutex);
        return static_cast<size_t>(std::count_if(traces.begin(), traces.end(), [&](auto& t) {
            return t.message.find(text) != std::string::npos;
        }));
    }
    size_t countEvents(uint32_t code) {
        std::lock_guard<std::mutex> guard(mutex);
        return static_cast<size_t>(
            std::count_if(events.begin(), events.end(), [&](auto& e) { return e.code == code; }));
    }
    // Every trace message, one per line.
    std::string text() {
        std::lock_guard<std::mutex> guard(mutex);
        std::string all;
        for (const KriTraceRecord& t : traces) {
            all += t.message + "\n";
        }
        return all;
    }

    std::mutex mutex;
    std::vector<KriTraceRecord> traces;
    std::vector<KriEventRecord> events;
};
