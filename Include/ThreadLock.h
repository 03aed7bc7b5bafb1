// ThreadLock: the utility library's non-recursive mutual-exclusion lock.
//
// Any thread may lock it; the holder unlocks it. The `held` flag records one holding, not a
// count: a thread never locks a ThreadLock it already holds. An unlock() by a thread that does
// not hold the lock (a second unlock, say) does nothing. Destroying a lock that its destroying
// thread holds releases it first.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

class ThreadLock {
public:
    ThreadLock() = default;
    virtual ~ThreadLock();
    ThreadLock(const ThreadLock&) = delete;
    ThreadLock& operator=(const ThreadLock&) = delete;

    // Blocks until the lock is free, then holds it.
    void lock();
    // Releases the lock when the calling thread holds it; otherwise does nothing.
    void unlock();

    bool isHeld() const { return held.load(std::memory_order_acquire); }

private:
    bool heldByCaller() const;

    std::mutex mutex;
    std::atomic<bool> held{false};
    std::atomic<uint32_t> holder{0xFFFFFFFFu};
};
