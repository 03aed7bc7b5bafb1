#include "W32Service.h"

#include <cctype>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "Platform/ConsoleControl.h"
#include "Platform/LastError.h"
#include "Platform/Module.h"
#include "Platform/ServiceControlManager.h"
#include "Platform/SystemLog.h"

W32Service* W32Service::instance = nullptr;
std::atomic<uint32_t> W32Service::checkPoint{1};

namespace {

bool equalsIgnoringCase(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (std::tolower(static_cast<unsigned char>(*a)) !=
            std::tolower(static_cast<unsigned char>(*b))) {
            return false;
        }
    }
    return *a == *b;
}

}  // namespace

W32Service::W32Service(const KRIString& serviceName, const KRIString& displayName,
                       const KRIString& dependencies)
    : serviceName(serviceName), displayName(displayName), dependencies(dependencies) {
    if (instance != nullptr) {
        KRIString message(
            "Unable to create multiple instances of W32Service in a single application");
        reportEvent(message, platform::kEventLogErrorType, 0, nullptr, 0);
        std::exit(0);
    }
    instance = this;
    debugMode = 0;
    exitCode = 0;
}

W32Service::~W32Service() = default;

int W32Service::init(int, char**) {
    return 0;
}

void W32Service::print(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::vprintf(fmt, args);
    va_end(args);
    std::fflush(stdout);
}

void W32Service::execute(int argc, char** argv) {
    const platform::ServiceTableEntry dispatchTable[] = {{serviceName.c_str(), serviceMain},
                                                         {nullptr, nullptr}};
    if (argc > 1 && (argv[1][0] == '-' || argv[1][0] == '/')) {
        const char* word = argv[1] + 1;
        if (equalsIgnoringCase(word, "install")) {
            const bool automatic = argc == 3 && (argv[2][0] == '-' || argv[2][0] == '/') &&
                                   equalsIgnoringCase(argv[2] + 1, "auto");
            if (argc > 2 && !automatic) {
                print("Unexpected argument \"%s\": -install takes only -auto\n", argv[2]);
                std::exit(1);
            }
            std::exit(installService(automatic) ? 0 : 1);
        }
        if (equalsIgnoringCase(word, "remove")) {
            std::exit(removeService() ? 0 : 1);
        }
        if (equalsIgnoringCase(word, "debug")) {
            debugMode = 1;
            std::exit(exitStatusOf(debugService(argc, argv)));
        }
    }
    // Under a service manager the usage would only fill the journal at every start.
    if (!platform::hasServiceManager()) {
        const char* program = argc > 0 ? argv[0] : "";
        print("%s -install          to install the service\n", program);
        print("%s -remove           to remove the service\n", program);
        print("%s -debug <params>   to run as a console app for debugging\n", program);
        print("\nStartServiceCtrlDispatcher being called.\n");
        print("This may take several seconds.  Please wait.\n");
    }
    if (!platform::startServiceCtrlDispatcher(dispatchTable, argc, argv)) {
        KRIString message;
        message.format("StartServiceCtrlDispatcher() failed with error code %d",
                       static_cast<int>(platform::lastError()));
        reportEvent(message, platform::kEventLogErrorType, 0, nullptr, 0);
        std::exit(1);
    }
    // The service thread has ended; a start-up step of the service that never returned is not
    // waited for.
    std::exit(exitStatusOf(static_cast<int>(exitCode)));
}

std::unique_ptr<platform::ServiceControlManager> W32Service::openManager() {
    std::unique_ptr<platform::ServiceControlManager> manager =
        platform::ServiceControlManager::open();
    if (!manager) {
        print("OpenSCManager failed - %s\n", lastErrorText(errorText, sizeof errorText));
    }
    return manager;
}

bool W32Service::installService(bool automaticStart) {
    char path[512];
    if (platform::moduleFileName(path, sizeof path) == 0) {
        print("Unable to install %s - %s\n", displayName.c_str(),
              lastErrorText(errorText, sizeof errorText));
        return false;
    }
    const std::unique_ptr<platform::ServiceControlManager> manager = openManager();
    if (!manager) {
        return false;
    }
    const platform::ServiceConfig config{
        serviceName.c_str(),
        displayName.c_str(),
        platform::kServiceWin32OwnProcess,
        automaticStart ? platform::kServiceAutoStart : platform::kServiceDemandStart,
        platform::kServiceErrorNormal,
        path,
        dependencies.c_str(),
        unitTemplate};
    const std::unique_ptr<platform::InstalledService> service = manager->createService(config);
    if (!service) {
        print("CreateService failed - %s\n", lastErrorText(errorText, sizeof errorText));
        return false;
    }
    // Both settings refine the recovery and the start; without them the service still runs.
    if (!service->restartAfterFailureExit()) {
        print("Warning: a stop with a failure code will not restart %s, only a crash will - %s\n",
              displayName.c_str(), lastErrorText(errorText, sizeof errorText));
    }
    if (automaticStart && !service->delayAutomaticStart()) {
        print("Warning: %s starts among the automatic services, not delayed - %s\n",
              displayName.c_str(), lastErrorText(errorText, sizeof errorText));
    }
    print("%s installed.\n", displayName.c_str());
    return true;
}

