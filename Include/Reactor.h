// Task and Reactor: the event loop that runs posted tasks and serves sockets on its own thread.
//
// A Task is a unit of work handed to a reactor; whoever posts it owns it and must not destroy it
// before the reactor has called exactly one of execute (on the loop's thread) or executeOnStop
// (for a task the loop will not run; on the loop's thread during its end, or on the posting
// thread once the loop has ended).
//
// A Reactor owns one thread (it is a BaseThread) whose loop waits on two things only: its own
// signal event, set to hand it tasks, and one network event that every watched socket reports
// into. Every task and every socket callback runs on that thread, one at a time, under guards
// that report an exception on standard output and in the crash file and carry on with the next
// item. The reactor owns neither its tasks nor its sockets.
//
// Threads: the owner calls start and stop (stop from any thread but the loop's own); any thread
// may post tasks and register sockets. addSocket and removeSocket are synchronous: when they
// return the loop's list holds the change, and a removed socket is no longer called by the loop.
// A reactor can be started again once its loop has ended: the new loop begins with an empty
// list of sockets, so sockets of the old loop are never called again.
// Requires: start only while no loop of this reactor is running; addSocket and removeSocket
// not on a thread that the loop itself waits for; a socket is removed (or the loop has ended)
// before it is destroyed; a subclass that overrides the hooks stops the loop in its own
// destructor.
#pragma once

#include <string>

#include "BaseThread.h"
#include "LockedObj.h"
#include "ServerSockets.h"
#include "TBatchQueue.h"
#include "TList.h"
#include "TQueue.h"

class YuException;
namespace platform {
class NetworkEvent;
}

class Task {
public:
    virtual ~Task() = default;
    // Does the work; called on the reactor's thread.
    virtual void execute() = 0;
    // Called instead of execute for a task that the loop will not run.
    virtual void executeOnStop() = 0;
};

class Reactor : public BaseThread {
public:
    Reactor();
    // Stops a running loop first.
    ~Reactor() override;

    // Starts the loop's thread; BaseThread's result (0, 1 creation failed).
    int start() override;
    // The loop: the thread's body, never called directly.
    void run() override;
    // Tells the loop to end and waits for its thread; 0.
    virtual int stop();

    // Queues a task for the loop, or calls its executeOnStop at once on this thread when the
    // loop has ended. A null task is reported by the task guard as one of unknown type.
    void postTask(Task* task);
    // Registers a socket (again, if it already is): 0; -1 for a null socket or when the
    // registration could not be handed to the loop.
    int addSocket(BaseSocket* socket);
    // Unregisters one registration of a socket: 0, or -1 when it was not registered.
    int removeSocket(BaseSocket* socket);
    // The list changes themselves, on the calling thread. Requires: the loop's thread, or no
    // loop running.
    int doAddSocket(BaseSocket* socket);
    int doRemoveSocket(BaseSocket* socket);

protected:
    // Called on the loop's thread before its first iteration.
    virtual void onLoopStart() {}
    // Called on the loop's thread after the stop steps.
    virtual void onLoopEnd() {}
    // Called on the loop's thread about every tick interval while the loop runs, busy or idle.
    virtual void onTick() {}
    // The tick interval in milliseconds; 0 (the default) never ticks.
    // Requires: no loop running.
    void setTickInterval(uint32_t intervalMs) { tickIntervalMs = intervalMs; }

private:
    // The loop's lifecycle. Idle until the first start; Running from start until stop (the
    // thread may not have begun yet); Stopping until the loop leaves its iterations; Ending
    // during the stop steps; Abandoning when the loop guard caught a failure instead; Stopped or
    // Abandoned once the loop's thread has handed out its last tasks. From Running to the end
    // of the thread the loop owns the socket list and takes registrations as tasks.
    enum class State { kIdle, kRunning, kStopping, kEnding, kAbandoning, kStopped, kAbandoned };
    enum class Change { kStart, kStartFailed, kStop, kLoopEnds, kLoopFails, kThreadEnds };
    // The one place where the state changes; takes the BaseThread's lock.
    void change(Change what);
    State currentState();
    // Requires (both): the BaseThread's lock is held.
    bool loopOwnsSockets() const {
        return state != State::kIdle && state != State::kStopped && state != State::kAbandoned;
    }
    // Registrations are ignored (0) once a loop has ended normally, until the next start.
    bool loopHasStopped() const { return state == State::kEnding || state == State::kStopped; }

    void loop();
    void runPostedTasks();
    // The wait's time-out: until the next tick is due.
    uint32_t waitTimeout(uint64_t nextTickMs) const;
    void runTick();
    void armWatchedSockets(platform::NetworkEvent& networkEvent);
    void dispatchNetworkEvents();
    void releaseRemainingTasks();
    // Calls executeOnStop of a task the loop will not run; a null one is reported instead.
    void releaseTask(Task* task);
    int updateSocket(BaseSocket* socket, bool add);
    // The list changes. Requires: the BaseThread's lock is held.
    int appendWatched(BaseSocket* socket);
    int removeWatched(BaseSocket* socket);

    void reportTaskFailure(Task* task, const char* message);
    void reportCopyFailure(const char* message);
    void reportTickFailure(const char* message);
    void reportSocketFailure(BaseSocket* socket, const char* message);
    void reportLoopFailure(const YuException& e);
    // One contained failure: the text before the reactor's type for a YuException (followed by
    // its message) or for any other exception (message null).
    void reportFailure(const std::string& caughtYuException, const std::string& caughtOther,
                       const char* message);

    TBatchQueue<Task*> taskQueue;
    // Read and changed on the loop's thread while a loop runs; by other threads (under the
    // BaseThread's lock) only while none does.
    TList<BaseSocket*> watchedSockets;
    LockedObj<unsigned long> threadId{0xFFFFFFFFul};
    State state = State::kIdle;  // guarded by the BaseThread's lock
    TQueue<Task*> stopBatch;     // tasks taken by the stop steps; loop's thread only
    uint32_t tickIntervalMs = 0;
};
