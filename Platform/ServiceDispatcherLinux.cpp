#include <poll.h>
#include <pthread.h>
#include <sys/signalfd.h>
#include <systemd/sd-daemon.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "Platform/ControlSignalsLinux.h"
#include "Platform/Event.h"
#include "Platform/LastError.h"
#include "Platform/ServiceDispatcher.h"
#include "Platform/Thread.h"

namespace platform {

namespace {

constexpr ServiceStatusHandle kRegisteredHandle = 1;

// What the dispatcher of the running service shares with the service's threads. It lives on
// the dispatcher's stack; `active` points to it while the dispatcher runs.
struct Dispatcher {
    explicit Dispatcher(const char* name) : serviceName(name) {}

    const char* serviceName;
    ServiceControlHandler handler = nullptr;
    ServiceStatus reported;
    AutoResetEvent statusReported;
    AutoResetEvent serviceMainReturned;
};

std::mutex dispatcherMutex;
Dispatcher* active = nullptr;

const char* stateName(uint32_t state) {
    switch (state) {
        case kServiceStopped:
            return "STOPPED";
        case kServiceStartPending:
            return "START_PENDING";
        case kServiceStopPending:
            return "STOP_PENDING";
        case kServiceRunning:
            return "RUNNING";
        default:
            return "UNKNOWN";
    }
}

bool isPending(uint32_t state) {
    return state == kServiceStartPending || state == kServiceStopPending;
}

bool acceptsStopNow(const ServiceStatus& s) {
    return s.currentState == kServiceRunning && (s.controlsAccepted & kServiceAcceptStop) != 0;
}

bool stopIsOver(const ServiceStatus& s) {
    return s.currentState == kServiceStopPending || s.currentState == kServiceStopped;
}

struct QueuedSignals {
    bool stop = false;
    bool reload = false;
};

// Reads every queued signal.
QueuedSignals drainSignals(int signalFd) {
    QueuedSignals queued;
    signalfd_siginfo info;
    while (read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        if (info.ssi_signo == SIGHUP) {
            queued.reload = true;
        } else {
            queued.stop = true;
        }
    }
    return queued;
}

bool acceptsReloadNow(const ServiceStatus& s) {
    return s.currentState == kServiceRunning &&
           (s.controlsAccepted & kServiceAcceptParamChange) != 0;
}

// Serves signals and status reports until the service main function has returned.
void serveControls(Dispatcher& d, int signalFd) {
    bool stopHeld = false;
    for (;;) {
        pollfd fds[3] = {{signalFd, POLLIN, 0},
                         {d.statusReported.pollDescriptor(), POLLIN, 0},
                         {d.serviceMainReturned.pollDescriptor(), POLLIN, 0}};
        if (poll(fds, 3, -1) < 0 && errno != EINTR) {
            d.serviceMainReturned.wait(kInfinite);
            return;
        }
        if (d.serviceMainReturned.tryConsume()) {
            return;
        }
        const QueuedSignals queued = drainSignals(signalFd);
        stopHeld = queued.stop || stopHeld;
        d.statusReported.tryConsume();
        ServiceStatus now;
        ServiceControlHandler handler;
        {
            std::lock_guard<std::mutex> g(dispatcherMutex);
            now = d.reported;
            handler = d.handler;
        }
        if (stopHeld && stopIsOver(now)) {
            stopHeld = false;
        } else if (stopHeld && handler != nullptr && acceptsStopNow(now)) {
            stopHeld = false;
            handler(kServiceControlStop);
        } else if (queued.reload && handler != nullptr && acceptsReloadNow(now)) {
            handler(kServiceControlParamChange);
        }
    }
}

// The message that setServiceStatus sends for a status.
std::string notifyMessage(const ServiceStatus& status, const char* assignments) {
    std::string message = assignments;
    if (status.currentState == kServiceStopPending) {
        message += "STOPPING=1\n";
    }
    const bool acceptsStop = (status.controlsAccepted & kServiceAcceptStop) != 0;
    message += "STATUS=" + std::string(stateName(status.currentState)) +
               " checkpoint=" + std::to_string(status.checkPoint) +
               " waithint=" + std::to_string(status.waitHint) +
               " controls=" + (acceptsStop ? "STOP" : "none") +
               " exitcode=" + std::to_string(status.win32ExitCode);
    if (isPending(status.currentState) && status.waitHint > 0) {
        message += "\nEXTEND_TIMEOUT_USEC=" + std::to_string(uint64_t{status.waitHint} * 1000);
    }
    return message;
}

}  // namespace

bool hasServiceManager() {
    const char* notifySocket = std::getenv("NOTIFY_SOCKET");
    return notifySocket != nullptr && *notifySocket != '\0';
}

uint64_t watchdogIntervalUs() {
    uint64_t interval = 0;
    return sd_watchdog_enabled(0, &interval) > 0 ? interval : 0;
}

bool startServiceCtrlDispatcher(const ServiceTableEntry* table, int argc, char** argv) {
    if (!hasServiceManager()) {
        setLastError(kErrorFailedServiceControllerConnect);
        return false;
    }
    if (table == nullptr || table[0].serviceName == nullptr || table[0].serviceMain == nullptr) {
        setLastError(kErrorInvalidParameter);
        return false;
    }

    // Blocked before the service thread starts, so that every thread of the service inherits
    // the block and the control signals reach only the signal descriptor.
    const sigset_t signals = controlSignals();
    sigset_t previousMask;
    pthread_sigmask(SIG_BLOCK, &signals, &previousMask);
    const int signalFd = signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signalFd < 0) {
        setLastError(static_cast<uint32_t>(errno));
        pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
        return false;
    }

