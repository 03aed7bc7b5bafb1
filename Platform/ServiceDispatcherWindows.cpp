// The service control manager's own dispatcher. StartServiceCtrlDispatcherA runs on the main
// thread and starts the service main function on a thread of its own; the control handler is
// called on the main thread. The service control manager sends a stop only to a service that
// accepts it, and refuses it (1061) to the one asking while the service is starting, so nothing
// is held here. The systemd notify messages READY=1, STATUS= and RELOADING=1 have no
// counterpart: the status record tells the service control manager everything it takes.
//
// The watchdog, which Windows lacks, is kept here: the first "WATCHDOG=1" of a service under the
// service control manager arms it, a stop disarms it, and when no other follows within the
// interval (the DWORD "WatchdogSeconds" under the service's Parameters key,
// kDefaultWatchdogSeconds without one, 0 for none) the service reports STOPPED with
// ERROR_TIMEOUT and its process ends with that code, so that the recovery actions that -install
// sets restart it.
#include "Platform/ServiceDispatcher.h"

#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Platform/SystemLog.h"

namespace platform {

namespace {

// The one service this process runs, and its arguments (the service name, the process's own
// arguments and a null), for the service main function that the dispatcher starts.
const ServiceTableEntry* dispatchedService = nullptr;
std::vector<char*> serviceArguments;
ServiceControlHandler controlHandler = nullptr;
SERVICE_STATUS_HANDLE registeredHandle = nullptr;

void WINAPI runServiceMain(DWORD, LPSTR*) {
    dispatchedService->serviceMain(static_cast<int>(serviceArguments.size() - 1),
                                   serviceArguments.data());
}

// The status of the service was just reported with the last SetServiceStatus, so an
// interrogation needs nothing from the service.
DWORD WINAPI handleControl(DWORD control, DWORD, void*, void*) {
    if (control != SERVICE_CONTROL_INTERROGATE) {
        controlHandler(control);
    }
    return NO_ERROR;
}

// As WatchdogSec= in the systemd unit that -install writes on Linux.
constexpr DWORD kDefaultWatchdogSeconds = 30;

std::atomic<ULONGLONG> lastWatchdogPingMs{0};
// Set once the service stops: a slow stop is not a stall, and a stop must not become a failure
// that the recovery actions answer with a restart.
std::atomic<bool> watchdogDisarmed{false};
std::once_flag watchdogArmed;

DWORD watchdogSeconds() {
    const std::string key = std::string("SYSTEM\\CurrentControlSet\\Services\\") +
                            dispatchedService->serviceName + "\\Parameters";
    DWORD seconds = 0;
    DWORD size = sizeof seconds;
    const LSTATUS result = RegGetValueA(HKEY_LOCAL_MACHINE, key.c_str(), "WatchdogSeconds",
                                        RRF_RT_REG_DWORD, nullptr, &seconds, &size);
    return result == ERROR_SUCCESS ? seconds : kDefaultWatchdogSeconds;
}

[[noreturn]] void endStalledService(DWORD seconds) {
    const std::string text = "No sign of progress for " + std::to_string(seconds) +
                             " seconds: the service's event loop or supervision thread is stuck. "
                             "The service ends with a failure, so that its recovery actions "
                             "restart it.";
    reportEvent(dispatchedService->serviceName, kEventLogErrorType, text.c_str(), nullptr, 0);
    SERVICE_STATUS stopped{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, ERROR_TIMEOUT, 0, 0, 0};
    SetServiceStatus(registeredHandle, &stopped);
    // Not ExitProcess, which would run the other threads' clean-up while one of them is stuck.
    TerminateProcess(GetCurrentProcess(), ERROR_TIMEOUT);
    std::abort();
}

// Checks four times per interval whether the last ping is older than the interval.
void watchWatchdog(DWORD seconds) {
    const ULONGLONG intervalMs = static_cast<ULONGLONG>(seconds) * 1000;
    for (;;) {
        Sleep(static_cast<DWORD>(intervalMs / 4 > 0 ? intervalMs / 4 : 1));
        if (watchdogDisarmed.load()) {
            return;
        }
        if (GetTickCount64() - lastWatchdogPingMs.load() > intervalMs) {
            endStalledService(seconds);
        }
    }
}

void feedWatchdog() {
    lastWatchdogPingMs.store(GetTickCount64());
    std::call_once(watchdogArmed, [] {
        if (const DWORD seconds = watchdogSeconds(); seconds > 0) {
            std::thread(watchWatchdog, seconds).detach();
        }
    });
}

// The executable name of the process that started this one; empty when unknown.
std::string parentProgram() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return std::string();
    }
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    const DWORD self = GetCurrentProcessId();
    DWORD parent = 0;
    for (BOOL more = Process32First(snapshot, &entry); more && parent == 0;
         more = Process32Next(snapshot, &entry)) {
        if (entry.th32ProcessID == self) {
            parent = entry.th32ParentProcessID;
        }
    }
    std::string name;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more && parent != 0 && name.empty();
         more = Process32Next(snapshot, &entry)) {
        if (entry.th32ProcessID == parent) {
            name = entry.szExeFile;
        }
    }
    CloseHandle(snapshot);
    return name;
}

}  // namespace

