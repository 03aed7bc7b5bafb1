// NamedEvent: the stand-in for a named auto-reset kernel event such as "AtmnStop", which any
// process of the same user can set to release a waiter in another process.
//
// The event "<name>" is the POSIX named semaphore "/<name>", mode 0600. The process that waits
// creates it (create); other processes open it (open) and set it. Setting an event that is
// already set leaves it set once, and one wait takes the signal. A semaphore outlives the
// processes that used it, unlike a Windows event, so create discards a signal left over from an
// earlier run, and the creating handle removes the name again when it is destroyed; after that
// open fails, as opening a Windows event that nobody holds does.
//
// set and wait may be called from any thread and any process holding the event.
// Requires: name is not empty, has no '/' and at most 250 characters.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "Platform/Event.h"

namespace platform {

class NamedEvent {
public:
    using WaitResult = AutoResetEvent::WaitResult;

    // Creates the event, or opens it when it exists, and leaves it not set. Null on failure.
    static std::unique_ptr<NamedEvent> create(const std::string& name);

    // Opens an existing event. Null when there is none (or the name is not allowed).
    static std::unique_ptr<NamedEvent> open(const std::string& name);

    ~NamedEvent();
    NamedEvent(const NamedEvent&) = delete;
    NamedEvent& operator=(const NamedEvent&) = delete;

    // Signals the event; false when the semaphore could not be posted.
    bool set();

    // Waits at most timeoutMs milliseconds (kInfinite: without limit) and takes the signal.
    WaitResult wait(uint32_t timeoutMs);

    const std::string& name() const { return name_; }

private:
    NamedEvent(std::string name, void* semaphore, bool owner)
        : name_(std::move(name)), semaphore_(semaphore), owner_(owner) {}

    std::string name_;
    void* semaphore_;  // the sem_t*, kept opaque so that users need no semaphore header
    bool owner_;
};

}  // namespace platform
