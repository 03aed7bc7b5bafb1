// Clock and thread identity: the stand-ins for GetTickCount and GetCurrentThreadId.
//
// Free functions, callable from any thread.
#pragma once

#include <cstdint>
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

// The calling thread's kernel thread id. Never 0xFFFFFFFF, which the system uses for "no thread".
uint32_t currentThreadId();

}  // namespace platform
