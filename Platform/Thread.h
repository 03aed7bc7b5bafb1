// Thread: a thread made with _beginthreadex and waited on through its handle (Windows), or its
// stand-in on std::thread (Linux).
//
// Owned by whoever starts it (BaseThread). A timed wait for the body to finish can be repeated
// any number of times from any thread; the operating-system join (on Windows: closing the
// handle) happens once, in the destructor, which therefore waits for a body that is still
// running.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace platform {

class Thread {
public:
    // Starts body on a new thread. Returns null when the thread cannot be created.
    static std::unique_ptr<Thread> start(std::function<void()> body);

    ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Waits at most timeoutMs milliseconds (kInfinite: without limit) for the body to return.
    // Returns true when it has returned.
    bool waitFinished(uint32_t timeoutMs);

    // The kernel thread id of the started thread; valid once start() has returned.
    uint32_t id() const { return id_; }

private:
    Thread() = default;

#ifdef _WIN32
    std::function<void()> body_;
    void* handle_ = nullptr;  // the thread's HANDLE
    uint32_t id_ = 0;
#else
    std::mutex mutex_;
    std::condition_variable finishedChanged_;
    bool finished_ = false;
    uint32_t id_ = 0;
    std::thread thread_;
#endif
};

// Names the calling thread for the operating system's tools (top -H, ps -L, a debugger, the
// thread's description on Windows). Linux keeps the first 15 characters.
void nameCurrentThread(const char* name);

}  // namespace platform
