// The aggregation client's cost per transaction; its throughput, latency and scaling over TLS on
// loopback, each next to raw SSL_write of the same frames on one blocking connection (the limit).
//
// Throughput figures count a transaction when the reader has read it: the `tx_per_s` counter
// (and the manual time behind items_per_second) runs from the first send of a batch until the
// reader holds the batch's last frame.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <linux/perf_event.h>
#include <malloc.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Bench/LoopbackReader.h"
#include "Bench/PlainTlsWriter.h"
#include "LibraryInterfaces/KriErr.h"
#include "Tests/ReferenceTransaction.h"
#include "Tests/TestCerts.h"
#include "Tools/RovazoRiva/Common/AggrSvrConn.h"
#include "Tools/RovazoRiva/Common/TransactionWriter.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// An entry document of the size the service sends on every event.
const char kEntry[] =
    "<Entry id=\"E1\" name=\"Morning News\" status=\"Running\"><Segment id=\"3\"><OnAir>"
    "<Date year=\"2024\" month=\"5\" day=\"1\"/><Time hh=\"12\" mm=\"30\" ss=\"15\" ff=\"-1\"/>"
    "<Duration hh=\"0\" mm=\"30\" ss=\"0\" ff=\"0\"/></OnAir></Segment>"
    "<YuTrigger active=\"true\" sent=\"false\"/></Entry>";

constexpr milliseconds kDeliveryTimeout(20000);

String entryTransaction(uint32_t session) {
    return referencetransaction::wrapAction(
        session, referencetransaction::buildAction("UpdateEntry", "E1", "Entry", kEntry));
}

// The frame of one entry transaction, written straight from its fields.
void BM_EntryTransactionFrame(benchmark::State& state) {
    for (auto _ : state) {
        std::string frame =
            transactionwriter::framedTransaction(7, "UpdateEntry", "E1", "Entry", kEntry);
        benchmark::DoNotOptimize(frame.data());
    }
}
BENCHMARK(BM_EntryTransactionFrame);

// From the client's operation to the text handed to the sockets (there are none).
void BM_UpdateEntryWithoutSockets(benchmark::State& state) {
    CAggrSvrClient client;
    for (auto _ : state) {
        benchmark::DoNotOptimize(client.updateEntry(7, "E1", "Entry", kEntry));
    }
}
BENCHMARK(BM_UpdateEntryWithoutSockets);

// The floor for any way of making that text: one copy of the finished text into a new String.
void BM_CopyEntryTransactionText(benchmark::State& state) {
    const String text = entryTransaction(7);
    for (auto _ : state) {
        String copy(text.c_str());
        benchmark::DoNotOptimize(copy.c_str());
    }
}
BENCHMARK(BM_CopyEntryTransactionText);

// The text of one entry transaction as updateEntry makes it, against the route through parsing
// the action text again (sendTransaction's).
void BM_EntryTransactionText(benchmark::State& state) {
    for (auto _ : state) {
        String text = entryTransaction(7);
        benchmark::DoNotOptimize(text.c_str());
    }
}
BENCHMARK(BM_EntryTransactionText);

void BM_EntryTransactionTextByParsing(benchmark::State& state) {
    CAggrSvrClient client;
    for (auto _ : state) {
        benchmark::DoNotOptimize(client.sendTransaction(
            7, referencetransaction::buildAction("UpdateEntry", "E1", "Entry", kEntry)));
    }
}
BENCHMARK(BM_EntryTransactionTextByParsing);

class SilentSink : public KriLogSink {
public:
    SilentSink() { setKriLogSink(this); }
    ~SilentSink() override { setKriLogSink(nullptr); }
    void writeTrace(const KriTraceRecord&) override {}
    void writeEvent(const KriEventRecord&) override {}
};

// The first n reader addresses, as the client's resolver hands them out.
template <int n>
std::vector<uint32_t> readerAddresses(const char*) {
    std::vector<uint32_t> addresses;
    for (int i = 0; i < n; ++i) {
        addresses.push_back(htonl(LoopbackReader::address(i)));
    }
    return addresses;
}

