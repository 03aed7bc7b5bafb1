#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackPeer.h"
#include "Platform/Clock.h"
#include "Platform/CrashFile.h"
#include "Reactor.h"
#include "ServerSockets.h"
#include "Tests/Eventually.h"
#include "YuException.h"

namespace {

using namespace std::chrono_literals;

// An ordered record of what happened, written from any thread.
class Journal {
public:
    void add(const std::string& entry) {
        std::lock_guard<std::mutex> g(mutex);
        entries.push_back(entry);
    }
    std::vector<std::string> get() {
        std::lock_guard<std::mutex> g(mutex);
        return entries;
    }

private:
    std::mutex mutex;
    std::vector<std::string> entries;
};

class Gate {
public:
    void open() {
        std::lock_guard<std::mutex> g(mutex);
        isOpen = true;
        changed.notify_all();
    }
    void pass() {
        std::unique_lock<std::mutex> g(mutex);
        changed.wait(g, [this] { return isOpen; });
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    bool isOpen = false;
};

class NamedTask : public Task {
public:
    NamedTask(Journal& journal, std::string name) : journal(journal), name(std::move(name)) {}
    void execute() override {
        ranOn = platform::currentThreadId();
        journal.add(name + " execute");
    }
    void executeOnStop() override {
        ranOn = platform::currentThreadId();
        journal.add(name + " executeOnStop");
    }
    std::atomic<uint32_t> ranOn{0};

private:
    Journal& journal;
    std::string name;
};

// Holds the loop inside its execute until the gate opens.
class BlockingTask : public Task {
public:
    void execute() override {
        running = true;
        gate.pass();
    }
    void executeOnStop() override {}
    Gate gate;
    std::atomic<bool> running{false};
};

class CountingTask : public Task {
public:
    void execute() override { ++executes; }
    void executeOnStop() override { ++stops; }
    std::atomic<int> executes{0};
    std::atomic<int> stops{0};
};

class ThrowingTask : public Task {
public:
    void execute() override { throw YuException("the task failed"); }
    void executeOnStop() override {}
};

class UnknownThrowingTask : public Task {
public:
    void execute() override { throw 42; }
    void executeOnStop() override {}
};

// A reactor whose hooks write to a journal; onLoopStart can be made to throw.
class HookedReactor : public Reactor {
public:
    explicit HookedReactor(Journal& journal) : journal(journal) {}
    ~HookedReactor() override {
        if (isRunning) {
            stop();
        }
    }
    int start() override {
        isRunning = true;
        return Reactor::start();
    }
    int stop() override {
        isRunning = false;
        return Reactor::stop();
    }
    std::atomic<bool> throwOnStart{false};

protected:
    void onLoopStart() override {
        journal.add("onLoopStart");
        if (throwOnStart) {
            throw YuException("cannot start");
        }
    }
    void onLoopEnd() override { journal.add("onLoopEnd"); }

private:
    Journal& journal;
    bool isRunning = false;
};

// A client socket whose callbacks (on the loop's thread) are safe to read from the test.
class LoopClient : public ClientSocket {
public:
    explicit LoopClient(Journal* journal = nullptr, std::string name = "")
        : journal(journal), name(std::move(name)) {}

    std::atomic<int> connects{0};
    std::atomic<int> closes{0};
    std::atomic<int> gracefulCloses{0};
    std::atomic<int> eventCalls{0};
    std::atomic<int> messageCount{0};
    std::atomic<bool> throwOnMessage{false};
    std::function<void()> onEvents;  // runs on the loop's thread at every handleNetworkEvents

    std::vector<std::string> messages() {
        std::lock_guard<std::mutex> g(mutex);
        return received;
    }

