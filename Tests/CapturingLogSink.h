// CapturingLogSink: a KriLogSink for tests that keeps every trace line and event-log record.
//
// Installed by the test with setKriLogSink; written from any thread, read by the test once the
// writers are done.
#pragma once

#include <mutex>
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
    std::mutex mutex;
    std::vector<KriTraceRecord> traces;
    std::vector<KriEventRecord> events;
};