bool startServiceCtrlDispatcher(const ServiceTableEntry* table, int argc, char** argv) {
    if (table == nullptr || table[0].serviceName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    dispatchedService = table;
    serviceArguments.assign(1, const_cast<char*>(table[0].serviceName));
    for (int i = 1; i < argc; ++i) {
        serviceArguments.push_back(argv[i]);
    }
    serviceArguments.push_back(nullptr);
    SERVICE_TABLE_ENTRYA windowsTable[] = {
        {const_cast<char*>(table[0].serviceName), runServiceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherA(windowsTable) != FALSE;
}

ServiceStatusHandle registerServiceCtrlHandler(const char* serviceName,
                                               ServiceControlHandler handler) {
    if (dispatchedService == nullptr ||
        std::strcmp(serviceName, dispatchedService->serviceName) != 0) {
        SetLastError(ERROR_SERVICE_NOT_IN_EXE);
        return 0;
    }
    controlHandler = handler;
    registeredHandle = RegisterServiceCtrlHandlerExA(serviceName, handleControl, nullptr);
    return reinterpret_cast<ServiceStatusHandle>(registeredHandle);
}

bool setServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status, const char*) {
    if (status.currentState == SERVICE_STOP_PENDING || status.currentState == SERVICE_STOPPED) {
        watchdogDisarmed.store(true);
    }
    SERVICE_STATUS record{status.serviceType,
                          status.currentState,
                          status.controlsAccepted,
                          status.win32ExitCode,
                          status.serviceSpecificExitCode,
                          status.checkPoint,
                          status.waitHint};
    return SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(handle), &record) != FALSE;
}

bool notifyServiceManager(ServiceStatusHandle handle, const char* message) {
    if (handle == 0 || reinterpret_cast<SERVICE_STATUS_HANDLE>(handle) != registeredHandle) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if (std::strcmp(message, "WATCHDOG=1") == 0) {
        feedWatchdog();
    }
    return true;
}

bool notifyReloading(ServiceStatusHandle handle) {
    return notifyServiceManager(handle, "");
}

uint64_t watchdogIntervalUs() {
    if (dispatchedService == nullptr || registeredHandle == nullptr) {
        return 0;
    }
    return static_cast<uint64_t>(watchdogSeconds()) * 1000000;
}

// The service control manager starts every service process from services.exe.
bool hasServiceManager() {
    static const bool started = [] {
        const std::string parent = parentProgram();
        return _stricmp(parent.c_str(), "services.exe") == 0;
    }();
    return started;
}

}  // namespace platform