    void handleNetworkEvents() override {
        ++eventCalls;
        if (onEvents) {
            onEvents();
        }
        ClientSocket::handleNetworkEvents();
    }
    void reactorStopped() override {
        if (journal != nullptr) {
            journal->add(name + " reactorStopped");
        }
    }

protected:
    void onConnected() override {
        ClientSocket::onConnected();
        ++connects;
    }
    void onClosed(bool graceful) override {
        ClientSocket::onClosed(graceful);
        gracefulCloses += graceful ? 1 : 0;
        ++closes;
    }
    void handleMessage(const char* data, int length) override {
        if (throwOnMessage) {
            throw YuException("bad message");
        }
        {
            std::lock_guard<std::mutex> g(mutex);
            received.emplace_back(data, static_cast<size_t>(length));
        }
        ++messageCount;
    }

private:
    Journal* journal;
    std::string name;
    std::mutex mutex;
    std::vector<std::string> received;
};

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Points the crash file at a file of this test and captures standard output.
class CrashRecords : public ::testing::Test {
protected:
    void SetUp() override {
        path = ::testing::TempDir() + "ReactorTest-crash-" + std::to_string(getpid()) + ".txt";
        std::remove(path.c_str());
        platform::setCrashFilePath(path);
    }
    void TearDown() override {
        std::remove(path.c_str());
        platform::setCrashFilePath(platform::kDefaultCrashFilePath);
    }
    std::string path;
};

}  // namespace

TEST(ReactorLoop, TasksRunOnTheLoopsThreadInPostingOrder) {
    Journal journal;
    Reactor reactor;
    NamedTask a(journal, "a"), b(journal, "b"), c(journal, "c");
    reactor.postTask(&a);  // before start: kept for the loop
    ASSERT_EQ(0, reactor.start());
    reactor.postTask(&b);
    reactor.postTask(&c);
    ASSERT_TRUE(eventually([&] { return journal.get().size() == 3; }));
    EXPECT_EQ((std::vector<std::string>{"a execute", "b execute", "c execute"}), journal.get());
    EXPECT_NE(platform::currentThreadId(), a.ranOn.load());
    EXPECT_EQ(a.ranOn.load(), c.ranOn.load());
    EXPECT_EQ(0, reactor.stop());
}

TEST(ReactorLoop, StopWakesALoopBlockedInItsWait) {
    Reactor reactor;
    ASSERT_EQ(0, reactor.start());
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(0, reactor.stop());
    // After the loop has ended a task is handed to executeOnStop on the posting thread.
    Journal journal;
    NamedTask late(journal, "late");
    reactor.postTask(&late);
    EXPECT_EQ(std::vector<std::string>{"late executeOnStop"}, journal.get());
    EXPECT_EQ(platform::currentThreadId(), late.ranOn.load());
}

TEST(ReactorLoop, DestroyingARunningReactorStopsIt) {
    Journal journal;
    NamedTask task(journal, "t");
    {
        Reactor reactor;
        ASSERT_EQ(0, reactor.start());
        reactor.postTask(&task);
        ASSERT_TRUE(eventually([&] { return !journal.get().empty(); }));
    }
    EXPECT_EQ(std::vector<std::string>{"t execute"}, journal.get());
}

TEST(ReactorLoop, QueuedTasksGetExecuteOnStopBetweenStoppedAndReactorStopped) {
    Journal journal;
    HookedReactor reactor(journal);
    LoopClient watched(&journal, "socket");
    LoopClient lateSocket(&journal, "late socket");
    ASSERT_EQ(0, reactor.addSocket(&watched));
    ASSERT_EQ(0, reactor.start());

    BlockingTask blocker;
    reactor.postTask(&blocker);
    ASSERT_TRUE(eventually([&] { return blocker.running.load(); }));
    NamedTask first(journal, "first"), second(journal, "second");
    reactor.postTask(&first);
    reactor.postTask(&second);
    // During the stop steps a registration on the loop's thread no longer changes the list.
    struct RegistersDuringStop : Task {
        Reactor* reactor;
        BaseSocket* socket;
        std::atomic<int> result{-2};
        void execute() override {}
        void executeOnStop() override { result = reactor->addSocket(socket); }
    } registers;
    registers.reactor = &reactor;
    registers.socket = &lateSocket;
    reactor.postTask(&registers);

    std::thread stopper([&] { reactor.stop(); });
    std::this_thread::sleep_for(20ms);
    blocker.gate.open();
    stopper.join();

    EXPECT_EQ(
        (std::vector<std::string>{"onLoopStart", "first executeOnStop", "second executeOnStop",
                                  "socket reactorStopped", "onLoopEnd"}),
        journal.get());
    EXPECT_EQ(0, registers.result.load());
}

TEST(ReactorLoop, EveryTaskPostedAroundStopGetsExactlyOneCall) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 5000;
    std::vector<std::unique_ptr<CountingTask>> tasks;
    for (int i = 0; i < kThreads * kPerThread; ++i) {
        tasks.push_back(std::make_unique<CountingTask>());
    }
    Reactor reactor;
    ASSERT_EQ(0, reactor.start());
    std::atomic<int> posted{0};
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                reactor.postTask(tasks[t * kPerThread + i].get());
                ++posted;
            }
        });
    }
    // Stop only once the loop has run some of them, so both outcomes occur however the
    // threads are scheduled.
    ASSERT_TRUE(eventually([&] {
        return posted.load() > kThreads * kPerThread / 8 && tasks.front()->executes.load() == 1;
    }));
    reactor.stop();
    for (auto& p : posters) {
        p.join();
    }
    int executed = 0;
    for (auto& task : tasks) {
        ASSERT_EQ(1, task->executes.load() + task->stops.load());
        executed += task->executes.load();
    }
    EXPECT_GT(executed, 0);
}

