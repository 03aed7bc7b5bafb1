#include "Reactor.h"

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <typeinfo>

#include "Platform/Clock.h"
#include "Platform/CrashFile.h"
#include "Platform/Event.h"
#include "Platform/NetworkEvent.h"
#include "YuException.h"

namespace {

constexpr uint32_t kUnlimitedStarts = 0xFFFFFFFFu;
constexpr unsigned long kNoThread = 0xFFFFFFFFul;

// A registration handed to the loop; the registering thread waits for `done`.
class SocketUpdate : public Task {
public:
    SocketUpdate(Reactor* reactor, BaseSocket* socket, bool add, int* result)
        : reactor(reactor), socket(socket), add(add), result(result) {}

    void execute() override { carryOut(); }
    void executeOnStop() override { carryOut(); }

    void waitUntilDone() {
        while (done.wait(platform::kInfinite) != platform::AutoResetEvent::WaitResult::kSignalled) {
        }
    }

private:
    void carryOut() {
        *result = add ? reactor->doAddSocket(socket) : reactor->doRemoveSocket(socket);
        done.set();
    }

    Reactor* reactor;
    BaseSocket* socket;
    bool add;
    platform::AutoResetEvent done;
    int* result;
};

template <typename T>
bool dynamicTypeName(T* object, std::string& name) {
    return object != nullptr && platform::runtimeTypeName(typeid(*object), name);
}

// One contained failure: a line on standard output, then the same line in the crash file.
void writeRecord(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    platform::appendCrashLine(line);
}

void writeTypeUnknownToCrashFile() {
    platform::appendCrashLine("Unable to determine runtime type");
}

std::string quoted(const std::string& name) {
    return "\"" + name + "\"";
}

}  // namespace

Reactor::Reactor() : BaseThread(kUnlimitedStarts) {}

Reactor::~Reactor() {
    stop();
}

void Reactor::change(Change what) {
    std::lock_guard<BaseThread> hold(*this);
    switch (what) {
        case Change::kStart:
            if (state == State::kStopped || state == State::kAbandoned) {
                // A loop has ended: the new one starts afresh, without the old loop's sockets.
                watchedSockets.reset();
                while (watchedSockets.hasCurrent()) {
                    watchedSockets.remove();
                }
            }
            state = State::kRunning;
            break;
        case Change::kStartFailed:
            state = State::kIdle;
            break;
        case Change::kStop:
            if (state == State::kRunning) {
                state = State::kStopping;
            }
            break;
        case Change::kLoopEnds:
            state = State::kEnding;
            break;
        case Change::kLoopFails:
            // A failure during the stop steps leaves the loop stopped, as a normal end would.
            if (state != State::kEnding) {
                state = State::kAbandoning;
            }
            break;
        case Change::kThreadEnds:
            state = state == State::kAbandoning ? State::kAbandoned : State::kStopped;
            break;
    }
}

Reactor::State Reactor::currentState() {
    std::lock_guard<BaseThread> hold(*this);
    return state;
}

int Reactor::start() {
    threadId.set(kNoThread);
    change(Change::kStart);
    const int result = BaseThread::start();
    if (result != kSuccess) {
        change(Change::kStartFailed);
    }
    return result;
}

int Reactor::stop() {
    change(Change::kStop);
    signal();
    return join(kInfinite);
}

void Reactor::run() {
    platform::nameCurrentThread("reactor");
    try {
        loop();
    } catch (YuException& e) {
        reportLoopFailure(e);
        change(Change::kLoopFails);
    }
    releaseRemainingTasks();
}

