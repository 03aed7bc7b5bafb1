// CAtmnMonitor: publishes the running service's status and feeds systemd's watchdog, on a thread
// of its own.
//
// Each turn (once a second, more often when the watchdog needs it) it takes a DeliveryStatus
// snapshot; when the status line has changed, and at most once a second, it sends "STATUS=<line>"
// and rewrites the status files. When a watchdog interval is set it sends "WATCHDOG=1" every
// third of the interval, but only while every watched thread has made progress within half of
// it: a stuck event loop or supervision thread lets systemd's watchdog fire.
//
// The automation binding owns one and starts it once the service serves; the sources and the
// notify function are called on the monitor's thread and must be safe to call from it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Thread.h"
#include "ThreadLock.h"
#include "Tools/RovazoRiva/Common/DeliveryStatus.h"
#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnStatus.h"

class CAtmnMonitor {
public:
    struct Sources {
        // The client's counters; null: no status is published.
        std::function<DeliveryStatus()> snapshot;
        // For each watched thread, the steady-clock milliseconds of its last turn.
        std::vector<std::function<int64_t()>> progress;
    };
    // Sends one notify message ("STATUS=...", "WATCHDOG=1") to the service manager.
    using Notify = std::function<void(const std::string& message)>;

    // watchdogUs 0: no watchdog. files may be null.
    CAtmnMonitor(Sources sources, Notify notify, std::unique_ptr<CAtmnStatusFiles> files,
                 uint64_t watchdogUs);
    ~CAtmnMonitor();
    CAtmnMonitor(const CAtmnMonitor&) = delete;
    CAtmnMonitor& operator=(const CAtmnMonitor&) = delete;

    // Starts the thread; false when it cannot be started.
    bool start();
    // Ends the thread and removes the status files. Idempotent.
    void stop();

    // The monotonic clock in milliseconds, as the sources give it (the client's loop progress).
    static int64_t steadyNowMs();

private:
    void run();
    // Waits up to the time for stop; whether it came.
    bool stopsWithin(std::chrono::milliseconds time) EXCLUDES(mutex);
    void publish(int64_t nowMs);
    void feedWatchdog(int64_t nowMs);

    Sources sources;
    Notify notify;
    std::unique_ptr<CAtmnStatusFiles> files;
    int64_t watchdogMs;
    int64_t turnMs;

    ThreadLock mutex;
    std::condition_variable_any stopChanged;
    bool stopping GUARDED_BY(mutex) = false;
    std::unique_ptr<platform::Thread> thread;

    // Used by the monitor's thread only.
    std::string publishedLine;
    std::optional<int64_t> publishedAtMs;
    std::optional<int64_t> pingedAtMs;
    bool filesFailed = false;
};