TEST_F(CrashRecords, ThrowingTasksAreReportedAndTheNextTaskStillRuns) {
    Reactor reactor;
    ThrowingTask throwing;
    UnknownThrowingTask unknown;
    Journal journal;
    NamedTask after(journal, "after");
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(0, reactor.start());
    reactor.postTask(&throwing);
    reactor.postTask(&unknown);
    reactor.postTask(&after);
    ASSERT_TRUE(eventually([&] { return !journal.get().empty(); }));
    reactor.stop();
    const std::string out = ::testing::internal::GetCapturedStdout();

    const std::string expected =
        "Caught YuException executing task \"(anonymous namespace)::ThrowingTask\" in reactor "
        "\"Reactor\".  the task failed\n"
        "Caught an unknown exception executing task \"(anonymous namespace)::UnknownThrowingTask\" "
        "in reactor \"Reactor\".\n";
    EXPECT_EQ(expected, out);
    EXPECT_EQ(expected, readFile(path));
    EXPECT_EQ(std::vector<std::string>{"after execute"}, journal.get());
}

TEST_F(CrashRecords, TaskOfUnknownTypeLeavesOnlyTheCrashFileLine) {
    Reactor reactor;
    Journal journal;
    NamedTask after(journal, "after");
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(0, reactor.start());
    reactor.postTask(nullptr);
    reactor.postTask(&after);
    ASSERT_TRUE(eventually([&] { return !journal.get().empty(); }));
    reactor.stop();
    EXPECT_EQ("", ::testing::internal::GetCapturedStdout());
    EXPECT_EQ("Unable to determine runtime type\n", readFile(path));
}

TEST_F(CrashRecords, NullTaskLeftForTheStopStepsIsReportedAndTheOthersReleased) {
    Journal journal;
    Reactor reactor;
    BlockingTask blocker;
    NamedTask after(journal, "after");
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(0, reactor.start());
    reactor.postTask(&blocker);
    ASSERT_TRUE(eventually([&] { return blocker.running.load(); }));
    reactor.postTask(nullptr);
    reactor.postTask(&after);
    std::thread stopper([&] { reactor.stop(); });
    std::this_thread::sleep_for(20ms);
    blocker.gate.open();
    stopper.join();
    EXPECT_EQ("", ::testing::internal::GetCapturedStdout());
    EXPECT_EQ("Unable to determine runtime type\n", readFile(path));
    EXPECT_EQ(std::vector<std::string>{"after executeOnStop"}, journal.get());
}

