// W32Service: the base class of a program that runs as a service.
//
// The application derives one class from it, constructs one instance in main (a second
// instance ends the process) and calls execute() with the process's arguments. execute()
// installs or removes the service, runs it in the console ("-debug"), or hands the process to
// the service dispatcher, which calls serviceMain() on a thread of its own and serviceCtrl() on
// the main thread. The subclass supplies init() and run(), which run on one thread, and stop(),
// which arrives on another thread while run() is blocked and must make it return.
//
// The platform's callbacks (serviceMain, serviceCtrl, consoleCtrl) reach the object through the
// process-wide instance, which stays registered for the life of the process.
//
// The process's exit status tells the outcome: 0 when the command did what it was asked or the
// service ran and stopped on request, kExitConfiguration (78) when init or run returned it (a
// configuration that a restart cannot mend, which the unit does not restart), 1 when installing
// or removing did not fully work (or -install had an argument other than -auto), init or run
// failed otherwise, or the dispatcher could not start. A failed init or run is also the exit
// code of the last stopped report. Under a service manager the service counts as started
// ("READY=1") when RUNNING is reported, unless the subclass says in readyOnRunning() that it
// reports its start itself with reportReady().
// Requires: execute() is called on the main thread before the process starts other threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "KRIString.h"
#include "Platform/ServiceControlManager.h"
#include "Platform/ServiceDispatcher.h"
#include "Platform/ServiceStatus.h"
#include "Platform/SystemLog.h"
#include "ThreadLock.h"

class W32Service {
public:
    W32Service(const KRIString& serviceName, const KRIString& displayName,
               const KRIString& dependencies);
    virtual ~W32Service();
    W32Service(const W32Service&) = delete;
    W32Service& operator=(const W32Service&) = delete;

    // What init or run returns for a configuration the service cannot use: sysexits' EX_CONFIG,
    // also the process's exit status.
    static constexpr int kExitConfiguration = 78;

    // Prepares the service; 0 is success, anything else a failure code.
    virtual int init(int argc, char** argv);
    // Does the work; returns once stop() has been called or the work has ended. 0 is success,
    // anything else a failure code.
    virtual int run(int argc, char** argv) = 0;
    // Makes run() return; called on another thread than run().
    virtual int stop() = 0;
    // Re-reads the settings while run() serves (systemd's reload); called on the control thread
    // when acceptsReload() and the service is RUNNING. Calls reportReloaded() once done, on any
    // thread. Does nothing by default.
    virtual void reload() {}

    // Decides from argv[1] what the process does (see the README for the command line) and
    // ends the process with its exit status.
    [[noreturn]] void execute(int argc, char** argv);

    // Each returns whether it fully worked. automaticStart installs the service to start by
    // itself (delayed) at boot instead of by hand.
    bool installService(bool automaticStart = false);
    bool removeService();
    // Runs init() and run() on the calling thread, with Ctrl+C and Ctrl+Break calling stop().
    // init's failure code, or run's result.
    int debugService(int argc, char** argv);

    // The service main function: argv[0] is the service name.
    static void serviceMain(int argc, char** argv);
    static void serviceCtrl(uint32_t control);
    static bool consoleCtrl(uint32_t ctrlType);

    // Reports a state with the next check point where one is due; does nothing in debug mode.
    bool setStatus(uint32_t state, uint32_t win32ExitCode, uint32_t waitHint);
    // Writes one event-log record of the type (platform::kEventLogErrorType, ...); message becomes
    // "\n\n" followed by the message. The event id has no counterpart in the system log. Does
    // nothing in debug mode.
    void reportEvent(KRIString& message, uint16_t type, uint32_t eventId, const void* rawData,
                     uint32_t rawDataSize);
    // The text of the calling thread's last platform error as "<text> (0x<number>)", or the
    // empty text when there is none or it needs more than size - 14 characters.
    char* lastErrorText(char* buffer, int size);

protected:
    // Whether the service counts as started as soon as it reports RUNNING. A service that has
    // more to do in run() before it serves returns false and calls reportReady() once it does.
    virtual bool readyOnRunning() const { return true; }
    // Whether reload() does anything; RUNNING then accepts the parameter-change control.
    virtual bool acceptsReload() const { return false; }
    // Tells the service manager that the service has started; does nothing in debug mode.
    void reportReady();
    // Tells the service manager that a reload has ended; does nothing in debug mode.
    void reportReloaded() { reportReady(); }
    // Sends one notify message of the service's own ("STATUS=...", "WATCHDOG=1"); does nothing
    // in debug mode. Callable from any thread once the service runs.
    void notifyServiceManager(const std::string& message);

    KRIString serviceName;
    KRIString displayName;
    KRIString dependencies;
    platform::ServiceStatus status;
    platform::ServiceStatusHandle statusHandle = 0;
    int32_t debugMode = 0;
    uint32_t exitCode = 0;
    char errorText[256] = {};
    // The systemd unit that installService writes (see platform::ServiceConfig::unitTemplate);
    // a subclass sets it in its constructor. Null for the plain unit.
    const char* unitTemplate = nullptr;

private:
    static void print(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
    // The service control manager, or null after printing why it cannot be opened.
    std::unique_ptr<platform::ServiceControlManager> openManager();
    static int exitStatusOf(int result) {
        return result == 0 || result == kExitConfiguration ? result : 1;
    }

    // The service thread and the dispatcher thread both report states.
    ThreadLock statusLock;

    static W32Service* instance;
    static std::atomic<uint32_t> checkPoint;
};