void Reactor::loop() {
    threadId.set(platform::currentThreadId());
    // Without a network event the loop still runs its tasks; sockets are then never served.
    std::unique_ptr<platform::NetworkEvent> networkEvent = platform::NetworkEvent::create();
    onLoopStart();

    uint64_t nextTickMs = platform::tickCount64() + tickIntervalMs;
    while (currentState() == State::kRunning) {
        if (networkEvent) {
            armWatchedSockets(*networkEvent);
        }
        switch (platform::waitForSignalOrNetwork(getSignalEvent(), networkEvent.get(),
                                                 waitTimeout(nextTickMs))) {
            case platform::LoopWaitResult::kSignal:
                runPostedTasks();
                break;
            case platform::LoopWaitResult::kNetwork:
                networkEvent->reset();
                if (currentState() == State::kRunning) {
                    dispatchNetworkEvents();
                }
                break;
            default:
                break;
        }
        if (tickIntervalMs != 0 && platform::tickCount64() >= nextTickMs &&
            currentState() == State::kRunning) {
            nextTickMs = platform::tickCount64() + tickIntervalMs;
            runTick();
        }
    }

    change(Change::kLoopEnds);
    taskQueue.takeAll(stopBatch);
    while (stopBatch.getCount() > 0) {
        releaseTask(stopBatch.pop());
    }
    for (TList<BaseSocket*>::Iterator it(watchedSockets); it.hasCurrent(); it.Step()) {
        it.iterator()->reactorStopped();
    }
    onLoopEnd();
}

uint32_t Reactor::waitTimeout(uint64_t nextTickMs) const {
    if (tickIntervalMs == 0) {
        return kInfinite;
    }
    const uint64_t now = platform::tickCount64();
    return now >= nextTickMs ? 0 : static_cast<uint32_t>(nextTickMs - now);
}

void Reactor::runTick() {
    try {
        onTick();
    } catch (YuException& e) {
        reportTickFailure(e.getMessage());
    } catch (...) {
        reportTickFailure(nullptr);
    }
}

void Reactor::runPostedTasks() {
    TQueue<Task*> batch;
    taskQueue.takeAll(batch);
    while (batch.getCount() > 0) {
        Task* task = batch.pop();
        try {
            if (task == nullptr) {
                reportTaskFailure(task, nullptr);
                continue;
            }
            task->execute();
        } catch (YuException& e) {
            reportTaskFailure(task, e.getMessage());
        } catch (...) {
            reportTaskFailure(task, nullptr);
        }
    }
}

void Reactor::armWatchedSockets(platform::NetworkEvent& networkEvent) {
    for (TList<BaseSocket*>::Iterator it(watchedSockets); it.hasCurrent(); it.Step()) {
        networkEvent.select(it.iterator()->handle());
    }
}

void Reactor::dispatchNetworkEvents() {
    // A copy, so that a callback may register or unregister sockets during the dispatch.
    TList<BaseSocket*> watchedSocketsCopy;
    for (TList<BaseSocket*>::Iterator it(watchedSockets); it.hasCurrent(); it.Step()) {
        BaseSocket* socket = it.iterator();
        try {
            watchedSocketsCopy.append(socket);
        } catch (YuException& e) {
            reportCopyFailure(e.getMessage());
        } catch (...) {
            reportCopyFailure(nullptr);
        }
    }
    for (TList<BaseSocket*>::Iterator it(watchedSocketsCopy); it.hasCurrent(); it.Step()) {
        BaseSocket* socket = it.iterator();
        try {
            socket->handleNetworkEvents();
        } catch (YuException& e) {
            reportSocketFailure(socket, e.getMessage());
        } catch (...) {
            reportSocketFailure(socket, nullptr);
        }
    }
}

// Hands executeOnStop to every task the loop will no longer run: those the stop steps could
// not finish and those posted while the loop was ending. Tasks posted from here on get
// executeOnStop on their posting thread.
void Reactor::releaseRemainingTasks() {
    change(Change::kThreadEnds);
    taskQueue.takeAll(stopBatch);
    while (stopBatch.getCount() > 0) {
        try {
            releaseTask(stopBatch.pop());
        } catch (YuException& e) {
            reportLoopFailure(e);
        }
    }
}

void Reactor::releaseTask(Task* task) {
    if (task == nullptr) {
        reportTaskFailure(task, nullptr);
        return;
    }
    task->executeOnStop();
}