CAggrSvrClient::HostResolver resolverFor(int addresses) {
    return addresses == 1 ? &readerAddresses<1> : &readerAddresses<8>;
}

// A client connected to every address of the reader, with `sessions` sessions registered (and
// their "AddSession" transactions read).
class ConnectedClient {
public:
    ConnectedClient(LoopbackReader& reader, int addresses, int sessions) {
        const testcerts::CertFiles& certs = testcerts::testCerts();
        client.setupSsl(certs.clientCert.c_str(), certs.clientKey.c_str(), certs.caCert.c_str());
        client.setHostResolver(resolverFor(addresses));
        const int handshakesBefore = reader.handshakes();
        const uint64_t framesBefore = reader.frames();
        client.connect("reader", reader.port());
        // Nothing goes out on a connection before the studio's announcement.
        client.addStudio("Studio 1", "1");
        const auto deadline = Clock::now() + kDeliveryTimeout;
        while (!client.isConnected() || reader.handshakes() < handshakesBefore + addresses) {
            if (Clock::now() > deadline) {
                throw std::runtime_error("the client did not connect to the reader");
            }
            std::this_thread::sleep_for(milliseconds(1));
        }
        const uint64_t target = framesBefore + static_cast<uint64_t>((sessions + 1) * addresses);
        for (int s = 1; s <= sessions; ++s) {
            const String name(("Playlist " + std::to_string(s)).c_str());
            names.push_back(name);
            client.addSession(name, name, "");
        }
        if (!reader.waitForFrames(target, kDeliveryTimeout)) {
            throw std::runtime_error("the reader did not get every AddSession");
        }
    }
    ~ConnectedClient() { client.disconnect(); }

    CAggrSvrClient client;
    std::vector<String> names;
};

constexpr int kBatch = 1000;

// CPU time the calling thread has used.
std::chrono::nanoseconds threadCpuTime() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

// One figure of each of this process's threads, by kernel thread id.
using PerThread = std::map<pid_t, uint64_t>;

// The time each thread has run on a CPU, in nanoseconds (the scheduler's own account).
PerThread threadRunTimes() {
    PerThread times;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream stat(task.path() / "schedstat");
        uint64_t ns = 0;
        if (stat >> ns) {
            times[static_cast<pid_t>(std::stol(task.path().filename().string()))] = ns;
        }
    }
    return times;
}

// How often the thread gave up its CPU to wait: each is a sleep and a wake-up.
uint64_t voluntarySwitches(pid_t thread) {
    std::ifstream status("/proc/self/task/" + std::to_string(thread) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
            return std::stoull(line.substr(line.find(':') + 1));
        }
    }
    return 0;
}

uint64_t readerSwitches(LoopbackReader& reader) {
    uint64_t total = 0;
    for (const pid_t thread : reader.threadIds()) {
        total += voluntarySwitches(thread);
    }
    return total;
}

// CPU used between two samples by every thread that is not the reader's: the senders, the
// client's loop thread and the benchmark's own thread.
uint64_t nonReaderRunTime(const PerThread& before, const PerThread& after,
                          const std::vector<pid_t>& readerThreads) {
    uint64_t total = 0;
    for (const auto& [thread, ns] : after) {
        if (std::find(readerThreads.begin(), readerThreads.end(), thread) != readerThreads.end()) {
            continue;
        }
        const auto earlier = before.find(thread);
        total += ns - (earlier == before.end() ? 0 : earlier->second);
    }
    return total;
}

