#include <windows.h>

#include <system_error>

#include "Platform/Event.h"

namespace platform {

AutoResetEvent::AutoResetEvent() : handle_(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {
    if (handle_ == nullptr) {
        throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                                "CreateEventA");
    }
}

AutoResetEvent::~AutoResetEvent() {
    CloseHandle(handle_);
}

void AutoResetEvent::set() {
    SetEvent(handle_);
}

bool AutoResetEvent::tryConsume() {
    return WaitForSingleObject(handle_, 0) == WAIT_OBJECT_0;
}

AutoResetEvent::WaitResult AutoResetEvent::wait(uint32_t timeoutMs) {
    switch (WaitForSingleObject(handle_, timeoutMs)) {
        case WAIT_OBJECT_0:
            return WaitResult::kSignalled;
        case WAIT_TIMEOUT:
            return WaitResult::kTimedOut;
        default:
            return WaitResult::kFailed;
    }
}

}  // namespace platform
