// Service dispatcher: the stand-in for StartServiceCtrlDispatcherA,
// RegisterServiceCtrlHandlerA and SetServiceStatus, on systemd's notify protocol.
//
// A process runs under the service manager when systemd started it as a Type=notify service,
// that is when NOTIFY_SOCKET is set. The dispatcher runs on the process's main thread: it starts
// the service main function on a thread of its own, turns SIGTERM into the stop control and
// calls the control handler on the main thread, and returns once the service main function has
// returned. Status reports go to systemd as notify messages (sd_notify):
//
//   <assignments><state assignment>STATUS=<state> checkpoint=<n> waithint=<ms>
//   controls=<none|STOP> exitcode=<win32 exit code>[\nEXTEND_TIMEOUT_USEC=<wait hint in us>]
//
// where the assignments are what the caller adds ("READY=1\n" with RUNNING, say), the state
// assignment is "STOPPING=1\n" for STOP_PENDING and nothing otherwise, and EXTEND_TIMEOUT_USEC
// is added to pending states with a wait hint. Other messages (READY=1 once a service has
// started, a STATUS= in plain words) go out with notifyServiceManager.
//
// SIGTERM and SIGINT are the stop control. A stop is delivered only to a service that reported
// RUNNING with the stop control accepted, as the Windows service manager sends no control to a
// pending or stopped service. One that arrives earlier, while the service is starting, is held
// and delivered once the service accepts the stop; one that arrives while it is stopping or
// stopped is dropped. SIGHUP is the parameter-change control (systemd's reload): delivered to a
// RUNNING service that accepts it, dropped otherwise.
//
// Requires: startServiceCtrlDispatcher is called on the main thread before any other thread of
// the process exists (every thread must inherit the blocked SIGTERM).
#pragma once

#include <cstdint>
#include "Platform/ServiceStatus.h"

namespace platform {

using ServiceMainFunction = void (*)(int argc, char** argv);
using ServiceControlHandler = void (*)(uint32_t control);
// Null (0) when no handler is registered.
using ServiceStatusHandle = uintptr_t;

struct ServiceTableEntry {
    const char* serviceName;
    ServiceMainFunction serviceMain;
};

// Runs the first service of the table, terminated by an entry with a null name, until its main
// function returns; the main function receives the service name as argv[0] followed by
// argv[1] ... argv[argc - 1] of the process. Returns false with the last error set when the
// process has no service manager (kErrorFailedServiceControllerConnect) or the dispatcher
// cannot be set up.
bool startServiceCtrlDispatcher(const ServiceTableEntry* table, int argc, char** argv);

// Registers the control handler of the running service. Returns 0 with the last error set when
// no dispatcher runs a service of that name.
ServiceStatusHandle registerServiceCtrlHandler(const char* serviceName,
                                               ServiceControlHandler handler);

// Reports the status to the service manager, with the assignments (each ending in "\n") in front.
// Returns false with the last error set when the handle is not the registered one or the message
// cannot be sent.
bool setServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status,
                      const char* assignments = "");

// Sends one notify message of the caller's ("READY=1", "STATUS=...") to the service manager.
// Returns false with the last error set when the handle is not the registered one or the message
// cannot be sent.
bool notifyServiceManager(ServiceStatusHandle handle, const char* message);

// Tells the service manager that the service reloads its settings: "RELOADING=1" with the
// monotonic clock's time. A notifyServiceManager "READY=1" ends the reload.
bool notifyReloading(ServiceStatusHandle handle);

// The watchdog interval systemd asks for (WATCHDOG_USEC for this process; on Windows the one the
// dispatcher keeps for a service under the service control manager), in microseconds; 0 when
// there is no watchdog.
uint64_t watchdogIntervalUs();

// Whether the process was started by a service manager that the dispatcher can talk to.
bool hasServiceManager();

}  // namespace platform
