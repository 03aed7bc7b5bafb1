// ComApartment: a thread of the service's own that enters a COM apartment and serves it, so that
// an in-process component is created, called and released where its threading model wants it.
//
// A component registered with ThreadingModel "Apartment", or with none, belongs to the
// single-threaded apartment that created it: every call into it is made on that thread, and it
// may deliver its callbacks by posting window messages to that thread, which arrive only while
// the thread dispatches its messages. One registered as "Free" or "Both" may live in the
// multithreaded apartment. The apartment's thread waits for work and, on Windows, dispatches the
// window messages of its queue meanwhile; the Linux stand-in has no messages and only runs the
// work handed to it.
//
// run may be called from any thread, also from the apartment's own (the task then runs at once).
// Tasks run one at a time, in the order they were handed in, and before the window messages
// still queued, so that a component that keeps posting cannot hold the service's calls back. The
// destructor runs the tasks already handed in, leaves the apartment and waits for its thread; no
// run may be under way or follow.
#pragma once

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>

#include "Platform/Thread.h"

namespace platform {

class ComApartment {
public:
    enum class Model { kSingleThreaded, kMultithreaded };

    // The apartment a component of that registered ThreadingModel is to be created in: the
    // multithreaded one for "Free" and "Both" (in any case), the single-threaded one otherwise.
    static Model modelFor(std::string_view threadingModel);

    // Starts the thread and enters the apartment on it. Null when either fails.
    static std::unique_ptr<ComApartment> start(Model model);

    ~ComApartment();
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

    // Runs task on the apartment's thread and waits until it has returned; an exception it
    // throws is thrown again here.
    void run(const std::function<void()>& task);

    bool isApartmentThread() const { return std::this_thread::get_id() == apartmentThread_; }

private:
    struct Task {
        const std::function<void()>* body;
        std::exception_ptr failure;
        bool done = false;
    };
    enum class State { kStarting, kServing, kFailed };

    ComApartment() = default;
    void serve(Model model);
    bool workHandedIn();

    // The platform's part, all but wake on the apartment's thread. enter also sets up what
    // wake needs; waitForWork returns once wake was called (and on Windows also after
    // dispatching window messages); the destructor's closeWake runs after the thread has ended.
    bool enter(Model model);
    void leave();
    void waitForWork();
    void wake();
    void closeWake();

    std::mutex mutex_;
    std::condition_variable changed_;
    State state_ = State::kStarting;
    std::deque<Task*> queue_;
    bool ending_ = false;
    // Written by the apartment's thread before start returns.
    std::thread::id apartmentThread_;
    // Windows: the event that wake sets.
    void* wakeEvent_ = nullptr;
    std::unique_ptr<Thread> thread_;
};

}  // namespace platform
