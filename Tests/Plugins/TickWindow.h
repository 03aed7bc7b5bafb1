// TickWindow: the Windows part of libKriTestTicker, apart from its COM part because Windows'
// headers define names that the platform's COM header declares. A message-only window made on
// the calling thread: post, from any thread, queues a number that the window's procedure hands
// to onTick on the creating thread, once that thread dispatches its messages.
#pragma once

#include <cstdint>
#include <functional>

class TickWindow {
public:
    // On the thread that is to receive the ticks.
    explicit TickWindow(std::function<void(int32_t)> onTick);
    // On the creating thread.
    ~TickWindow();
    TickWindow(const TickWindow&) = delete;
    TickWindow& operator=(const TickWindow&) = delete;

    bool made() const { return window_ != nullptr; }
    void post(int32_t number);

private:
    std::function<void(int32_t)> onTick_;
    void* window_ = nullptr;
};
