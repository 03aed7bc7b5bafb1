// The service control manager's own calls. Each call opens the manager and the service by name
// and closes them again, so that the objects hold nothing but the name: installing and removing
// are short console commands. The service runs as the local system account, its program path
// is quoted (a path with spaces, as under "Program Files", must not be taken for a shorter
// program followed by arguments), and its description is the display name. The unit template
// and the unit directory belong to systemd and are not used here.
//
// Beside the service itself, createService sets its recovery: the service control manager
// restarts it after a crash, and after it stops with a failure code once restartAfterFailureExit
// has set the flag for that (as systemd's Restart=on-failure does). It also makes the service's
// event source, whose message file is the program (it holds the message table), so that the event
// viewer shows the records' texts; remove deletes both the service and its event source.
#include "Platform/ServiceControlManager.h"

#include <windows.h>

#include <cstring>
#include <iterator>

namespace platform {

namespace {

// A service control manager or service handle, closed when it goes.
class ScHandle {
public:
    explicit ScHandle(SC_HANDLE handle) : handle(handle) {}
    ~ScHandle() {
        if (handle != nullptr) {
            CloseServiceHandle(handle);
        }
    }
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;

    SC_HANDLE get() const { return handle; }
    explicit operator bool() const { return handle != nullptr; }

private:
    SC_HANDLE handle;
};

ScHandle openManager(DWORD access) {
    return ScHandle(OpenSCManagerA(nullptr, nullptr, access));
}

// The service's handle with the access asked for; null with the last error set otherwise.
ScHandle openNamedService(const std::string& name, DWORD access) {
    const ScHandle manager = openManager(SC_MANAGER_CONNECT);
    return ScHandle(manager ? OpenServiceA(manager.get(), name.c_str(), access) : nullptr);
}

void copyStatus(const SERVICE_STATUS& from, ServiceStatus& to) {
    to.serviceType = from.dwServiceType;
    to.currentState = from.dwCurrentState;
    to.controlsAccepted = from.dwControlsAccepted;
    to.win32ExitCode = from.dwWin32ExitCode;
    to.serviceSpecificExitCode = from.dwServiceSpecificExitCode;
    to.checkPoint = from.dwCheckPoint;
    to.waitHint = from.dwWaitHint;
}

// The event source of a service: its registry key under the Application log.
std::string eventSourceKey(const std::string& serviceName) {
    return "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + serviceName;
}

bool setValue(HKEY key, const char* name, DWORD type, const void* data, DWORD size) {
    return RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size) ==
           ERROR_SUCCESS;
}

// Registers the event source with the program as its message file. The last error says why not.
bool registerEventSource(const std::string& serviceName, const char* messageFile) {
    HKEY key = nullptr;
    LSTATUS status =
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, eventSourceKey(serviceName).c_str(), 0, nullptr,
                        REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, &key, nullptr);
    if (status == ERROR_SUCCESS) {
        const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
        const bool written = setValue(key, "EventMessageFile", REG_EXPAND_SZ, messageFile,
                                      static_cast<DWORD>(std::strlen(messageFile) + 1)) &&
                             setValue(key, "TypesSupported", REG_DWORD, &types, sizeof types);
        status = written ? ERROR_SUCCESS : static_cast<LSTATUS>(GetLastError());
        RegCloseKey(key);
    }
    SetLastError(static_cast<DWORD>(status));
    return status == ERROR_SUCCESS;
}

// An event source that is not there counts as removed.
bool unregisterEventSource(const std::string& serviceName) {
    const LSTATUS status = RegDeleteTreeA(HKEY_LOCAL_MACHINE, eventSourceKey(serviceName).c_str());
    SetLastError(static_cast<DWORD>(status));
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

// Restarts after a failure: the first two after 2 s (the unit's RestartSec), later ones after a
// minute, so that a service that cannot start does not spin; the count of failures starts again
// after ten quiet minutes.
bool setRestartActions(SC_HANDLE service) {
    SC_ACTION actions[] = {
        {SC_ACTION_RESTART, 2000}, {SC_ACTION_RESTART, 2000}, {SC_ACTION_RESTART, 60000}};
    SERVICE_FAILURE_ACTIONSA failureActions{};
    failureActions.dwResetPeriod = 600;
    failureActions.cActions = static_cast<DWORD>(std::size(actions));
    failureActions.lpsaActions = actions;
    return ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failureActions);
}

