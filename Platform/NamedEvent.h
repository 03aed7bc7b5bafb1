// NamedEvent: the stand-in for a named auto-reset kernel event such as "AtmnStop", which any
// process of the same user can set to release a waiter in another process.
//
// On Linux the event "<name>" is the file <directory>/<name>: a process-shared semaphore and the
// number of the process that made it, mode 0600, in a directory that only this process's user
// may change, so that no other local user can take the name first. The directory is the unit's
// runtime directory ($RUNTIME_DIRECTORY, /run/kriatmnsvc) under systemd and, in a process run
// outside the unit, /dev/shm/kriatmnsvc-<uid>, made 0700 on first use; create refuses one that
// is a link, belongs to someone else or is writable by others. Exactly one process owns the
// event: create makes it exclusively and holds an advisory lock on its file for as long as the
// process keeps it. Other processes of the same user and environment open it (open) and set it.
// create refuses a file it finds that is not a regular file of the right size, of this
// process's effective user and of mode 0600, and one whose lock is held (another process owns
// the event; the refusal names that process); a file of its own that nobody holds is left from
// an earlier run that ended without removing it, and create replaces it. A process outside the
// unit also refuses to create the event while the unit's service holds its own in
// /run/kriatmnsvc, so that a console run does not become a second instance beside the service.
// The owner removes the name when the object is destroyed or, at the latest, when the process
// exits (exit or a return from main; a child forked from the owner leaves it alone); after that
// open fails, as opening a Windows event that nobody holds does.
//
// Setting an event that is already set leaves it set once, and one wait takes the signal.
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

    // Creates the event, not set, as its only owner. Null on failure, with the reason (naming
    // the file) in *refusal when refusal is not null.
    static std::unique_ptr<NamedEvent> create(const std::string& name,
                                              std::string* refusal = nullptr);

    // Opens an existing event. Null when there is none, when its file is not a semaphore's, or
    // when the name is not allowed.
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
    NamedEvent(std::string name, void* semaphore, int lockFd)
        : name_(std::move(name)), semaphore_(semaphore), lockFd_(lockFd) {}

    std::string name_;
    void* semaphore_;  // the mapped sem_t, kept opaque so that users need no semaphore header
    int lockFd_;       // the owner's locked descriptor of the file; -1 in a process that opened it
};

}  // namespace platform