// The system calls of every thread of this process but the reader's, counted by the kernel's
// tracepoint at each system call's entry, one counter per thread. Counts only the threads that
// exist when it is made. Where the tracepoint cannot be opened (tracefs not mounted, or not
// permitted: root, or perf_event_paranoid at most 1) it counts nothing and says so.
class SyscallCounter {
public:
    explicit SyscallCounter(const std::vector<pid_t>& readerThreads) {
        std::ifstream idFile("/sys/kernel/tracing/events/raw_syscalls/sys_enter/id");
        uint64_t tracepoint = 0;
        if (!(idFile >> tracepoint)) {
            return;
        }
        perf_event_attr attr{};
        attr.type = PERF_TYPE_TRACEPOINT;
        attr.size = sizeof attr;
        attr.config = tracepoint;
        for (const auto& [thread, ns] : threadRunTimes()) {
            if (std::find(readerThreads.begin(), readerThreads.end(), thread) !=
                readerThreads.end()) {
                continue;
            }
            const int fd =
                static_cast<int>(::syscall(SYS_perf_event_open, &attr, thread, -1, -1, 0));
            if (fd < 0) {
                closeAll();
                return;
            }
            counters.push_back(fd);
        }
    }
    ~SyscallCounter() { closeAll(); }
    SyscallCounter(const SyscallCounter&) = delete;
    SyscallCounter& operator=(const SyscallCounter&) = delete;

    bool counting() const { return !counters.empty(); }

    uint64_t total() const {
        uint64_t sum = 0;
        for (const int fd : counters) {
            uint64_t count = 0;
            if (::read(fd, &count, sizeof count) == static_cast<ssize_t>(sizeof count)) {
                sum += count;
            }
        }
        return sum;
    }

private:
    void closeAll() {
        for (const int fd : counters) {
            ::close(fd);
        }
        counters.clear();
    }

    std::vector<int> counters;
};

// Sending threads that live through a whole benchmark; each batch is shared out among them.
class SenderPool {
public:
    SenderPool(int threads, std::function<void(int)> send) : send(std::move(send)) {
        for (int t = 0; t < threads; ++t) {
            senders.emplace_back([this] { serve(); });
        }
    }
    ~SenderPool() {
        {
            std::lock_guard<std::mutex> guard(mutex);
            stopping = true;
        }
        changed.notify_all();
        for (std::thread& sender : senders) {
            sender.join();
        }
    }

    // Each thread sends `count`; returns when all have.
    void runBatch(int count) {
        std::unique_lock<std::mutex> lock(mutex);
        perThread = count;
        busy = static_cast<int>(senders.size());
        ++generation;
        changed.notify_all();
        changed.wait(lock, [&] { return busy == 0; });
    }

    int64_t cpuNs() const { return senderCpuNs.load(); }

private:
    void serve() {
        uint64_t seen = 0;
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            changed.wait(lock, [&] { return stopping || generation != seen; });
            if (stopping) {
                return;
            }
            seen = generation;
            const int count = perThread;
            lock.unlock();
            const auto cpuBefore = threadCpuTime();
            send(count);
            senderCpuNs.fetch_add((threadCpuTime() - cpuBefore).count());
            lock.lock();
            if (--busy == 0) {
                changed.notify_all();
            }
        }
    }

    std::function<void(int)> send;
    std::mutex mutex;
    std::condition_variable changed;
    uint64_t generation = 0;
    int perThread = 0;
    int busy = 0;
    bool stopping = false;
    std::atomic<int64_t> senderCpuNs{0};
    std::vector<std::thread> senders;
};