// "a b" as CreateServiceA takes dependencies: "a\0b\0\0".
std::string dependencyList(const char* dependencies) {
    std::string list;
    const std::string text = dependencies != nullptr ? dependencies : "";
    size_t start = text.find_first_not_of(' ');
    while (start != std::string::npos) {
        const size_t end = text.find(' ', start);
        list += text.substr(start, end == std::string::npos ? end : end - start);
        list += '\0';
        start = text.find_first_not_of(' ', end);
    }
    list += '\0';
    return list;
}

}  // namespace

bool InstalledService::control(uint32_t control, ServiceStatus& status) {
    const ScHandle service = openNamedService(name, SERVICE_STOP | SERVICE_QUERY_STATUS);
    SERVICE_STATUS record{};
    if (!service || !ControlService(service.get(), control, &record)) {
        return false;
    }
    copyStatus(record, status);
    return true;
}

bool InstalledService::queryStatus(ServiceStatus& status) {
    const ScHandle service = openNamedService(name, SERVICE_QUERY_STATUS);
    SERVICE_STATUS record{};
    if (!service || !QueryServiceStatus(service.get(), &record)) {
        return false;
    }
    copyStatus(record, status);
    return true;
}

bool InstalledService::restartAfterFailureExit() {
    const ScHandle service = openNamedService(name, SERVICE_CHANGE_CONFIG);
    SERVICE_FAILURE_ACTIONS_FLAG onFailureExit{TRUE};
    return service && ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS_FLAG,
                                            &onFailureExit) != FALSE;
}

bool InstalledService::delayAutomaticStart() {
    const ScHandle service = openNamedService(name, SERVICE_CHANGE_CONFIG);
    SERVICE_DELAYED_AUTO_START_INFO delayed{TRUE};
    return service && ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_DELAYED_AUTO_START_INFO,
                                            &delayed) != FALSE;
}

bool InstalledService::remove() {
    const ScHandle service = openNamedService(name, DELETE);
    return service && DeleteService(service.get()) != FALSE && unregisterEventSource(name);
}

// Windows has no package manager that owns a service: every one is removed with removeService.
std::string ServiceControlManager::packageUnit(const char*) {
    return "";
}

std::unique_ptr<ServiceControlManager> ServiceControlManager::open() {
    if (!openManager(SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE)) {
        return nullptr;
    }
    return std::unique_ptr<ServiceControlManager>(new ServiceControlManager(std::string()));
}

std::unique_ptr<InstalledService> ServiceControlManager::createService(
    const ServiceConfig& config) {
    const ScHandle manager = openManager(SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
    if (!manager) {
        return nullptr;
    }
    const std::string command = std::string("\"") + config.binaryPath + "\"";
    const std::string dependencies = dependencyList(config.dependencies);
    const ScHandle service(CreateServiceA(manager.get(), config.serviceName, config.displayName,
                                          SERVICE_ALL_ACCESS, config.serviceType, config.startType,
                                          config.errorControl, command.c_str(), nullptr, nullptr,
                                          dependencies.c_str(), nullptr, nullptr));
    if (!service) {
        return nullptr;
    }
    SERVICE_DESCRIPTIONA description{const_cast<char*>(config.displayName)};
    const bool configured =
        ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_DESCRIPTION, &description) &&
        setRestartActions(service.get()) &&
        registerEventSource(config.serviceName, config.binaryPath);
    if (!configured) {
        // Half an installation is none: the service goes again, with the first failure kept.
        const DWORD error = GetLastError();
        DeleteService(service.get());
        unregisterEventSource(config.serviceName);
        SetLastError(error);
        return nullptr;
    }
    return std::unique_ptr<InstalledService>(new InstalledService(config.serviceName, ""));
}

std::unique_ptr<InstalledService> ServiceControlManager::openService(const char* serviceName) {
    if (!openNamedService(serviceName, SERVICE_QUERY_STATUS)) {
        return nullptr;
    }
    return std::unique_ptr<InstalledService>(new InstalledService(serviceName, ""));
}

// There are no unit files on Windows.
std::string ServiceControlManager::unitText(const ServiceConfig&) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return std::string();
}

}  // namespace platform
