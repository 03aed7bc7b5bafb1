// The delivery backlog's sink call with a spool (sync "always" and "batch") and without one,
// from 1 and 4 threads: calls per second and the p50/p99 latency of one call; the replay of a
// spool left by an earlier run in events per second with the journal's bytes per event; and the
// fsync of the same disk, for comparison. The spool lives under the temporary directory, which
// names the disk the figures are for (TMPDIR chooses another).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "LibraryInterfaces/KriErr.h"
#include "Tests/TempDirectory.h"
#include "Tools/RovazoRiva/Common/DeliveryBacklog.h"
#include "Tools/RovazoRiva/Common/TransactionWriter.h"

namespace {

using Clock = std::chrono::steady_clock;

// An entry transaction of the size the service sends on every event.
const std::string kFrame = transactionwriter::framedTransaction(
    7, "UpdateEntry", "E1", "Entry",
    "<Entry id=\"E1\" name=\"Morning News\" status=\"Running\"><Segment id=\"3\"><OnAir>"
    "<Date year=\"2024\" month=\"5\" day=\"1\"/><Time hh=\"12\" mm=\"30\" ss=\"15\" ff=\"-1\"/>"
    "<Duration hh=\"0\" mm=\"30\" ss=\"0\" ff=\"0\"/></OnAir></Segment>"
    "<YuTrigger active=\"true\" sent=\"false\"/></Entry>");

class QuietLog : public KriLogSink {
public:
    void writeTrace(const KriTraceRecord&) override {}
    void writeEvent(const KriEventRecord&) override {}
};

enum Mode { kNoSpool, kBatch, kAlways };

// One backlog shared by the benchmark's threads, with a cursor that acknowledges everything now
// and then, as a server that keeps up would.
struct Shared {
    std::unique_ptr<TempDirectory> directory;
    std::unique_ptr<DeliveryBacklog> backlog;
    DeliveryBacklog::Cursor* cursor = nullptr;
    std::mutex drainLock;
    uint64_t stream = 0;
    std::mutex latencyLock;
    std::vector<double> latencies;

    void drain() {
        std::lock_guard<std::mutex> guard(drainLock);
        std::string batch;
        uint64_t last = 0;
        while (backlog->takeBatch(cursor, batch, 64 * 1024, last) > 0) {
            stream += batch.size();
            backlog->markWritten(cursor, last, stream);
            backlog->acknowledge(cursor, stream);
            batch.clear();
        }
    }
};
Shared shared;
QuietLog quiet;

void BM_SinkCall(benchmark::State& state) {
    const auto mode = static_cast<Mode>(state.range(0));
    if (state.thread_index() == 0) {
        setKriLogSink(&quiet);
        shared.directory = std::make_unique<TempDirectory>("kri-spool-bench");
        shared.backlog = std::make_unique<DeliveryBacklog>();
        if (mode != kNoSpool) {
            SpoolJournal::Settings settings;
            settings.directory = shared.directory->path();
            settings.sync =
                mode == kAlways ? SpoolJournal::Sync::kAlways : SpoolJournal::Sync::kBatch;
            if (const std::string reason = shared.backlog->useSpool(settings); !reason.empty()) {
                state.SkipWithError(reason.c_str());
            }
        }
        shared.cursor = shared.backlog->cursorFor(1);
        shared.latencies.clear();
    }
    std::vector<double> mine;
    int sinceDrain = 0;
    for (auto _ : state) {
        const Clock::time_point start = Clock::now();
        shared.backlog->push(kFrame);
        mine.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        if (++sinceDrain == 256) {
            sinceDrain = 0;
            shared.drain();
        }
    }
    state.SetItemsProcessed(state.iterations());
    {
        std::lock_guard<std::mutex> guard(shared.latencyLock);
        shared.latencies.insert(shared.latencies.end(), mine.begin(), mine.end());
    }
    if (state.thread_index() == 0) {
        // Thread 0 reports for all; the others' figures reach it before the end of the run
        // only through the lock, so it waits for them by the count of calls.
        while (true) {
            std::lock_guard<std::mutex> guard(shared.latencyLock);
            if (shared.latencies.size() >=
                state.iterations() * static_cast<size_t>(state.threads())) {
                break;
            }
        }
        std::vector<double>& all = shared.latencies;
        std::sort(all.begin(), all.end());
        state.counters["p50_us"] = all[all.size() / 2];
        state.counters["p99_us"] = all[all.size() * 99 / 100];
        state.counters["calls_per_s"] =
            benchmark::Counter(static_cast<double>(all.size()), benchmark::Counter::kIsRate);
        shared.drain();
        shared.backlog.reset();
        shared.directory.reset();
        setKriLogSink(nullptr);
    }
}
BENCHMARK(BM_SinkCall)
    ->ArgName("spool")  // 0 none, 1 batch, 2 always
    ->Arg(kNoSpool)
    ->Arg(kBatch)
    ->Arg(kAlways)
    ->Threads(1)
    ->Threads(4)
    ->UseRealTime()
    ->MinTime(1.0);

// A spool of 100,000 events left by an earlier run, opened and written out in full.
void BM_Replay(benchmark::State& state) {
    constexpr int kEvents = 100000;
    setKriLogSink(&quiet);
    TempDirectory directory("kri-spool-bench");
    SpoolJournal::Settings settings;
    settings.directory = directory.path();
    uint64_t journalBytes = 0;
    {
        SpoolJournal journal;
        if (const std::string reason = journal.open(settings); !reason.empty()) {
            state.SkipWithError(reason.c_str());
            return;
        }
        for (int n = 0; n < kEvents; ++n) {
            SpoolJournal::Dropped dropped;
            journal.append(kFrame, 0, dropped);
        }
    }
    for (const auto& entry : std::filesystem::directory_iterator(directory.path())) {
        if (entry.path().extension() == ".seg") {
            journalBytes += entry.file_size();
        }
    }
    for (auto _ : state) {
        DeliveryBacklog backlog;
        backlog.useSpool(settings);
        DeliveryBacklog::Cursor* cursor = backlog.cursorFor(1);
        std::string batch;
        uint64_t last = 0;
        uint64_t stream = 0;
        size_t frames = 0;
        while (size_t taken = backlog.takeBatch(cursor, batch, 64 * 1024, last)) {
            frames += taken;
            stream += batch.size();
            backlog.markWritten(cursor, last, stream);
            batch.clear();
        }
        benchmark::DoNotOptimize(frames);
    }
    state.SetItemsProcessed(state.iterations() * kEvents);
    state.counters["events_per_s"] = benchmark::Counter(
        static_cast<double>(state.iterations() * kEvents), benchmark::Counter::kIsRate);
    state.counters["journal_bytes_per_event"] = static_cast<double>(journalBytes) / kEvents;
    state.counters["frame_bytes"] = static_cast<double>(kFrame.size());
    setKriLogSink(nullptr);
}
BENCHMARK(BM_Replay)->Unit(benchmark::kMillisecond)->UseRealTime();

// What one record's write and fdatasync cost on the spool's disk.
void BM_FsyncOfTheDisk(benchmark::State& state) {
    TempDirectory directory("kri-spool-bench");
    const int fd = ::open((directory / "fsync").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    for (auto _ : state) {
        if (::write(fd, kFrame.data(), kFrame.size()) < 0 || ::fdatasync(fd) != 0) {
            state.SkipWithError("write or fdatasync failed");
            break;
        }
    }
    ::close(fd);
}
BENCHMARK(BM_FsyncOfTheDisk)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
