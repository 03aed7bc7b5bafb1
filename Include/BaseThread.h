// BaseThread: the base of every thread the system starts.
//
// The owner constructs it, calls start() and later join(), and stops the thread (through
// signal() and flags of the subclass) before destroying the object; run() executes on the new
// thread. signal() may be called from any thread; start, waitForSignal and join belong to the
// owner. The signal event is auto-reset: each signal() releases one wait.
//
// Results are the Result values below, returned as int.
#pragma once

#include <cstdint>
#include <memory>

#include "Platform/Event.h"
#include "Platform/Thread.h"
#include "ThreadLock.h"

class BaseThread {
public:
    static constexpr uint32_t kInfinite = platform::kInfinite;

    enum Result : int {
        kSuccess = 0,
        kCreationFailed = 1,  // start(): the thread could not be created
        kWaitFailed = 2,      // waitForSignal(): the wait itself failed
        kTimedOut = 3,        // waitForSignal(), join(): the time ran out
        kStartLimit = 4,      // start(): maxStarts threads have been started already
    };

    explicit BaseThread(uint32_t maxStarts);
    // Requires: the thread has been stopped and joined by the subclass.
    virtual ~BaseThread();
    BaseThread(const BaseThread&) = delete;
    BaseThread& operator=(const BaseThread&) = delete;

    virtual int start();
    virtual int waitForSignal(uint32_t timeoutMs);
    virtual int signal();
    virtual void run() = 0;

    // Waits at most timeoutMs milliseconds for run() to return, and then joins the thread;
    // repeatable.
    int join(uint32_t timeoutMs);

    // The signal event, for waiting on it together with other descriptors.
    platform::AutoResetEvent& getSignalEvent() { return signalEvent; }

    uint32_t getSystemThreadId() const { return systemThreadId; }

    void lock() ACQUIRE(threadLock) { threadLock.lock(); }
    void unlock() RELEASE(threadLock) { threadLock.unlock(); }

private:
    uint32_t systemThreadId = 0;
    uint32_t maxStarts;
    uint32_t startCount = 0;
    ThreadLock threadLock;
    platform::AutoResetEvent signalEvent;
    std::unique_ptr<platform::Thread> threadHandle;
};
