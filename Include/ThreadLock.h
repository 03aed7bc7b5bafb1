// ThreadLock: the utility library's non-recursive mutual-exclusion lock.
//
// Any thread may lock it; the holder unlocks it. The `held` flag records one holding, not a
// count: a thread never locks a ThreadLock it already holds. An unlock() by a thread that does
// not hold the lock (a second unlock, say) does nothing. Destroying a lock that its destroying
// thread holds releases it first.
//
// ThreadLockGuard holds a lock for its scope, as std::lock_guard does, and tells Clang's
// thread-safety analysis so (ThreadSafety.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "ThreadSafety.h"

class CAPABILITY("mutex") ThreadLock {
public:
    ThreadLock() = default;
    virtual ~ThreadLock();
    ThreadLock(const ThreadLock&) = delete;
    ThreadLock& operator=(const ThreadLock&) = delete;

    // Blocks until the lock is free, then holds it.
    void lock() ACQUIRE();
    // Releases the lock when the calling thread holds it; otherwise does nothing.
    void unlock() RELEASE();

    bool isHeld() const { return held.load(std::memory_order_acquire); }

private:
    bool heldByCaller() const;

    std::mutex mutex;
    std::atomic<bool> held{false};
    std::atomic<uint32_t> holder{0xFFFFFFFFu};
};

class SCOPED_CAPABILITY ThreadLockGuard {
public:
    explicit ThreadLockGuard(ThreadLock& lock) ACQUIRE(lock) : held(lock) { held.lock(); }
    ~ThreadLockGuard() RELEASE() { held.unlock(); }
    ThreadLockGuard(const ThreadLockGuard&) = delete;
    ThreadLockGuard& operator=(const ThreadLockGuard&) = delete;

private:
    ThreadLock& held;
};
