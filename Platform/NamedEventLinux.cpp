#include <fcntl.h>
#include <semaphore.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "Platform/Clock.h"
#include "Platform/NamedEvent.h"

namespace platform {

namespace {

constexpr std::size_t kMaxNameLength = 250;
// Waits are made of slices of at most this length, so that a step of the wall clock, which the
// semaphore's deadline is measured in, cannot stretch a wait by more than one slice.
constexpr uint32_t kSliceMs = 1000;

bool isAllowedName(const std::string& name) {
    return !name.empty() && name.size() <= kMaxNameLength && name.find('/') == std::string::npos;
}

sem_t* semaphoreOf(void* semaphore) {
    return static_cast<sem_t*>(semaphore);
}

timespec wallClockAfter(uint32_t ms) {
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += ms / 1000;
    deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    return deadline;
}

}  // namespace

std::unique_ptr<NamedEvent> NamedEvent::create(const std::string& name) {
    if (!isAllowedName(name)) {
        return nullptr;
    }
    sem_t* semaphore = sem_open(("/" + name).c_str(), O_CREAT, 0600, 0);
    if (semaphore == SEM_FAILED) {
        return nullptr;
    }
    while (sem_trywait(semaphore) == 0) {
    }
    return std::unique_ptr<NamedEvent>(new NamedEvent(name, semaphore, true));
}

std::unique_ptr<NamedEvent> NamedEvent::open(const std::string& name) {
    if (!isAllowedName(name)) {
        return nullptr;
    }
    sem_t* semaphore = sem_open(("/" + name).c_str(), 0);
    if (semaphore == SEM_FAILED) {
        return nullptr;
    }
    return std::unique_ptr<NamedEvent>(new NamedEvent(name, semaphore, false));
}

NamedEvent::~NamedEvent() {
    sem_close(semaphoreOf(semaphore_));
    if (owner_) {
        sem_unlink(("/" + name_).c_str());
    }
}

bool NamedEvent::set() {
    // Two processes setting at the same moment may both see 0 and leave a count of 2; the
    // waiter then finds the event set once more, which a stop request tolerates.
    int value = 0;
    if (sem_getvalue(semaphoreOf(semaphore_), &value) == 0 && value > 0) {
        return true;
    }
    return sem_post(semaphoreOf(semaphore_)) == 0;
}

NamedEvent::WaitResult NamedEvent::wait(uint32_t timeoutMs) {
    const uint32_t started = tickCount();
    for (;;) {
        uint32_t slice = kSliceMs;
        if (timeoutMs != kInfinite) {
            const uint32_t elapsed = tickCount() - started;
            if (elapsed >= timeoutMs) {
                return sem_trywait(semaphoreOf(semaphore_)) == 0 ? WaitResult::kSignalled
                                                                 : WaitResult::kTimedOut;
            }
            slice = std::min(slice, timeoutMs - elapsed);
        }
        const timespec deadline = wallClockAfter(slice);
        if (sem_timedwait(semaphoreOf(semaphore_), &deadline) == 0) {
            return WaitResult::kSignalled;
        }
        if (errno != ETIMEDOUT && errno != EINTR) {
            return WaitResult::kFailed;
        }
    }
}

}  // namespace platform
