#include <fcntl.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <vector>

#include "Platform/LastError.h"
#include "Platform/ServiceControlManager.h"

extern char** environ;

namespace platform {

namespace {

std::string environmentOr(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

struct CommandResult {
    bool ran = false;
    int exitStatus = -1;
    std::string output;
};

// Runs systemctl with the arguments and collects its standard output; its standard error goes
// to ours, so the operator sees systemctl's own complaints.
CommandResult runSystemctl(std::vector<std::string> arguments) {
    CommandResult result;
    const std::string program = environmentOr("KRI_SYSTEMCTL", "systemctl");
    arguments.insert(arguments.begin(), program);
    std::vector<char*> argv;
    for (std::string& a : arguments) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        setLastError(static_cast<uint32_t>(errno));
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    pid_t pid = 0;
    const int spawned =
        posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (spawned != 0) {
        close(out[0]);
        setLastError(static_cast<uint32_t>(spawned));
        return result;
    }
    char chunk[512];
    ssize_t n;
    while ((n = read(out[0], chunk, sizeof chunk)) != 0) {
        if (n > 0) {
            result.output.append(chunk, static_cast<size_t>(n));
        } else if (errno != EINTR) {
            break;
        }
    }
    close(out[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            setLastError(static_cast<uint32_t>(errno));
            return result;
        }
    }
    result.ran = true;
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

bool isUnitName(const char* name) {
    if (name == nullptr || *name == '\0' || std::strlen(name) > 200) {
        return false;
    }
    for (const char* c = name; *c != '\0'; ++c) {
        const bool allowed = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') ||
                             (*c >= '0' && *c <= '9') || std::strchr(":_.-", *c) != nullptr;
        if (!allowed) {
            return false;
        }
    }
    return std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0;
}

bool hasLineBreak(const char* text) {
    return std::strpbrk(text, "\r\n") != nullptr;
}

// Unit files expand "%" specifiers everywhere.
std::string escapeSpecifiers(const char* text) {
    std::string escaped;
    for (const char* c = text; *c != '\0'; ++c) {
        escaped += *c;
        if (*c == '%') {
            escaped += '%';
        }
    }
    return escaped;
}

// A command line word in double quotes, so that a path with spaces, quotes, "$" or "%" names
// exactly that file.
std::string quotedCommand(const char* path) {
    std::string quoted = "\"";
    for (const char* c = path; *c != '\0'; ++c) {
        switch (*c) {
            case '"':
            case '\\':
                quoted += '\\';
                quoted += *c;
                break;
            case '%':
                quoted += "%%";
                break;
            case '$':
                quoted += "$$";
                break;
            default:
                quoted += *c;
        }
    }
    return quoted + "\"";
}

constexpr char kPlainUnit[] =
    "[Unit]\nDescription=@KRI_UNIT_DESCRIPTION@\n@KRI_UNIT_DEPENDENCIES@\n\n"
    "[Service]\nType=notify\nNotifyAccess=main\nExecStart=@KRI_UNIT_EXEC_START@\n";

// Replaces the one occurrence of placeholder; false when it is missing or occurs twice.
bool fill(std::string& text, const std::string& placeholder, const std::string& value) {
    const size_t at = text.find(placeholder);
    if (at == std::string::npos || text.find(placeholder, at + 1) != std::string::npos) {
        return false;
    }
    text.replace(at, placeholder.size(), value);
    return true;
}

// The account named by the unit's User= line, if any, exists here.
bool unitUserExists(const std::string& unit) {
    std::istringstream lines(unit);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.starts_with("User=")) {
            return getpwnam(line.c_str() + 5) != nullptr;
        }
    }
    return true;
}

// Whether systemd reloaded its units; the last error says why not.
bool reloadDaemon() {
    const CommandResult r = runSystemctl({"daemon-reload"});
    if (r.ran && r.exitStatus != 0) {
        setLastError(kRpcServerUnavailable);
    }
    return r.ran && r.exitStatus == 0;
}

}  // namespace

std::string ServiceControlManager::unitText(const ServiceConfig& c) {
    if (c.serviceType != kServiceWin32OwnProcess || c.startType != kServiceDemandStart ||
        c.errorControl != kServiceErrorNormal || c.displayName == nullptr ||
        c.binaryPath == nullptr || c.binaryPath[0] != '/' || hasLineBreak(c.displayName) ||
        hasLineBreak(c.binaryPath)) {
        setLastError(kErrorInvalidParameter);
        return std::string();
    }
    std::string requirements;
    std::istringstream dependencies(c.dependencies != nullptr ? c.dependencies : "");
    std::string dependency;
    while (dependencies >> dependency) {
        if (!isUnitName(dependency.c_str())) {
            setLastError(kErrorInvalidName);
            return std::string();
        }
        requirements += "Requires=" + dependency + ".service\nAfter=" + dependency + ".service\n";
    }
    std::string text = c.unitTemplate != nullptr ? c.unitTemplate : kPlainUnit;
    if (!fill(text, "@KRI_UNIT_DESCRIPTION@", escapeSpecifiers(c.displayName)) ||
        !fill(text, "@KRI_UNIT_DEPENDENCIES@\n", requirements) ||
        !fill(text, "@KRI_UNIT_EXEC_START@", quotedCommand(c.binaryPath))) {
        setLastError(kErrorInvalidParameter);
        return std::string();
    }
    return text;
}

std::string ServiceControlManager::packageUnit(const char* serviceName) {
    if (!isUnitName(serviceName)) {
        return "";
    }
    const std::string path = environmentOr("KRI_SYSTEMD_PACKAGE_UNIT_DIR", "/lib/systemd/system") +
                             "/" + serviceName + ".service";
    return access(path.c_str(), F_OK) == 0 ? path : "";
}

std::unique_ptr<ServiceControlManager> ServiceControlManager::open() {
    std::string directory = environmentOr("KRI_SYSTEMD_UNIT_DIR", "/etc/systemd/system");
    if (access(directory.c_str(), W_OK) != 0) {
        setLastError(static_cast<uint32_t>(errno));
        return nullptr;
    }
    return std::unique_ptr<ServiceControlManager>(new ServiceControlManager(directory));
}

std::string ServiceControlManager::unitPath(const char* serviceName) const {
    return unitDirectory + "/" + serviceName + ".service";
}

std::unique_ptr<InstalledService> ServiceControlManager::createService(const ServiceConfig& c) {
    if (!isUnitName(c.serviceName)) {
        setLastError(kErrorInvalidName);
        return nullptr;
    }
    const std::string text = unitText(c);
    if (text.empty()) {
        return nullptr;
    }
    if (!unitUserExists(text)) {
        setLastError(kErrorInvalidServiceAccount);
        return nullptr;
    }
    const std::string path = unitPath(c.serviceName);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        setLastError(errno == EEXIST ? kErrorServiceExists : static_cast<uint32_t>(errno));
        return nullptr;
    }
    bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    int error = errno;
    if (close(fd) != 0 && written) {
        written = false;
        error = errno;
    }
    if (!written) {
        setLastError(static_cast<uint32_t>(error));
        unlink(path.c_str());
        return nullptr;
    }
    if (!reloadDaemon()) {
        // A unit that systemd has not taken in would make the next -install fail as existing.
        const uint32_t error = lastError();
        unlink(path.c_str());
        setLastError(error);
        return nullptr;
    }
    return std::unique_ptr<InstalledService>(new InstalledService(c.serviceName, path));
}

