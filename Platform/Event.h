// AutoResetEvent: an unnamed auto-reset Win32 event (CreateEventA), and its Linux stand-in.
//
// Set from any thread; waited on from any thread. Any number of set() calls made while nobody
// waits leave the event signalled once, and one wait (or tryConsume) takes that signal, so each
// set releases exactly one wait. On Linux the event is backed by a descriptor that polls
// readable while it is signalled, so an event loop can wait on it together with sockets: after
// poll() reports it readable the loop calls tryConsume() to take the signal. On Windows the
// loop waits on the event's handle itself (WaitForMultipleObjects takes the signal).
#pragma once

#include <cstdint>

namespace platform {

constexpr uint32_t kInfinite = 0xFFFFFFFFu;

class AutoResetEvent {
public:
    AutoResetEvent();
    ~AutoResetEvent();
    AutoResetEvent(const AutoResetEvent&) = delete;
    AutoResetEvent& operator=(const AutoResetEvent&) = delete;

    // Signals the event.
    void set();

    enum class WaitResult { kSignalled, kTimedOut, kFailed };

    // Waits at most timeoutMs milliseconds (kInfinite: without limit) and takes the signal.
    WaitResult wait(uint32_t timeoutMs);

    // Takes the signal if the event is signalled; never blocks.
    bool tryConsume();

#ifdef _WIN32
    // The event's HANDLE. Owned by the event.
    void* nativeHandle() const { return handle_; }

private:
    void* handle_;
#else
    // A descriptor that polls readable while the event is signalled. Owned by the event.
    int pollDescriptor() const { return fd_; }

private:
    int fd_;
#endif
};

}  // namespace platform
