#include "BaseThread.h"

BaseThread::BaseThread(uint32_t maxStarts) : maxStarts(maxStarts) {}

BaseThread::~BaseThread() = default;

int BaseThread::start() {
    if (startCount == maxStarts) {
        return 4;
    }
    ++startCount;
    // A thread started earlier is joined (released) before its handle is replaced.
    threadHandle.reset();
    threadHandle = platform::Thread::start([this] { run(); });
    if (!threadHandle) {
        return 1;
    }
    systemThreadId = threadHandle->id();
    return 0;
}

int BaseThread::waitForSignal(uint32_t timeoutMs) {
    return signalEvent.wait(timeoutMs) == platform::AutoResetEvent::WaitResult::kTimedOut ? 3 : 0;
}

int BaseThread::signal() {
    signalEvent.set();
    return 0;
}

int BaseThread::join(uint32_t timeoutMs) {
    if (!threadHandle) {
        return 0;
    }
    return threadHandle->waitFinished(timeoutMs) ? 0 : 3;
}
