// The wait that AutoResetEvent and NamedEvent share on Windows, internal to EventWindows.cpp and
// NamedEventWindows.cpp.
#pragma once

#include <windows.h>

#include "Platform/Event.h"

namespace platform::detail {

static_assert(kInfinite == INFINITE);

// Waits for the handle at most timeoutMs milliseconds (kInfinite: without limit).
inline AutoResetEvent::WaitResult waitForHandle(HANDLE handle, uint32_t timeoutMs) {
    switch (WaitForSingleObject(handle, timeoutMs)) {
        case WAIT_OBJECT_0:
            return AutoResetEvent::WaitResult::kSignalled;
        case WAIT_TIMEOUT:
            return AutoResetEvent::WaitResult::kTimedOut;
        default:
            return AutoResetEvent::WaitResult::kFailed;
    }
}

}  // namespace platform::detail
