// Service control manager: the stand-in for OpenSCManagerA, CreateServiceA, OpenServiceA,
// ControlService, QueryServiceStatus, DeleteService and CloseServiceHandle, on systemd.
//
// An installed service is the unit file <unit directory>/<service name>.service; daemon-reload,
// stop and state queries go through systemctl. The unit directory is KRI_SYSTEMD_UNIT_DIR
// (default /etc/systemd/system) and the systemctl program KRI_SYSTEMCTL (default "systemctl",
// looked up on PATH). Closing a handle is destroying it. Used by one thread at a time.
//
// Windows error numbers reported: kErrorServiceExists for a unit that is already there,
// kErrorServiceDoesNotExist for a missing one, kErrorServiceNotActive for a stop of a service
// that is not running, kErrorServiceCannotAcceptCtrl for one that is already stopping,
// kErrorInvalidName for a name that is no unit name, kErrorInvalidParameter for settings a unit
// cannot express, kErrorInvalidServiceAccount for a unit whose User= names no account on this
// machine, and kRpcServerUnavailable when systemctl does not do what was asked. Errors of the
// file system and of starting systemctl are errno values.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "Platform/ServiceStatus.h"

namespace platform {

// What CreateServiceA is given, and the unit file text to write it as.
struct ServiceConfig {
    const char* serviceName;
    const char* displayName;
    uint32_t serviceType;  // kServiceWin32OwnProcess only: a Type=notify service
    // kServiceDemandStart, a unit without an [Install] section; kServiceAutoStart is Windows'
    // only (kErrorInvalidParameter here: a unit is started at boot by `systemctl enable`).
    uint32_t startType;
    uint32_t errorControl;  // kServiceErrorNormal only: systemd logs a failed start
    const char* binaryPath;
    const char* dependencies;  // service names separated by spaces; empty for none
    // The unit file with the placeholders @KRI_UNIT_DESCRIPTION@, @KRI_UNIT_EXEC_START@ and a
    // line @KRI_UNIT_DEPENDENCIES@, which unitText fills from the fields above. Null for the
    // plain unit: Description, dependencies, Type=notify and ExecStart, running as root.
    const char* unitTemplate = nullptr;
};

class InstalledService {
public:
    // Asks the service to stop (kServiceControlStop is the only control) without waiting for
    // it, and returns its status right afterwards.
    bool control(uint32_t control, ServiceStatus& status);
    // Reports the service's state: active or reloading is RUNNING (stop accepted), activating
    // START_PENDING, deactivating STOP_PENDING (stop accepted), inactive or failed STOPPED.
    bool queryStatus(ServiceStatus& status);
    // Makes a stop with a failure code count as a failure for the restart actions, as a crash
    // does (SERVICE_CONFIG_FAILURE_ACTIONS_FLAG). The unit's Restart=on-failure does so already:
    // true at once.
    bool restartAfterFailureExit();
    // Starts an automatic service shortly after the other automatic services rather than among
    // them (SERVICE_CONFIG_DELAYED_AUTO_START_INFO). A unit has no automatic start: true at once.
    bool delayAutomaticStart();
    // Removes the unit file and reloads systemd; false when either failed.
    bool remove();

private:
    friend class ServiceControlManager;
    InstalledService(std::string name, std::string unitPath)
        : name(std::move(name)), unitPath(std::move(unitPath)) {}

    std::string name;
    std::string unitPath;
};

class ServiceControlManager {
public:
    // Null with the last error set when the unit directory is not writable.
    static std::unique_ptr<ServiceControlManager> open();

    // Writes the unit file and reloads systemd. When the reload fails the unit file is removed
    // again and the result is null with kRpcServerUnavailable (or the error of starting
    // systemctl): the installation did not work. A unit whose User= names no account is not
    // written, since systemd could not start it.
    std::unique_ptr<InstalledService> createService(const ServiceConfig& config);
    std::unique_ptr<InstalledService> openService(const char* serviceName);

    // The unit file of serviceName that a package installed (in the system's own unit
    // directory, /lib/systemd/system) and that -install did not write; empty when there is none.
    // Such a service is removed with the package manager, not with removeService.
    static std::string packageUnit(const char* serviceName);

    // The text of the unit file that createService writes; empty with the last error set when
    // the settings cannot be expressed.
    static std::string unitText(const ServiceConfig& config);

private:
    explicit ServiceControlManager(std::string unitDirectory)
        : unitDirectory(std::move(unitDirectory)) {}

    std::string unitPath(const char* serviceName) const;

    std::string unitDirectory;
};

}  // namespace platform
