#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

#include "BaseThread.h"
#include "LockedObj.h"
#include "Platform/Clock.h"
#include "Platform/PollDeadlineLinux.h"
#include "ThreadLock.h"

namespace {

// A thread that runs until released through its signal event, counting its runs.
class GatedThread : public BaseThread {
public:
    explicit GatedThread(uint32_t maxStarts) : BaseThread(maxStarts) {}
    ~GatedThread() override {
        signal();
        join(kInfinite);
    }
    void run() override {
        runs.fetch_add(1);
        waitForSignal(kInfinite);
    }
    std::atomic<int> runs{0};
};

class QuickThread : public BaseThread {
public:
    QuickThread() : BaseThread(0xFFFFFFFFu) {}
    ~QuickThread() override { join(kInfinite); }
    void run() override { ranOn.store(platform::currentThreadId()); }
    std::atomic<uint32_t> ranOn{0};
};

TEST(BaseThread, SignalReleasesExactlyOneWait) {
    QuickThread t;
    EXPECT_EQ(BaseThread::kTimedOut, t.waitForSignal(0));
    // Two signals before any wait still release only one wait.
    EXPECT_EQ(BaseThread::kSuccess, t.signal());
    EXPECT_EQ(BaseThread::kSuccess, t.signal());
    EXPECT_EQ(BaseThread::kSuccess, t.waitForSignal(0));
    EXPECT_EQ(BaseThread::kTimedOut, t.waitForSignal(0));
    EXPECT_EQ(BaseThread::kTimedOut, t.waitForSignal(20));
}

TEST(BaseThread, SignalFromAnotherThreadWakesATimedWait) {
    QuickThread t;
    std::thread other([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        t.signal();
    });
    EXPECT_EQ(BaseThread::kSuccess, t.waitForSignal(5000));
    other.join();
}

TEST(BaseThread, MaxStartsLimitsThreadCreation) {
    GatedThread t(1);
    EXPECT_EQ(BaseThread::kSuccess, t.start());
    EXPECT_EQ(BaseThread::kStartLimit, t.start());
    t.signal();
    EXPECT_EQ(BaseThread::kSuccess, t.join(5000));
    EXPECT_EQ(1, t.runs.load());
}

TEST(BaseThread, JoinTimesOutThenSucceedsAndRepeats) {
    GatedThread t(0xFFFFFFFFu);
    ASSERT_EQ(BaseThread::kSuccess, t.start());
    EXPECT_EQ(BaseThread::kTimedOut, t.join(30));
    t.signal();
    EXPECT_EQ(BaseThread::kSuccess, t.join(5000));
    EXPECT_EQ(BaseThread::kSuccess, t.join(0));
}

TEST(PollDeadline, TimeOutsOfAnyLengthStayFinite) {
    EXPECT_EQ(-1, platform::PollDeadline(platform::kInfinite).remainingMs());
    EXPECT_EQ(0, platform::PollDeadline(0).remainingMs());
    // poll() takes an int: from 2^31 ms on, the rest is given in steps, never as "no limit".
    EXPECT_EQ(INT_MAX, platform::PollDeadline(0x80000000u).remainingMs());
    EXPECT_EQ(INT_MAX, platform::PollDeadline(0xFFFFFFFEu).remainingMs());
    const int rest = platform::PollDeadline(60000).remainingMs();
    EXPECT_GT(rest, 0);
    EXPECT_LE(rest, 60000);
}

TEST(BaseThread, JoinWithoutThreadReportsCompletion) {
    QuickThread t;
    EXPECT_EQ(0, t.join(0));
}

TEST(BaseThread, RunsOnItsOwnThreadWithTheReportedId) {
    QuickThread t;
    ASSERT_EQ(0, t.start());
    ASSERT_EQ(0, t.join(5000));
    EXPECT_NE(0u, t.getSystemThreadId());
    EXPECT_NE(0xFFFFFFFFu, t.getSystemThreadId());
    EXPECT_EQ(t.getSystemThreadId(), t.ranOn.load());
    EXPECT_NE(platform::currentThreadId(), t.ranOn.load());
}

TEST(BaseThread, CanStartAgainAfterTheFirstRunEnded) {
    GatedThread t(2);
    ASSERT_EQ(0, t.start());
    t.signal();
    ASSERT_EQ(0, t.join(5000));
    ASSERT_EQ(0, t.start());
    t.signal();
    ASSERT_EQ(0, t.join(5000));
    EXPECT_EQ(2, t.runs.load());
    EXPECT_EQ(4, t.start());
}

TEST(ThreadLock, ExcludesOtherThreads) {
    ThreadLock lock;
    long counter = 0;
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&] {
            for (int n = 0; n < 10000; ++n) {
                lock.lock();
                ++counter;
                lock.unlock();
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    EXPECT_EQ(40000, counter);
}

TEST(ThreadLock, HeldFlagAndHarmlessExtraUnlock) {
    ThreadLock lock;
    EXPECT_FALSE(lock.isHeld());
    lock.lock();
    EXPECT_TRUE(lock.isHeld());
    lock.unlock();
    EXPECT_FALSE(lock.isHeld());
    lock.unlock();
    EXPECT_FALSE(lock.isHeld());
    // Still usable after the extra unlock.
    lock.lock();
    EXPECT_TRUE(lock.isHeld());
    lock.unlock();
}

TEST(ThreadLock, UnlockByANonHolderLeavesTheLockHeld) {
    ThreadLock lock;
    lock.lock();
    std::thread other([&] { lock.unlock(); });
    other.join();
    EXPECT_TRUE(lock.isHeld());
    lock.unlock();
}

// Once destroyed, a lock that was released leaves its storage byte for byte as a fresh lock's
// (mutex free, no holder), while one destroyed held leaves its mutex taken. The first word, the
// class's table pointer, is left out: the undefined-behaviour sanitizer clears it at destruction.
// ThreadSanitizer, under which CI runs this too, also reports the destruction of a locked mutex.
TEST(ThreadLock, DestroyingAHeldLockReleasesIt) {
    constexpr size_t kState = sizeof(void*);
    alignas(ThreadLock) unsigned char storage[sizeof(ThreadLock)] = {};
    auto* lock = new (storage) ThreadLock();
    unsigned char fresh[sizeof(ThreadLock)];
    std::memcpy(fresh, storage, sizeof fresh);
    lock->lock();
    ASSERT_TRUE(lock->isHeld());
    ASSERT_NE(0, std::memcmp(fresh + kState, storage + kState, sizeof fresh - kState));
    lock->~ThreadLock();
    EXPECT_EQ(0, std::memcmp(fresh + kState, storage + kState, sizeof fresh - kState));
}

TEST(LockedObj, GetAndSetFromManyThreads) {
    // A value wider than one machine word: without the lock a get() could see half of a set().
    struct Wide {
        unsigned long first;
        unsigned long second;
        char padding[48];
    };
    LockedObj<Wide> value(Wide{7, 7, {}});
    EXPECT_EQ(7ul, value.get().second);
    std::atomic<int> torn{0};
    std::vector<std::thread> threads;
    for (unsigned long i = 0; i < 4; ++i) {
        threads.emplace_back([&value, &torn, i] {
            for (unsigned long n = 0; n < 20000; ++n) {
                value.set(Wide{i * 100000 + n, i * 100000 + n, {}});
                const Wide seen = value.get();
                torn += seen.first != seen.second ? 1 : 0;
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    EXPECT_EQ(0, torn.load());
    const Wide last = value.get();
    EXPECT_EQ(last.first, last.second);
    EXPECT_EQ(19999ul, last.first % 100000);
}

}  // namespace