// Runs `send(count)` on `threads` persistent threads, kBatch transactions in all, per iteration,
// and times each batch until the reader has read all of it. Counts per transaction: the sending
// threads' own CPU, the CPU of every thread but the reader's (senders, the client's loop thread,
// the benchmark's thread) and their system calls, and the reader's sleeps per frame. `client`, when
// given, adds the frames per SSL_write of its batches.
template <typename Send>
void runBatches(benchmark::State& state, LoopbackReader& reader, int framesPerTransaction,
                int threads, Send send, CAggrSvrClient* client = nullptr) {
    double seconds = 0;
    SenderPool pool(threads, send);
    const SyscallCounter syscalls(reader.threadIds());
    const uint64_t syscallsBefore = syscalls.total();
    const PerThread runBefore = threadRunTimes();
    const uint64_t switchesBefore = readerSwitches(reader);
    const uint64_t framesBefore = reader.frames();
    const DeliveryStatus statusBefore = client ? client->deliveryStatus() : DeliveryStatus{};
    for (auto _ : state) {
        const uint64_t target =
            reader.frames() + static_cast<uint64_t>(kBatch * framesPerTransaction);
        const auto begin = Clock::now();
        pool.runBatch(kBatch / threads);
        if (!reader.waitForFrames(target, kDeliveryTimeout)) {
            state.SkipWithError("the reader did not get every transaction");
            break;
        }
        const double batchSeconds = std::chrono::duration<double>(Clock::now() - begin).count();
        state.SetIterationTime(batchSeconds);
        seconds += batchSeconds;
    }
    const auto transactions = static_cast<double>(state.iterations() * kBatch);
    const auto frames = static_cast<double>(reader.frames() - framesBefore);
    state.SetItemsProcessed(state.iterations() * kBatch);
    state.counters["tx_per_s"] = transactions / seconds;
    state.counters["sender_cpu_ns"] = static_cast<double>(pool.cpuNs()) / transactions;
    state.counters["client_cpu_ns"] =
        static_cast<double>(nonReaderRunTime(runBefore, threadRunTimes(), reader.threadIds())) /
        transactions;
    if (syscalls.counting()) {
        state.counters["syscalls_per_tx"] =
            static_cast<double>(syscalls.total() - syscallsBefore) / transactions;
    }
    state.counters["reader_sleeps_per_frame"] =
        static_cast<double>(readerSwitches(reader) - switchesBefore) / frames;
    if (client != nullptr) {
        const DeliveryStatus statusAfter = client->deliveryStatus();
        const auto batches = static_cast<double>(statusAfter.batches - statusBefore.batches);
        state.counters["frames_per_write"] =
            batches > 0 ? static_cast<double>(statusAfter.sent - statusBefore.sent) / batches : 0;
    }
}

void BM_ClientToReader(benchmark::State& state) {
    SilentSink silent;
    LoopbackReader reader;
    ConnectedClient link(reader, 1, 1);
    runBatches(
        state, reader, 1, static_cast<int>(state.range(0)),
        [&](int count) {
            for (int i = 0; i < count; ++i) {
                link.client.updateEntry(1, "E1", "Entry", kEntry);
            }
        },
        &link.client);
}
BENCHMARK(BM_ClientToReader)->Arg(1)->Arg(4)->Arg(8)->UseManualTime();

// The same frames, SSL_write on one blocking connection per address; threads take turns. The
// socket keeps the kernel's default for small writes, which gathers them into fewer segments:
// the faster of the two ways for this figure.
void BM_RawSslWriteToReader(benchmark::State& state) {
    const int addresses = static_cast<int>(state.range(1));
    LoopbackReader reader(addresses);
    const testcerts::CertFiles& certs = testcerts::testCerts();
    SSLContext context(certs.clientCert.c_str(), certs.clientKey.c_str(),
                       testcerts::kClientKeyPassPhrase, certs.caCert.c_str());
    std::vector<std::unique_ptr<PlainTlsWriter>> writers;
    for (int n = 0; n < addresses; ++n) {
        writers.push_back(std::make_unique<PlainTlsWriter>(context.getContext(), reader.port(),
                                                           LoopbackReader::address(n)));
    }
    const String text = entryTransaction(1);
    const std::string frame = PlainTlsWriter::frameOf(text.c_str(), text.Length());
    std::mutex turn;
    runBatches(state, reader, addresses, static_cast<int>(state.range(0)), [&](int count) {
        for (int i = 0; i < count; ++i) {
            std::lock_guard<std::mutex> guard(turn);
            for (auto& writer : writers) {
                writer->write(frame);
            }
        }
    });
}
BENCHMARK(BM_RawSslWriteToReader)
    ->ArgNames({"threads", "addresses"})
    ->Args({1, 1})
    ->Args({4, 1})
    ->Args({8, 1})
    ->Args({1, 8})
    ->UseManualTime();

