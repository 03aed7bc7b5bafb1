#include "ThreadLock.h"

#include "Platform/Clock.h"

ThreadLock::~ThreadLock() { unlock(); }

bool ThreadLock::heldByCaller() const {
    return held.load(std::memory_order_acquire) &&
           holder.load(std::memory_order_relaxed) == platform::currentThreadId();
}

void ThreadLock::lock() {
    mutex.lock();
    holder.store(platform::currentThreadId(), std::memory_order_relaxed);
    held.store(true, std::memory_order_release);
}

void ThreadLock::unlock() {
    if (!heldByCaller()) {
        return;
    }
    holder.store(0xFFFFFFFFu, std::memory_order_relaxed);
    held.store(false, std::memory_order_release);
    mutex.unlock();
}
