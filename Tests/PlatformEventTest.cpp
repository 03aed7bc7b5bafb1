// Events, threads and the clock of the platform layer, on threads: what both systems must do
// alike (Win32 events and _beginthreadex on Windows, their stand-ins on Linux).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "Platform/Clock.h"
#include "Platform/ConsoleControl.h"
#include "Platform/Event.h"
#include "Platform/LastError.h"
#include "Platform/NetworkEvent.h"
#include "Platform/Socket.h"
#include "Platform/Thread.h"

using namespace platform;

namespace {

constexpr uint32_t kExpected = 5000;  // what must happen happens well within this

TEST(AutoResetEvent, EachSetReleasesExactlyOneOfSeveralWaitingThreads) {
    AutoResetEvent event;
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] {
            if (event.wait(kExpected) == AutoResetEvent::WaitResult::kSignalled) {
                released.fetch_add(1);
            }
        });
    }
    for (int i = 1; i <= 3; ++i) {
        event.set();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (released.load() < i && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        EXPECT_EQ(i, released.load());
    }
    for (std::thread& t : waiters) {
        t.join();
    }
    EXPECT_FALSE(event.tryConsume());
}

TEST(AutoResetEvent, TimedWaitReportsTheTimeOutAfterItsTime) {
    AutoResetEvent event;
    const uint64_t before = tickCount64();
    EXPECT_EQ(AutoResetEvent::WaitResult::kTimedOut, event.wait(50));
    // Waits are counted in the system timer's steps (10 to 16 ms on Windows).
    EXPECT_GE(tickCount64() - before, 50u - 16u);
}

// WSACreateEvent makes a manual-reset event: once set it stays set, through any number of
// waits, until it is reset.
TEST(NetworkEventObject, StaysSetUntilResetAsAManualResetEventDoes) {
    std::unique_ptr<NetworkEvent> network = NetworkEvent::create();
    ASSERT_NE(nullptr, network);
    AutoResetEvent signal;
    const SocketHandle handle = openTcpSocket();
    ASSERT_NE(kInvalidSocket, handle);
    ASSERT_EQ(0, network->select(handle));
    EXPECT_EQ(LoopWaitResult::kTimedOut, waitForSignalOrNetwork(signal, network.get(), 20));

    std::thread other([&] { reportSendFailure(handle, kWsaENoBufferSpace); });
    EXPECT_EQ(LoopWaitResult::kNetwork, waitForSignalOrNetwork(signal, network.get(), kExpected));
    other.join();
    EXPECT_EQ(LoopWaitResult::kNetwork, waitForSignalOrNetwork(signal, network.get(), 0));
    network->reset();
    NetworkEvents events;
    EXPECT_EQ(0, enumNetworkEvents(handle, events));
    EXPECT_EQ(kFdWrite, events.networkEvents);
    EXPECT_EQ(LoopWaitResult::kTimedOut, waitForSignalOrNetwork(signal, network.get(), 20));
    closeSocket(handle);
}

TEST(Thread, TimedWaitsOnARunningThreadRepeatUntilItEnds) {
    AutoResetEvent release;
    std::atomic<uint32_t> ranOn{0};
    std::unique_ptr<Thread> thread = Thread::start([&] {
        ranOn.store(currentThreadId());
        release.wait(kInfinite);
    });
    ASSERT_NE(nullptr, thread);
    EXPECT_FALSE(thread->waitFinished(0));
    EXPECT_FALSE(thread->waitFinished(30));
    release.set();
    EXPECT_TRUE(thread->waitFinished(kExpected));
    EXPECT_TRUE(thread->waitFinished(0));
    EXPECT_EQ(thread->id(), ranOn.load());
    EXPECT_NE(currentThreadId(), thread->id());
}

TEST(Clock, CalendarPartsAndTheirSecondsAgree) {
    // 2024-02-29T23:59:58Z
    const std::tm parts = utcParts(1709251198);
    EXPECT_EQ(124, parts.tm_year);
    EXPECT_EQ(1, parts.tm_mon);
    EXPECT_EQ(29, parts.tm_mday);
    EXPECT_EQ(23, parts.tm_hour);
    EXPECT_EQ(59, parts.tm_min);
    EXPECT_EQ(58, parts.tm_sec);
    EXPECT_EQ(1709251198, unixSecondsOfUtc(parts));
    // Past 2038, which a 32-bit time would not reach.
    EXPECT_EQ(4102444800, unixSecondsOfUtc(utcParts(4102444800)));

    const std::string stamp = utcTimeStamp();
    ASSERT_EQ(24u, stamp.size()) << stamp;
    EXPECT_EQ('T', stamp[10]);
    EXPECT_EQ('.', stamp[19]);
    EXPECT_EQ('Z', stamp[23]);
    const int64_t now = wallClockMs() / 1000;
    EXPECT_EQ(utcParts(now).tm_year + 1900, std::stoi(stamp.substr(0, 4)));
}

TEST(Clock, FormatsMomentsInTheShapesTheServiceWrites) {
    // 2024-02-29T23:59:58Z, and a moment past 2038.
    EXPECT_EQ("2024-02-29T23:59:58Z", formatTime(1709251198, kIsoSecondsFormat));
    EXPECT_EQ("2024-02-29 23:59 UTC", formatTime(1709251198, kMinutesUtcFormat));
    EXPECT_EQ("23:59:58", formatTime(1709251198, kTimeOfDayFormat));
    EXPECT_EQ("2100-01-01T00:00:00Z", formatTime(4102444800, kIsoSecondsFormat));
}

bool declineConsoleEvent(uint32_t) {
    return false;
}

// The table of console handlers holds sixteen, a handler added twice counts twice, and removing
// one that is not there fails.
TEST(ConsoleControl, HoldsSixteenHandlersAndRemovesOnlyAddedOnes) {
    EXPECT_FALSE(setConsoleCtrlHandler(declineConsoleEvent, false));
    EXPECT_EQ(lastError(), kErrorInvalidParameter);
    for (int i = 0; i < 16; ++i) {
        ASSERT_TRUE(setConsoleCtrlHandler(declineConsoleEvent, true)) << i;
    }
    EXPECT_FALSE(setConsoleCtrlHandler(declineConsoleEvent, true));
    EXPECT_EQ(lastError(), kErrorInvalidParameter);
    for (int i = 0; i < 16; ++i) {
        ASSERT_TRUE(setConsoleCtrlHandler(declineConsoleEvent, false)) << i;
    }
    EXPECT_FALSE(setConsoleCtrlHandler(declineConsoleEvent, false));
}

}  // namespace