    Dispatcher d(table[0].serviceName);
    {
        std::lock_guard<std::mutex> g(dispatcherMutex);
        active = &d;
    }
    std::vector<char*> parameters;
    parameters.push_back(const_cast<char*>(table[0].serviceName));
    for (int i = 1; i < argc; ++i) {
        parameters.push_back(argv[i]);
    }
    parameters.push_back(nullptr);
    const ServiceMainFunction serviceMain = table[0].serviceMain;
    std::unique_ptr<Thread> serviceThread = Thread::start([&] {
        serviceMain(static_cast<int>(parameters.size() - 1), parameters.data());
        d.serviceMainReturned.set();
    });
    const bool started = serviceThread != nullptr;
    if (started) {
        serveControls(d, signalFd);
        serviceThread.reset();
    }
    {
        std::lock_guard<std::mutex> g(dispatcherMutex);
        active = nullptr;
    }
    close(signalFd);
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    if (!started) {
        setLastError(static_cast<uint32_t>(EAGAIN));
    }
    return started;
}

ServiceStatusHandle registerServiceCtrlHandler(const char* serviceName,
                                               ServiceControlHandler handler) {
    std::lock_guard<std::mutex> g(dispatcherMutex);
    if (active == nullptr) {
        setLastError(kErrorFailedServiceControllerConnect);
        return 0;
    }
    if (serviceName == nullptr || std::strcmp(serviceName, active->serviceName) != 0) {
        setLastError(kErrorServiceNotInExe);
        return 0;
    }
    active->handler = handler;
    return kRegisteredHandle;
}

namespace {

// Sends one notify message for the registered handle. Requires: dispatcherMutex is held.
bool sendLocked(ServiceStatusHandle handle, const std::string& message) {
    if (active == nullptr || handle != kRegisteredHandle) {
        setLastError(kErrorInvalidHandle);
        return false;
    }
    const int sent = sd_notify(0, message.c_str());
    if (sent <= 0) {
        setLastError(sent < 0 ? static_cast<uint32_t>(-sent)
                              : kErrorFailedServiceControllerConnect);
        return false;
    }
    return true;
}

}  // namespace

bool setServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status,
                      const char* assignments) {
    std::lock_guard<std::mutex> g(dispatcherMutex);
    if (!sendLocked(handle, notifyMessage(status, assignments))) {
        return false;
    }
    active->reported = status;
    active->statusReported.set();
    return true;
}

bool notifyServiceManager(ServiceStatusHandle handle, const char* message) {
    std::lock_guard<std::mutex> g(dispatcherMutex);
    return sendLocked(handle, message);
}

bool notifyReloading(ServiceStatusHandle handle) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t microseconds =
        static_cast<uint64_t>(now.tv_sec) * 1000000 + static_cast<uint64_t>(now.tv_nsec) / 1000;
    std::lock_guard<std::mutex> g(dispatcherMutex);
    return sendLocked(handle, "RELOADING=1\nMONOTONIC_USEC=" + std::to_string(microseconds));
}

}  // namespace platform
