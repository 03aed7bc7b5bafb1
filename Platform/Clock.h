// Clock and thread identity: the stand-ins for GetTickCount and GetCurrentThreadId.
//
// Free functions, callable from any thread.
#pragma once

#include <cstdint>

namespace platform {

// Milliseconds of a monotonic clock, wrapping at 2^32 like GetTickCount.
uint32_t tickCount();

// The calling thread's kernel thread id. Never 0xFFFFFFFF, which the system uses for "no thread".
uint32_t currentThreadId();

}  // namespace platform
