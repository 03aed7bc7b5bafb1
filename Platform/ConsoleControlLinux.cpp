#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <mutex>
#include <system_error>
#include <thread>

#include "Platform/ConsoleControl.h"
#include "Platform/LastError.h"

namespace platform {

namespace {

constexpr int kMaxHandlers = 16;

// Trivially destructible, so the signal thread may still read them while the process exits.
std::mutex handlersMutex;
ConsoleCtrlHandler handlers[kMaxHandlers];
int handlerCount = 0;
bool signalThreadStarted = false;

sigset_t consoleSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

uint32_t ctrlTypeOf(int signal) {
    switch (signal) {
        case SIGINT:
            return kCtrlCEvent;
        case SIGTERM:
            return kCtrlBreakEvent;
        default:
            return kCtrlCloseEvent;
    }
}

bool dispatch(uint32_t ctrlType) {
    ConsoleCtrlHandler current[kMaxHandlers];
    int count;
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

// Ends the process the way the signal would have without the handlers.
void takeDefaultAction(int signal) {
    std::signal(signal, SIG_DFL);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, signal);
    pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    raise(signal);
}

void waitForSignals() {
    const sigset_t set = consoleSignals();
    for (;;) {
        int signal = 0;
        if (sigwait(&set, &signal) != 0) {
            continue;
        }
        if (!dispatch(ctrlTypeOf(signal))) {
            takeDefaultAction(signal);
        }
    }
}

bool startSignalThread() {
    const sigset_t set = consoleSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    try {
        std::thread(waitForSignals).detach();
    } catch (const std::system_error&) {
        setLastError(static_cast<uint32_t>(EAGAIN));
        return false;
    }
    return true;
}

}  // namespace

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
    if (!signalThreadStarted) {
        if (!startSignalThread()) {
            return false;
        }
        signalThreadStarted = true;
    }
    handlers[handlerCount++] = handler;
    return true;
}

}  // namespace platform
