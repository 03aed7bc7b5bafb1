#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "Platform/Event.h"
#include "Platform/PollDeadlineLinux.h"

namespace platform {

// A non-semaphore eventfd: every write adds to the counter, one read returns it and resets it
// to zero. That is exactly the auto-reset rule: many sets, one release.
AutoResetEvent::AutoResetEvent() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (fd_ < 0) {
        throw std::system_error(errno, std::generic_category(), "eventfd");
    }
}

AutoResetEvent::~AutoResetEvent() {
    close(fd_);
}

void AutoResetEvent::set() {
    uint64_t one = 1;
    while (write(fd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

bool AutoResetEvent::tryConsume() {
    uint64_t value = 0;
    ssize_t n;
    do {
        n = read(fd_, &value, sizeof value);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(sizeof value);
}

AutoResetEvent::WaitResult AutoResetEvent::wait(uint32_t timeoutMs) {
    const PollDeadline deadline(timeoutMs);
    for (;;) {
        if (tryConsume()) {
            return WaitResult::kSignalled;
        }
        const int remaining = deadline.remainingMs();
        if (remaining == 0) {
            return WaitResult::kTimedOut;
        }
        pollfd p{fd_, POLLIN, 0};
        // Another waiter may take the signal between poll and read; the loop then waits again.
        if (poll(&p, 1, remaining) < 0 && errno != EINTR) {
            return WaitResult::kFailed;
        }
    }
}

}  // namespace platform
