#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnMonitor.h"

#include <algorithm>
#include <chrono>

#include "LibraryInterfaces/KriErr.h"
#include "Platform/Clock.h"

namespace {

const char kAtmnMonitorUnit[] = "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnMonitor";

constexpr int64_t kPublishPeriodMs = 1000;

}  // namespace

CAtmnMonitor::CAtmnMonitor(Sources sources, Notify notify, std::unique_ptr<CAtmnStatusFiles> files,
                           uint64_t watchdogUs)
    : sources(std::move(sources)),
      notify(std::move(notify)),
      files(std::move(files)),
      watchdogMs(static_cast<int64_t>(watchdogUs / 1000)),
      turnMs(watchdogMs > 0 ? std::min(kPublishPeriodMs, std::max<int64_t>(watchdogMs / 3, 1))
                            : kPublishPeriodMs) {}

CAtmnMonitor::~CAtmnMonitor() {
    stop();
}

int64_t CAtmnMonitor::steadyNowMs() {
    return static_cast<int64_t>(platform::tickCount64());
}

bool CAtmnMonitor::start() {
    thread = platform::Thread::start([this] { run(); });
    return thread != nullptr;
}

void CAtmnMonitor::stop() {
    {
        ThreadLockGuard guard(mutex);
        stopping = true;
    }
    stopChanged.notify_all();
    thread.reset();
    if (files) {
        files->remove();
    }
}

void CAtmnMonitor::run() {
    platform::nameCurrentThread("monitor");
    std::chrono::milliseconds pause(0);
    while (!stopsWithin(pause)) {
        const int64_t now = steadyNowMs();
        publish(now);
        feedWatchdog(now);
        pause = std::chrono::milliseconds(turnMs);
    }
}

bool CAtmnMonitor::stopsWithin(std::chrono::milliseconds time) {
    const auto until = std::chrono::steady_clock::now() + time;
    ThreadLockGuard guard(mutex);
    while (!stopping && stopChanged.wait_until(mutex, until) == std::cv_status::no_timeout) {
    }
    return stopping;
}

void CAtmnMonitor::publish(int64_t nowMs) {
    if (!sources.snapshot || (publishedAtMs && nowMs - *publishedAtMs < kPublishPeriodMs)) {
        return;
    }
    const DeliveryStatus status = sources.snapshot();
    const std::string line = statusLine(status);
    if (publishedAtMs && line == publishedLine) {
        return;
    }
    publishedLine = line;
    publishedAtMs = nowMs;
    notify("STATUS=" + line);
    if (!files) {
        return;
    }
    if (const std::string failure = files->write(status, platform::wallClockMs());
        !failure.empty() && !filesFailed) {
        filesFailed = true;
        KRI_TRACE_WARNING(kAtmnMonitorUnit, "Unable to write the status files: %s\n",
                          failure.c_str());
    }
}

void CAtmnMonitor::feedWatchdog(int64_t nowMs) {
    if (watchdogMs == 0 || (pingedAtMs && nowMs - *pingedAtMs < watchdogMs / 3)) {
        return;
    }
    for (const std::function<int64_t()>& progress : sources.progress) {
        if (nowMs - progress() > watchdogMs / 2) {
            return;
        }
    }
    pingedAtMs = nowMs;
    notify("WATCHDOG=1");
}