bool W32Service::removeService() {
    if (const std::string unit = platform::ServiceControlManager::packageUnit(serviceName.c_str());
        !unit.empty()) {
        print(
            "%s was installed by a package (%s): stop and disable it with\n"
            "  systemctl disable --now %s\n"
            "and remove the package with the package manager (dpkg -S %s names it).\n",
            displayName.c_str(), unit.c_str(), serviceName.c_str(), unit.c_str());
        return false;
    }
    const std::unique_ptr<platform::ServiceControlManager> manager = openManager();
    if (!manager) {
        return false;
    }
    std::unique_ptr<platform::InstalledService> service = manager->openService(serviceName.c_str());
    if (!service) {
        print("OpenService failed - %s\n", lastErrorText(errorText, sizeof errorText));
        return false;
    }
    bool stopped = true;
    if (service->control(platform::kServiceControlStop, status)) {
        print("Stopping %s.", displayName.c_str());
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        while (service->queryStatus(status) &&
               status.currentState == platform::kServiceStopPending) {
            print(".");
            std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        }
        stopped = status.currentState == platform::kServiceStopped;
        if (stopped) {
            print("\n%s stopped.\n", displayName.c_str());
        } else {
            print("\n%s failed to stop.\n", displayName.c_str());
        }
    }
    if (!service->remove()) {
        print("DeleteService failed - %s\n", lastErrorText(errorText, sizeof errorText));
        return false;
    }
    print("%s removed.\n", displayName.c_str());
    return stopped;
}

int W32Service::debugService(int argc, char** argv) {
    print("Debugging %s.\n", displayName.c_str());
    platform::setConsoleCtrlHandler(consoleCtrl, true);
    const int r = init(argc, argv);
    if (r != 0) {
        return r;
    }
    return run(argc, argv);
}

void W32Service::serviceMain(int argc, char** argv) {
    W32Service* self = instance;
    {
        std::lock_guard<ThreadLock> guard(self->statusLock);
        self->statusHandle =
            platform::registerServiceCtrlHandler(self->serviceName.c_str(), serviceCtrl);
        if (self->statusHandle == 0) {
            return;
        }
        self->status.serviceType = platform::kServiceWin32OwnProcess;
        self->status.serviceSpecificExitCode = 0;
    }
    if (self->setStatus(platform::kServiceStartPending, 0, 3000)) {
        const int r = self->init(argc, argv);
        if (r == 0) {
            self->setStatus(platform::kServiceRunning, 0, 0);
            self->exitCode = static_cast<uint32_t>(self->run(argc, argv));
        } else {
            self->exitCode = static_cast<uint32_t>(r);
            self->setStatus(platform::kServiceStopped, self->exitCode, 0);
        }
    } else {
        self->exitCode = 1;
    }
    self->setStatus(platform::kServiceStopped, self->exitCode, 0);
}

void W32Service::reportReady() {
    notifyServiceManager("READY=1");
}

void W32Service::notifyServiceManager(const std::string& message) {
    if (!debugMode) {
        platform::notifyServiceManager(statusHandle, message.c_str());
    }
}

void W32Service::serviceCtrl(uint32_t control) {
    W32Service* self = instance;
    if (control == platform::kServiceControlStop) {
        self->setStatus(platform::kServiceStopPending, 0, 0);
        self->stop();
        return;
    }
    if (control == platform::kServiceControlParamChange && self->acceptsReload()) {
        platform::notifyReloading(self->statusHandle);
        self->reload();
        return;
    }
    // Recorded only for controls out of the ordinary: a stop is in the journal already.
    KRIString message("in serviceCtrl()");
    self->reportEvent(message, platform::kEventLogInformationType, 0, nullptr, 0);
    uint32_t current;
    {
        std::lock_guard<ThreadLock> guard(self->statusLock);
        current = self->status.currentState;
    }
    self->setStatus(current, 0, 0);
}

bool W32Service::consoleCtrl(uint32_t ctrlType) {
    if (ctrlType != platform::kCtrlCEvent && ctrlType != platform::kCtrlBreakEvent) {
        return false;
    }
    print("Stopping %s.\n", instance->displayName.c_str());
    instance->stop();
    return true;
}

bool W32Service::setStatus(uint32_t state, uint32_t win32ExitCode, uint32_t waitHint) {
    if (debugMode) {
        return true;
    }
    bool reported;
    {
        std::lock_guard<ThreadLock> guard(statusLock);
        const uint32_t reload = acceptsReload() ? platform::kServiceAcceptParamChange : 0;
        status.controlsAccepted =
            state == platform::kServiceStartPending ? 0 : platform::kServiceAcceptStop | reload;
        status.win32ExitCode = win32ExitCode;
        status.currentState = state;
        status.waitHint = waitHint;
        const bool settled =
            state == platform::kServiceRunning || state == platform::kServiceStopped;
        status.checkPoint = settled ? 0 : checkPoint++;
        const bool ready = state == platform::kServiceRunning && readyOnRunning();
        reported = platform::setServiceStatus(statusHandle, status, ready ? "READY=1\n" : "");
    }
    if (reported) {
        return true;
    }
    KRIString message;
    message.format("Failure in SetServiceStatus().  GetLastError() reports %d",
                   static_cast<int>(platform::lastError()));
    reportEvent(message, platform::kEventLogErrorType, 0, nullptr, 0);
    return false;
}

void W32Service::reportEvent(KRIString& message, uint16_t type, uint32_t /*eventId*/,
                             const void* rawData, uint32_t rawDataSize) {
    if (debugMode) {
        return;
    }
    message = KRIString("\n\n") + message;
    platform::reportEvent(serviceName.c_str(), type, message.c_str(), rawData, rawDataSize);
}

char* W32Service::lastErrorText(char* buffer, int size) {
    const uint32_t error = platform::lastError();
    const std::string text = platform::formatMessage(error);
    if (text.empty() || size < static_cast<int>(text.size()) + 14) {
        if (size > 0) {
            buffer[0] = '\0';
        }
        return buffer;
    }
    std::snprintf(buffer, static_cast<size_t>(size), "%s (0x%x)",
                  text.substr(0, text.size() - 2).c_str(), error);
    return buffer;
}