// The road of one entry event with that many sessions open: the session looked up by its
// playlist's name (the names taken in turn), then the entry sent.
void BM_EntryEventWithSessions(benchmark::State& state) {
    SilentSink silent;
    LoopbackReader reader;
    const int sessions = static_cast<int>(state.range(0));
    ConnectedClient link(reader, 1, sessions);
    size_t next = 0;
    runBatches(state, reader, 1, 1, [&](int count) {
        for (int i = 0; i < count; ++i) {
            const uint32_t session = link.client.findSession(link.names[next]);
            next = (next + 1) % link.names.size();
            link.client.updateEntry(session, "E1", "Entry", kEntry);
        }
    });
}
BENCHMARK(BM_EntryEventWithSessions)
    ->ArgName("sessions")
    ->Arg(1)
    ->Arg(16)
    ->Arg(256)
    ->UseManualTime();

// The lookup alone, without sockets: its cost as the registry grows.
void BM_FindSessionAmong(benchmark::State& state) {
    SilentSink silent;
    CAggrSvrClient client;
    std::vector<String> names;
    for (int64_t s = 1; s <= state.range(0); ++s) {
        names.emplace_back(("Playlist " + std::to_string(s)).c_str());
        client.addSession(names.back(), names.back(), "");
    }
    size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(client.findSession(names[next]));
        next = (next + 1) % names.size();
    }
}
BENCHMARK(BM_FindSessionAmong)->ArgName("sessions")->Arg(1)->Arg(16)->Arg(256)->Arg(1024);

// One transaction goes to every address: with 8 addresses, 8 frames per transaction.
void BM_ClientToAddresses(benchmark::State& state) {
    SilentSink silent;
    const int addresses = static_cast<int>(state.range(0));
    LoopbackReader reader(addresses);
    ConnectedClient link(reader, addresses, 1);
    runBatches(state, reader, addresses, 1, [&](int count) {
        for (int i = 0; i < count; ++i) {
            link.client.updateEntry(1, "E1", "Entry", kEntry);
        }
    });
}
BENCHMARK(BM_ClientToAddresses)->ArgName("addresses")->Arg(1)->Arg(8)->UseManualTime();

// Latency at 1,000 transactions per second: each send is stamped just before the call, each
// frame when the reader has read it; one connection keeps them in order, so the n-th stamps
// pair up.
constexpr int kLatencySamples = 3000;

template <typename Send>
void measureLatency(benchmark::State& state, LoopbackReader& reader, Send send) {
    for (auto _ : state) {
        const uint64_t target = reader.frames() + kLatencySamples;
        reader.startStamping(kLatencySamples);
        std::vector<Clock::time_point> sent(kLatencySamples);
        auto due = Clock::now();
        for (Clock::time_point& stamp : sent) {
            std::this_thread::sleep_until(due);
            stamp = Clock::now();
            send();
            due += std::chrono::microseconds(1000);
        }
        if (!reader.waitForFrames(target, kDeliveryTimeout)) {
            state.SkipWithError("the reader did not get every transaction");
            return;
        }
        const std::vector<Clock::time_point> arrived = reader.takeStamps();
        std::vector<double> latencies;
        for (size_t i = 0; i < sent.size() && i < arrived.size(); ++i) {
            latencies.push_back(
                std::chrono::duration<double, std::micro>(arrived[i] - sent[i]).count());
        }
        std::sort(latencies.begin(), latencies.end());
        state.counters["p50_us"] = latencies[latencies.size() / 2];
        state.counters["p99_us"] = latencies[latencies.size() * 99 / 100];
        state.counters["max_us"] = latencies.back();
    }
}