TEST_F(CrashRecords, LoopGuardEndsTheThreadAndRegistrationsDoNotWait) {
    Journal journal;
    HookedReactor reactor(journal);
    reactor.throwOnStart = true;
    NamedTask queuedBefore(journal, "queued");
    reactor.postTask(&queuedBefore);
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(0, reactor.start());
    ASSERT_TRUE(eventually([&] { return journal.get().size() == 2; }));
    const std::string line =
        "Caught YuException in reactor \"(anonymous namespace)::HookedReactor\".  cannot start\n";
    ASSERT_TRUE(eventually([&] { return readFile(path) == line; }));
    EXPECT_EQ(line, ::testing::internal::GetCapturedStdout());
    EXPECT_EQ((std::vector<std::string>{"onLoopStart", "queued executeOnStop"}), journal.get());

    // The loop's thread is gone: registrations return at once, posts are handed back.
    LoopClient socket;
    EXPECT_EQ(0, reactor.addSocket(&socket));
    EXPECT_EQ(0, reactor.removeSocket(&socket));
    EXPECT_EQ(-1, reactor.removeSocket(&socket));
    NamedTask after(journal, "after");
    reactor.postTask(&after);
    EXPECT_EQ(platform::currentThreadId(), after.ranOn.load());

    // It can be started again.
    reactor.throwOnStart = false;
    reactor.stop();
    ASSERT_EQ(0, reactor.start());
    NamedTask again(journal, "again");
    reactor.postTask(&again);
    ASSERT_TRUE(eventually([&] { return journal.get().back() == "again execute"; }));
    reactor.stop();
}

TEST_F(CrashRecords, ThrowingSocketIsReportedAndTheNextSocketIsServed) {
    Peer peer;
    Reactor reactor;
    ASSERT_EQ(0, reactor.start());
    LoopClient throwing, quiet;
    throwing.throwOnMessage = true;
    ASSERT_EQ(0, reactor.addSocket(&throwing));
    ASSERT_EQ(0, reactor.addSocket(&quiet));
    ASSERT_EQ(0, throwing.connect(InetAddr(kLoopback, peer.port)));
    peer.accept();
    const platform::SocketHandle throwingPeer = peer.conn;
    ASSERT_EQ(0, quiet.connect(InetAddr(kLoopback, peer.port)));
    peer.accept();
    ASSERT_TRUE(eventually([&] { return throwing.connects == 1 && quiet.connects == 1; }));

    ::testing::internal::CaptureStdout();
    const std::string bytes = frame("x");
    platform::sendSocket(throwingPeer, bytes.data(), static_cast<int>(bytes.size()));
    peer.send(frame("served"));
    ASSERT_TRUE(eventually([&] { return quiet.messageCount == 1; }));
    const std::string line =
        "Caught YuException handling socket event for \"(anonymous namespace)::LoopClient\" in "
        "reactor \"Reactor\".  bad message\n";
    ASSERT_TRUE(eventually([&] { return readFile(path) == line; }));
    reactor.stop();
    EXPECT_EQ(line, ::testing::internal::GetCapturedStdout());
    platform::closeSocket(throwingPeer);
}

TEST(ReactorSockets, ConnectExchangeCloseAndRenewUnderARunningReactor) {
    Peer peer;
    Reactor reactor;
    LoopClient client;
    ASSERT_EQ(0, reactor.addSocket(&client));  // before start: at once; armed by the first turn
    ASSERT_EQ(0, reactor.start());
    ASSERT_EQ(0, client.connect(InetAddr(kLoopback, peer.port)));
    peer.accept();
    ASSERT_TRUE(eventually([&] { return client.connects == 1; }));

    peer.send(frame("from the peer"));
    EXPECT_EQ(15, client.sendMessage("to the peer", 11));
    std::string payload;
    ASSERT_TRUE(peer.receiveFrame(payload));
    EXPECT_EQ("to the peer", payload);
    ASSERT_TRUE(eventually([&] { return client.messageCount == 1; }));
    EXPECT_EQ(std::vector<std::string>{"from the peer"}, client.messages());

    peer.resetConnection();
    ASSERT_TRUE(eventually([&] { return client.closes == 1; }));
    EXPECT_EQ(0, client.gracefulCloses.load());
    // onClosed ran on the loop's thread; connect is now safe from here again.
    ASSERT_EQ(0, client.connect(InetAddr(kLoopback, peer.port)));
    peer.accept();
    ASSERT_TRUE(eventually([&] { return client.connects == 2; }));
    peer.send(frame("again"));
    ASSERT_TRUE(eventually([&] { return client.messageCount == 2; }));
    EXPECT_EQ(0, reactor.removeSocket(&client));
    reactor.stop();
}

