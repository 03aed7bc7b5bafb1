#include <time.h>
#include <unistd.h>

#include <ctime>

#include "Platform/Clock.h"

namespace platform {

uint32_t tickCount() {
    return static_cast<uint32_t>(tickCount64());
}

uint64_t tickCount64() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u +
           static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

int64_t wallClockMs() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

std::tm utcParts(int64_t unixSeconds) {
    const time_t t = static_cast<time_t>(unixSeconds);
    std::tm parts{};
    gmtime_r(&t, &parts);
    return parts;
}

std::tm localParts(int64_t unixSeconds) {
    const time_t t = static_cast<time_t>(unixSeconds);
    std::tm parts{};
    localtime_r(&t, &parts);
    return parts;
}

int64_t unixSecondsOfUtc(std::tm parts) {
    return static_cast<int64_t>(timegm(&parts));
}

// Cached per thread: the id never changes, and locks ask for it on every lock and unlock.
uint32_t currentThreadId() {
    thread_local const uint32_t id = static_cast<uint32_t>(gettid());
    return id;
}

}  // namespace platform
