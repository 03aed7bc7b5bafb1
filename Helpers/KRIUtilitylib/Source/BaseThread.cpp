#include "BaseThread.h"

BaseThread::BaseThread(uint32_t maxStarts) : maxStarts(maxStarts) {}

BaseThread::~BaseThread() = default;

int BaseThread::start() {
    if (startCount == maxStarts) {
        return kStartLimit;
    }
    ++startCount;
    // A thread started earlier is joined (released) before its handle is replaced.
    threadHandle.reset();
    threadHandle = platform::Thread::start([this] { run(); });
    if (!threadHandle) {
        return kCreationFailed;
    }
    systemThreadId = threadHandle->id();
    return kSuccess;
}

int BaseThread::waitForSignal(uint32_t timeoutMs) {
    switch (signalEvent.wait(timeoutMs)) {
        case platform::AutoResetEvent::WaitResult::kSignalled:
            return kSuccess;
        case platform::AutoResetEvent::WaitResult::kTimedOut:
            return kTimedOut;
        case platform::AutoResetEvent::WaitResult::kFailed:
            break;
    }
    return kWaitFailed;
}

int BaseThread::signal() {
    signalEvent.set();
    return kSuccess;
}

int BaseThread::join(uint32_t timeoutMs) {
    if (!threadHandle) {
        return kSuccess;
    }
    if (!threadHandle->waitFinished(timeoutMs)) {
        return kTimedOut;
    }
    // Releasing the handle joins the system thread, which has returned from run() already.
    threadHandle.reset();
    return kSuccess;
}