TEST(ReactorSockets, SocketRegisteredTwiceIsCalledTwicePerNotification) {
    Peer peer;
    Reactor reactor;
    ASSERT_EQ(0, reactor.start());
    LoopClient client;
    ASSERT_EQ(0, reactor.addSocket(&client));
    ASSERT_EQ(0, reactor.addSocket(&client));
    ASSERT_EQ(0, client.connect(InetAddr(kLoopback, peer.port)));
    peer.accept();
    ASSERT_TRUE(eventually([&] { return client.connects == 1; }));
    for (int i = 1; i <= 3; ++i) {
        peer.send(frame("ping"));
        ASSERT_TRUE(eventually([&] { return client.messageCount == i; }));
    }
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(0, client.eventCalls.load() % 2);
    EXPECT_GE(client.eventCalls.load(), 8);

    // One removal takes one registration away; the socket is still served.
    ASSERT_EQ(0, reactor.removeSocket(&client));
    peer.send(frame("pong"));
    ASSERT_TRUE(eventually([&] { return client.messageCount == 4; }));
    EXPECT_EQ(0, reactor.removeSocket(&client));
    EXPECT_EQ(-1, reactor.removeSocket(&client));
    reactor.stop();
}

TEST(ReactorSockets, RegistrationFromTheLoopsOwnThreadIsImmediate) {
    Peer peer;
    Reactor reactor;
    ASSERT_EQ(0, reactor.start());
    LoopClient first, second;
    // The first socket registers the second during a dispatch: the second is served from the
    // next notification on, never in the dispatch that registered it.
    std::atomic<int> dispatches{0};
    std::atomic<int> dispatchSeenBySecond{0};
    std::atomic<int> addResult{-2};
    first.onEvents = [&] {
        if (++dispatches == 1) {
            addResult = reactor.addSocket(&second);
        }
    };
    second.onEvents = [&] {
        if (dispatchSeenBySecond == 0) {
            dispatchSeenBySecond = dispatches.load();
        }
    };
    ASSERT_EQ(0, reactor.addSocket(&first));
    ASSERT_EQ(0, first.connect(InetAddr(kLoopback, peer.port)));
    peer.accept();
    ASSERT_TRUE(eventually([&] { return first.connects == 1; }));
    peer.send(frame("one"));
    ASSERT_TRUE(eventually([&] { return first.messageCount == 1 && dispatchSeenBySecond > 0; }));
    EXPECT_EQ(0, addResult.load());
    EXPECT_GE(dispatchSeenBySecond.load(), 2);

    // From a task: the direct path, both ways, including a socket that is not registered.
    struct Registers : Task {
        Reactor* reactor;
        BaseSocket* socket;
        std::atomic<int> removed{-2}, removedAgain{-2};
        void execute() override {
            removed = reactor->removeSocket(socket);
            removedAgain = reactor->removeSocket(socket);
        }
        void executeOnStop() override {}
    } registers;
    registers.reactor = &reactor;
    registers.socket = &second;
    reactor.postTask(&registers);
    ASSERT_TRUE(eventually([&] { return registers.removedAgain != -2; }));
    EXPECT_EQ(0, registers.removed.load());
    EXPECT_EQ(-1, registers.removedAgain.load());
    EXPECT_EQ(-1, reactor.removeSocket(&second));  // the task path
    EXPECT_EQ(0, reactor.removeSocket(&first));
    reactor.stop();
}

