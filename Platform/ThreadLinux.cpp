#include <pthread.h>

#include <chrono>
#include <string>
#include <system_error>

#include "Platform/Clock.h"
#include "Platform/Event.h"
#include "Platform/Thread.h"

namespace platform {

std::unique_ptr<Thread> Thread::start(std::function<void()> body) {
    std::unique_ptr<Thread> t(new Thread());
    Thread* self = t.get();
    // The id is published before start() returns, as _beginthreadex writes it before returning.
    std::unique_lock<std::mutex> guard(self->mutex_);
    bool idKnown = false;
    try {
        self->thread_ = std::thread([self, &idKnown, body = std::move(body)] {
            {
                std::lock_guard<std::mutex> g(self->mutex_);
                self->id_ = currentThreadId();
                idKnown = true;
            }
            self->finishedChanged_.notify_all();
            body();
            {
                std::lock_guard<std::mutex> g(self->mutex_);
                self->finished_ = true;
            }
            self->finishedChanged_.notify_all();
        });
    } catch (const std::system_error&) {
        return nullptr;
    }
    self->finishedChanged_.wait(guard, [&] { return idKnown; });
    guard.unlock();
    return t;
}

Thread::~Thread() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

bool Thread::waitFinished(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> guard(mutex_);
    if (timeoutMs == kInfinite) {
        finishedChanged_.wait(guard, [this] { return finished_; });
        return true;
    }
    return finishedChanged_.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                     [this] { return finished_; });
}

void nameCurrentThread(const char* name) {
    pthread_setname_np(pthread_self(), std::string(name).substr(0, 15).c_str());
}

}  // namespace platform