void BM_ClientLatencyAt1000PerSecond(benchmark::State& state) {
    SilentSink silent;
    LoopbackReader reader;
    ConnectedClient link(reader, 1, 1);
    measureLatency(state, reader, [&] { link.client.updateEntry(1, "E1", "Entry", kEntry); });
}
BENCHMARK(BM_ClientLatencyAt1000PerSecond)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_RawSslWriteLatencyAt1000PerSecond(benchmark::State& state) {
    LoopbackReader reader;
    const testcerts::CertFiles& certs = testcerts::testCerts();
    SSLContext context(certs.clientCert.c_str(), certs.clientKey.c_str(),
                       testcerts::kClientKeyPassPhrase, certs.caCert.c_str());
    // Sent at once, as the client's frames are: with the kernel's default, a frame that follows
    // one not yet acknowledged waits for the reader's delayed acknowledgement.
    PlainTlsWriter writer(context.getContext(), reader.port(), LoopbackReader::address(0),
                          PlainTlsWriter::Sending::kAtOnce);
    const String text = entryTransaction(1);
    const std::string frame = PlainTlsWriter::frameOf(text.c_str(), text.Length());
    measureLatency(state, reader, [&] { writer.write(frame); });
}
BENCHMARK(BM_RawSslWriteLatencyAt1000PerSecond)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

namespace {

// Stands for the socket: a wake-up costs what posting a write pass costs when one is waiting.
class WriterStandIn : public DeliveryWriter {
public:
    void wake() override { wakeUps.fetch_add(1, std::memory_order_relaxed); }
    std::atomic<uint64_t> wakeUps{0};
};

// The delivery backlog under 4 sending threads while one loop thread writes and acknowledges
// it: push cost and contention with the loop, per transaction of the service's entry size.
void BM_BacklogPushWhileTheLoopDrains(benchmark::State& state) {
    static DeliveryBacklog* backlog = nullptr;
    static WriterStandIn* writer = nullptr;
    static std::thread* loop = nullptr;
    static std::atomic<bool> stopping{false};
    const std::string frame = std::string(4, '\0') + entryTransaction(1).c_str();
    if (state.thread_index() == 0) {
        backlog = new DeliveryBacklog;
        writer = new WriterStandIn;
        DeliveryBacklog::Cursor* cursor = backlog->cursorFor(1);
        backlog->attach(cursor, writer);
        stopping.store(false);
        loop = new std::thread([cursor] {
            std::string batch;
            uint64_t stream = 0;
            while (!stopping.load()) {
                batch.clear();
                uint64_t last = 0;
                if (backlog->takeBatch(cursor, batch, 16 * 1024, last) > 0) {
                    stream += batch.size();
                    backlog->markWritten(cursor, last, stream);
                    backlog->acknowledge(cursor, stream);
                }
            }
        });
    }
    for (auto _ : state) {
        backlog->push(frame);
    }
    state.SetItemsProcessed(state.iterations());
    if (state.thread_index() == 0) {
        stopping.store(true);
        loop->join();
        delete loop;
        delete backlog;
        delete writer;
    }
}
BENCHMARK(BM_BacklogPushWhileTheLoopDrains)->Threads(4)->UseRealTime();

// Heap held per queued frame of the service's entry size: the allocator's bytes in use before
// and after 20,000 frames wait in a backlog that has no connection.
void BM_BacklogHeapPerQueuedFrame(benchmark::State& state) {
    const std::string frame =
        transactionwriter::framedTransaction(1, "UpdateEntry", "E1", "Entry", kEntry);
    constexpr int kFrames = 20000;
    const auto inUse = [] {
        const struct mallinfo2 info = mallinfo2();
        return static_cast<double>(info.uordblks + info.hblkhd);
    };
    for (auto _ : state) {
        const double before = inUse();
        auto backlog = std::make_unique<DeliveryBacklog>();
        for (int i = 0; i < kFrames; ++i) {
            backlog->push(frame);
        }
        state.counters["heap_per_frame"] = (inUse() - before) / kFrames;
        state.counters["frame_bytes"] = static_cast<double>(frame.size());
    }
}
BENCHMARK(BM_BacklogHeapPerQueuedFrame)->Iterations(1);

}  // namespace