TEST(ReactorSockets, RegistrationWhileTheLoopEndsIsCarriedOutAndReleased) {
    Reactor reactor;
    ASSERT_EQ(0, reactor.start());
    BlockingTask blocker;
    reactor.postTask(&blocker);
    ASSERT_TRUE(eventually([&] { return blocker.running.load(); }));

    LoopClient queued, afterRunningCleared;
    std::atomic<int> queuedResult{-2}, lateResult{-2};
    std::thread registering([&] { queuedResult = reactor.addSocket(&queued); });
    std::this_thread::sleep_for(20ms);
    std::thread stopper([&] { reactor.stop(); });
    std::this_thread::sleep_for(20ms);  // stop has cleared `running`; the loop still runs
    std::thread late([&] { lateResult = reactor.removeSocket(&afterRunningCleared); });
    std::this_thread::sleep_for(20ms);
    blocker.gate.open();
    registering.join();
    stopper.join();
    late.join();
    EXPECT_EQ(0, queuedResult.load());
    EXPECT_EQ(-1, lateResult.load());
    // After the end: nothing changes, nothing waits.
    EXPECT_EQ(0, reactor.addSocket(&queued));
    EXPECT_EQ(0, reactor.removeSocket(&afterRunningCleared));
}

TEST(ReactorSockets, RestartServesNewSocketsAndNeverTheDeletedOnes) {
    Peer peer;
    Reactor reactor;
    ASSERT_EQ(0, reactor.start());
    auto old = std::make_unique<LoopClient>();
    ASSERT_EQ(0, reactor.addSocket(old.get()));
    ASSERT_EQ(0, old->connect(InetAddr(kLoopback, peer.port)));
    peer.accept();
    ASSERT_TRUE(eventually([&] { return old->connects == 1; }));
    reactor.stop();
    old.reset();  // deleted while still listed by the ended loop
    peer.closeConnection();

    ASSERT_EQ(0, reactor.start());
    Journal journal;
    NamedTask task(journal, "task");
    reactor.postTask(&task);
    ASSERT_TRUE(eventually([&] { return !journal.get().empty(); }));
    EXPECT_EQ(std::vector<std::string>{"task execute"}, journal.get());

    LoopClient fresh;
    ASSERT_EQ(0, reactor.addSocket(&fresh));
    ASSERT_EQ(0, fresh.connect(InetAddr(kLoopback, peer.port)));
    peer.accept();
    ASSERT_TRUE(eventually([&] { return fresh.connects == 1; }));
    peer.send(frame("served by the new loop"));
    ASSERT_TRUE(eventually([&] { return fresh.messageCount == 1; }));
    reactor.stop();
}

namespace {

double processCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

}  // namespace

TEST(ReactorSockets, IdleLoopWithQuietConnectedSocketsDoesNotSpin) {
    Peer peer;
    Reactor reactor;
    ASSERT_EQ(0, reactor.start());
    std::vector<std::unique_ptr<LoopClient>> clients;
    std::vector<platform::SocketHandle> peers;
    for (int i = 0; i < 16; ++i) {
        clients.push_back(std::make_unique<LoopClient>());
        ASSERT_EQ(0, reactor.addSocket(clients.back().get()));
        ASSERT_EQ(0, clients.back()->connect(InetAddr(kLoopback, peer.port)));
        peer.accept();
        peers.push_back(peer.conn);
    }
    ASSERT_TRUE(eventually([&] {
        for (auto& c : clients) {
            if (c->connects != 1) {
                return false;
            }
        }
        return true;
    }));
    std::this_thread::sleep_for(50ms);

    const double before = processCpuSeconds();
    std::this_thread::sleep_for(1s);
    const double used = processCpuSeconds() - before;
    EXPECT_LT(used, 0.050) << "the loop used " << used << " s of CPU in one second";

    for (auto& c : clients) {
        reactor.removeSocket(c.get());
    }
    reactor.stop();
    for (platform::SocketHandle h : peers) {
        platform::closeSocket(h);
    }
    peer.conn = platform::kInvalidSocket;
}