std::unique_ptr<InstalledService> ServiceControlManager::openService(const char* serviceName) {
    if (!isUnitName(serviceName)) {
        setLastError(kErrorInvalidName);
        return nullptr;
    }
    const std::string path = unitPath(serviceName);
    if (access(path.c_str(), F_OK) != 0) {
        setLastError(errno == ENOENT ? kErrorServiceDoesNotExist : static_cast<uint32_t>(errno));
        return nullptr;
    }
    return std::unique_ptr<InstalledService>(new InstalledService(serviceName, path));
}

bool InstalledService::restartAfterFailureExit() {
    return true;
}

bool InstalledService::delayAutomaticStart() {
    return true;
}

bool InstalledService::queryStatus(ServiceStatus& status) {
    const CommandResult r = runSystemctl({"is-active", name + ".service"});
    if (!r.ran) {
        return false;
    }
    const std::string state = r.output.substr(0, r.output.find('\n'));
    uint32_t current;
    if (state == "active" || state == "reloading") {
        current = kServiceRunning;
    } else if (state == "activating") {
        current = kServiceStartPending;
    } else if (state == "deactivating") {
        current = kServiceStopPending;
    } else if (state == "inactive" || state == "failed") {
        current = kServiceStopped;
    } else {
        setLastError(kRpcServerUnavailable);
        return false;
    }
    status = ServiceStatus{};
    status.serviceType = kServiceWin32OwnProcess;
    status.currentState = current;
    const bool acceptsStop = current == kServiceRunning || current == kServiceStopPending;
    status.controlsAccepted = acceptsStop ? kServiceAcceptStop : 0;
    return true;
}

bool InstalledService::control(uint32_t control, ServiceStatus& status) {
    if (control != kServiceControlStop) {
        setLastError(kErrorInvalidParameter);
        return false;
    }
    if (!queryStatus(status)) {
        return false;
    }
    if (status.currentState == kServiceStopped) {
        setLastError(kErrorServiceNotActive);
        return false;
    }
    if (status.currentState == kServiceStopPending) {
        setLastError(kErrorServiceCannotAcceptCtrl);
        return false;
    }
    const CommandResult r = runSystemctl({"stop", "--no-block", name + ".service"});
    if (!r.ran) {
        return false;
    }
    if (r.exitStatus != 0) {
        setLastError(kRpcServerUnavailable);
        return false;
    }
    return queryStatus(status);
}

bool InstalledService::remove() {
    if (unlink(unitPath.c_str()) != 0) {
        setLastError(errno == ENOENT ? kErrorServiceDoesNotExist : static_cast<uint32_t>(errno));
        return false;
    }
    return reloadDaemon();
}

}  // namespace platform
