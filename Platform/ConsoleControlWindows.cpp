#include "Platform/ConsoleControl.h"

#include <windows.h>

#include <algorithm>
#include <mutex>

namespace platform {

namespace {

// The handlers are kept here, behind one routine registered with Windows, because Windows
// calls a routine of its own calling convention and our handlers have the plain one.
constexpr int kMaxHandlers = 16;

std::mutex handlersMutex;
ConsoleCtrlHandler handlers[kMaxHandlers];
int handlerCount = 0;
bool routineRegistered = false;

// Windows calls this on a thread it starts for the event. The handlers run the most recently
// added first, outside the lock, so that one may add or remove a handler.
BOOL WINAPI dispatchConsoleEvent(DWORD ctrlType) {
    ConsoleCtrlHandler current[kMaxHandlers];
    int count = 0;
    {
        std::lock_guard<std::mutex> g(handlersMutex);
        count = handlerCount;
        std::copy(handlers, handlers + count, current);
    }
    for (int i = count - 1; i >= 0; --i) {
        if (current[i](ctrlType)) {
            return TRUE;
        }
    }
    return FALSE;
}

}  // namespace

bool setConsoleCtrlHandler(ConsoleCtrlHandler handler, bool add) {
    std::lock_guard<std::mutex> g(handlersMutex);
    if (!add) {
        ConsoleCtrlHandler* end = handlers + handlerCount;
        ConsoleCtrlHandler* found = std::find(handlers, end, handler);
        if (found == end) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return false;
        }
        std::copy(found + 1, end, found);
        --handlerCount;
        return true;
    }
    if (handlerCount == kMaxHandlers) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (!routineRegistered) {
        if (!SetConsoleCtrlHandler(dispatchConsoleEvent, TRUE)) {
            return false;
        }
        routineRegistered = true;
    }
    handlers[handlerCount++] = handler;
    return true;
}

}  // namespace platform
