// LoopbackReader: the far end of the aggregation link in the benchmarks.
//
// TLS servers with the test certificates on 127.0.0.1, 127.0.0.2, ... (one per address, all on
// the same port), each serving one client at a time: every length-prefixed frame is read and
// counted, and, while stamping is on, the arrival time of each frame on the first address is
// kept in order. It decrypts and frames and does nothing else, so that a sender's rate is not
// capped by the reader's own work (the reference receiver checks and prints every transaction).
//
// The benchmark's thread constructs, stamps and destroys it; the servers' threads read.
// Requires: every client has closed its connection before the reader is destroyed (a reader
// blocked on a silent client waits out its I/O time-out).
#pragma once

#include <sys/types.h>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "Tests/TlsTestServer.h"

class LoopbackReader {
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    // Throws std::runtime_error when an address cannot be listened on.
    explicit LoopbackReader(int addresses = 1, int ioTimeoutSeconds = 5);
    ~LoopbackReader();
    LoopbackReader(const LoopbackReader&) = delete;
    LoopbackReader& operator=(const LoopbackReader&) = delete;

    uint16_t port() const { return servers.front()->port(); }
    // Frames read on all addresses so far.
    uint64_t frames();
    // Completed handshakes on all addresses.
    int handshakes() const;
    // Waits until `count` frames in all have been read; false when the time runs out first.
    bool waitForFrames(uint64_t count, std::chrono::milliseconds timeout);

    // Forgets earlier stamps and stamps the frames that arrive from now on.
    void startStamping(size_t expected);
    // The arrival times stamped since startStamping, in order; stamping stops.
    std::vector<TimePoint> takeStamps();

    // The kernel thread ids of the threads that read (one per address).
    std::vector<pid_t> threadIds();

    // The address of the n-th server (0-based) in host byte order.
    static uint32_t address(int n) { return 0x7F000001u + static_cast<uint32_t>(n); }

private:
    void frameRead(bool stampable);
    void noteThread(pid_t thread);

    static constexpr uint64_t kNobodyWaits = UINT64_MAX;

    std::mutex mutex;
    std::condition_variable changed;
    uint64_t frameCount = 0;
    // The count that waitForFrames waits for: the servers wake it only once, not per frame.
    uint64_t wakeAt = kNobodyWaits;
    bool stamping = false;
    std::vector<TimePoint> stamps;
    std::vector<pid_t> readerThreads;
    std::vector<std::unique_ptr<TlsTestServer>> servers;
};
