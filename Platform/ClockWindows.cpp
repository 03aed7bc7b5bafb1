#include <windows.h>

#include <ctime>

#include "Platform/Clock.h"

namespace platform {

namespace {

// 100-nanosecond intervals between 1601-01-01 (the FILETIME epoch) and 1970-01-01.
constexpr uint64_t kFileTimeUnixEpoch = 116444736000000000ull;

uint64_t fileTimeNow() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

}  // namespace

uint32_t tickCount() {
    return static_cast<uint32_t>(tickCount64());
}

// The performance counter: monotonic, counting from boot like GetTickCount64, but to the
// millisecond; GetTickCount64 advances in steps of the system timer (10 to 16 ms), coarser than
// the time-outs it would measure.
uint64_t tickCount64() {
    static const uint64_t frequency = [] {
        LARGE_INTEGER f{};
        QueryPerformanceFrequency(&f);
        return static_cast<uint64_t>(f.QuadPart);
    }();
    LARGE_INTEGER counter{};
    QueryPerformanceCounter(&counter);
    const uint64_t ticks = static_cast<uint64_t>(counter.QuadPart);
    return ticks / frequency * 1000u + ticks % frequency * 1000u / frequency;
}

int64_t wallClockMs() {
    return static_cast<int64_t>((fileTimeNow() - kFileTimeUnixEpoch) / 10000u);
}

std::tm utcParts(int64_t unixSeconds) {
    const __time64_t t = unixSeconds;
    std::tm parts{};
    if (_gmtime64_s(&parts, &t) != 0) {
        parts = std::tm{};
    }
    return parts;
}

std::tm localParts(int64_t unixSeconds) {
    const __time64_t t = unixSeconds;
    std::tm parts{};
    if (_localtime64_s(&parts, &t) != 0) {
        parts = std::tm{};
    }
    return parts;
}

int64_t unixSecondsOfUtc(std::tm parts) {
    return static_cast<int64_t>(_mkgmtime64(&parts));
}

uint32_t currentThreadId() {
    return GetCurrentThreadId();
}

}  // namespace platform
