#include "Platform/ConsoleControl.h"

#include <algorithm>
#include <mutex>

#include "Platform/ConsoleEvents.h"
#include "Platform/LastError.h"

namespace platform {

namespace {

constexpr int kMaxHandlers = 16;

// Trivially destructible, so the thread that delivers the events may still read them while the
// process exits.
std::mutex handlersMutex;
ConsoleCtrlHandler handlers[kMaxHandlers];
int handlerCount = 0;
bool eventsStarted = false;

}  // namespace

bool detail::dispatchConsoleEvent(uint32_t ctrlType) {
    ConsoleCtrlHandler current[kMaxHandlers];
    int count = 0;
    {
        std::lock_guard<std::mutex> g(handlersMutex);
        count = handlerCount;
        std::copy(handlers, handlers + count, current);
    }
    for (int i = count - 1; i >= 0; --i) {
        if (current[i](ctrlType)) {
            return true;
        }
    }
    return false;
}

bool setConsoleCtrlHandler(ConsoleCtrlHandler handler, bool add) {
    std::lock_guard<std::mutex> g(handlersMutex);
    if (!add) {
        ConsoleCtrlHandler* end = handlers + handlerCount;
        ConsoleCtrlHandler* found = std::find(handlers, end, handler);
        if (found == end) {
            setLastError(kErrorInvalidParameter);
            return false;
        }
        std::copy(found + 1, end, found);
        --handlerCount;
        return true;
    }
    if (handlerCount == kMaxHandlers) {
        setLastError(kErrorInvalidParameter);
        return false;
    }
    if (!eventsStarted) {
        if (!detail::startConsoleEvents()) {
            return false;
        }
        eventsStarted = true;
    }
    handlers[handlerCount++] = handler;
    return true;
}

}  // namespace platform
