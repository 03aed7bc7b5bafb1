// PollDeadline: the time-out of a wait made of several poll() calls, counted from one start.
//
// Internal to the Linux stand-in; a value owned by the waiting function, used on its thread.
// A wait polls again after an interruption or a lost race, and each poll gets only what is left
// of the whole time-out; poll() takes an int, so a longer rest is given in steps of at most
// INT_MAX milliseconds.
#pragma once

#include <climits>
#include <cstdint>

#include "Platform/Clock.h"
#include "Platform/Event.h"

namespace platform {

class PollDeadline {
public:
    // timeoutMs: kInfinite for no limit.
    explicit PollDeadline(uint32_t timeoutMs) : timeoutMs_(timeoutMs), started_(tickCount64()) {}

    // The time-out for the next poll(): -1 without limit, 0 once the time has run out.
    int remainingMs() const {
        if (timeoutMs_ == kInfinite) {
            return -1;
        }
        const uint64_t elapsed = tickCount64() - started_;
        if (elapsed >= timeoutMs_) {
            return 0;
        }
        const uint64_t rest = timeoutMs_ - elapsed;
        return rest > INT_MAX ? INT_MAX : static_cast<int>(rest);
    }

private:
    uint32_t timeoutMs_;
    uint64_t started_;
};

}  // namespace platform