void Reactor::postTask(Task* task) {
    bool queued;
    {
        std::lock_guard<BaseThread> hold(*this);
        queued = state != State::kStopped && state != State::kAbandoned;
        if (queued) {
            taskQueue.push(task);
        }
    }
    if (queued) {
        signal();
    } else if (task != nullptr) {
        task->executeOnStop();
    }
}

int Reactor::addSocket(BaseSocket* socket) {
    return updateSocket(socket, true);
}

int Reactor::removeSocket(BaseSocket* socket) {
    return updateSocket(socket, false);
}

int Reactor::updateSocket(BaseSocket* socket, bool add) {
    if (threadId.get() == platform::currentThreadId()) {
        std::lock_guard<BaseThread> hold(*this);
        return loopHasStopped() ? 0 : (add ? appendWatched(socket) : removeWatched(socket));
    }
    int result = 0;
    std::unique_ptr<SocketUpdate> update;
    try {
        update = std::make_unique<SocketUpdate>(this, socket, add, &result);
    } catch (const std::system_error&) {
        return -1;
    }
    {
        std::lock_guard<BaseThread> hold(*this);
        if (!loopOwnsSockets()) {
            // No loop is reading the list: the change is made here, unless a loop has ended.
            return loopHasStopped() ? 0 : (add ? appendWatched(socket) : removeWatched(socket));
        }
        // Queued under the lock that the loop's end takes, so the loop always carries it out.
        taskQueue.push(update.get());
    }
    signal();
    update->waitUntilDone();
    return result;
}

int Reactor::doAddSocket(BaseSocket* socket) {
    std::lock_guard<BaseThread> hold(*this);
    return appendWatched(socket);
}

int Reactor::doRemoveSocket(BaseSocket* socket) {
    std::lock_guard<BaseThread> hold(*this);
    return removeWatched(socket);
}

int Reactor::appendWatched(BaseSocket* socket) {
    if (socket == nullptr) {
        return -1;
    }
    watchedSockets.append(socket);
    return 0;
}

int Reactor::removeWatched(BaseSocket* socket) {
    try {
        watchedSockets.remove(socket);
    } catch (YuException&) {
        return -1;
    }
    return 0;
}

void Reactor::reportTaskFailure(Task* task, const char* message) {
    std::string taskType;
    if (!dynamicTypeName(task, taskType)) {
        writeTypeUnknownToCrashFile();
        return;
    }
    const std::string subject = "executing task " + quoted(taskType) + " in reactor ";
    reportFailure("Caught YuException " + subject, "Caught an unknown exception " + subject,
                  message);
}

void Reactor::reportCopyFailure(const char* message) {
    const std::string subject = "building watchedSocketsCopy in reactor ";
    reportFailure("Caught YuException " + subject, "Caught unknown exception " + subject, message);
}

void Reactor::reportTickFailure(const char* message) {
    const std::string subject = "in the tick of reactor ";
    reportFailure("Caught YuException " + subject, "Caught unknown exception " + subject, message);
}

void Reactor::reportSocketFailure(BaseSocket* socket, const char* message) {
    std::string socketType;
    if (!dynamicTypeName(socket, socketType)) {
        writeTypeUnknownToCrashFile();
        return;
    }
    const std::string type = quoted(socketType);
    reportFailure(
        "Caught YuException handling socket event for " + type + " in reactor ",
        "Caught an unknown exception handling a socket event for " + type + " in reactor ",
        message);
}

void Reactor::reportFailure(const std::string& caughtYuException, const std::string& caughtOther,
                            const char* message) {
    std::string reactorType;
    if (!dynamicTypeName(this, reactorType)) {
        writeTypeUnknownToCrashFile();
        return;
    }
    if (message != nullptr) {
        writeRecord(caughtYuException + quoted(reactorType) + ".  " + message);
    } else {
        writeRecord(caughtOther + quoted(reactorType) + ".");
    }
}

void Reactor::reportLoopFailure(const YuException& e) {
    std::string reactorType;
    if (!dynamicTypeName(this, reactorType)) {
        writeRecord("Unable to determine runtime type.");
        return;
    }
    writeRecord("Caught YuException in reactor " + quoted(reactorType) + ".  " + e.getMessage());
}
