#include <windows.h>

#include <system_error>

#include "Platform/Event.h"
#include "Platform/WaitWindows.h"

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
    return detail::waitForHandle(handle_, timeoutMs);
}

}  // namespace platform
