// Clock and thread identity: the stand-ins for GetTickCount and GetCurrentThreadId.
//
// Free functions, callable from any thread.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace platform {

// Milliseconds of a monotonic clock, wrapping at 2^32 like GetTickCount.
uint32_t tickCount();
// Milliseconds of the same monotonic clock, without the wrap.
uint64_t tickCount64();
// Milliseconds since the Unix epoch, from the wall clock.
int64_t wallClockMs();
// The wall clock's time in UTC with milliseconds: "2024-05-01T12:34:56.789Z".
std::string utcTimeStamp();

enum class TimeZone { kUtc, kLocal };
// strftime formats of the texts that show a moment.
constexpr char kIsoSecondsFormat[] = "%Y-%m-%dT%H:%M:%SZ";  // "2024-05-01T12:34:56Z", UTC
constexpr char kMinutesUtcFormat[] = "%Y-%m-%d %H:%M UTC";  // "2024-05-01 12:34 UTC"
constexpr char kTimeOfDayFormat[] = "%H:%M:%S";             // "12:34:56"
// A moment given in seconds since the Unix epoch as strftime writes it with format in the zone;
// the format's result must stay under 64 bytes.
std::string formatTime(int64_t unixSeconds, const char* format, TimeZone zone = TimeZone::kUtc);

// The calendar parts of a moment given in seconds since the Unix epoch, in UTC or in the local
// time zone (gmtime_r and localtime_r; gmtime_s and localtime_s on Windows). A moment that
// cannot be broken down gives all parts zero.
std::tm utcParts(int64_t unixSeconds);
std::tm localParts(int64_t unixSeconds);
// The seconds since the Unix epoch of calendar parts in UTC (timegm; _mkgmtime on Windows).
int64_t unixSecondsOfUtc(std::tm parts);

// The calling thread's kernel thread id. Never 0xFFFFFFFF, which the system uses for "no thread".
uint32_t currentThreadId();

}  // namespace platform
