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
