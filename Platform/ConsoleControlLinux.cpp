#include <pthread.h>

#include <cerrno>
#include <csignal>
#include <system_error>
#include <thread>

#include "Platform/ConsoleControl.h"
#include "Platform/ConsoleEvents.h"
#include "Platform/ControlSignalsLinux.h"
#include "Platform/LastError.h"

namespace platform {

namespace {

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
    const sigset_t set = controlSignals();
    for (;;) {
        int signal = 0;
        if (sigwait(&set, &signal) != 0) {
            continue;
        }
        if (!detail::dispatchConsoleEvent(ctrlTypeOf(signal))) {
            takeDefaultAction(signal);
        }
    }
}

}  // namespace

bool detail::startConsoleEvents() {
    const sigset_t set = controlSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    try {
        std::thread(waitForSignals).detach();
    } catch (const std::system_error&) {
        setLastError(static_cast<uint32_t>(EAGAIN));
        return false;
    }
    return true;
}

}  // namespace platform
