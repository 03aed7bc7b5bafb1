#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnService.h"

#include <cstring>

#include "KriAtmnUnit.h"
#include "LibraryInterfaces/KriErr.h"
#include "Platform/FileTrust.h"
#include "Platform/Registry.h"
#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnInterfaces.h"
#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnTrust.h"

namespace {

const char kAtmnServiceUnit[] = "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnService";

}  // namespace

AtmnService::AtmnService() : W32Service(kServiceName, kDisplayName, "") {
    unitTemplate = kKriAtmnUnitTemplate;
}

AtmnService::~AtmnService() = default;

int AtmnService::init(int argc, char** argv) {
    if (!configPathFromCommandLine(argc, argv, configPath) && !configPathFromRegistry(configPath)) {
        KRI_TRACE_ERROR(kAtmnServiceUnit,
                        "No configuration file: give -config <file> or set the registry value "
                        "HKEY_LOCAL_MACHINE\\%s\\%s\n",
                        kRegistryKey, kRegistryValue);
        return kExitConfiguration;
    }
    const int32_t result = binding.init(configPath);
    if (result >= 0) {
        return 0;
    }
    return binding.initFailedOnConfiguration() ? kExitConfiguration : result;
}

int AtmnService::run(int, char**) {
    binding.setNotify([this](const std::string& message) { notifyServiceManager(message); });
    const int32_t result = binding.run([this] { reportReady(); });
    if (result == kAtmnConfigFailed) {
        return kExitConfiguration;
    }
    return result < 0 ? result : 0;
}

int AtmnService::stop() {
    return binding.stop();
}

void AtmnService::reload() {
    binding.reload([this] { reportReloaded(); });
}

bool AtmnService::configPathFromCommandLine(int argc, char** argv, String& path) {
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] != '\0' && std::strcmp(argv[i] + 1, "config") == 0) {
            if (i + 1 >= argc) {
                return false;
            }
            path = argv[i + 1];
            return true;
        }
    }
    return false;
}

bool AtmnService::configPathFromRegistry(String& path) {
    const std::string file =
        platform::registryValueFile(platform::HKEY_LOCAL_MACHINE, kRegistryKey, kRegistryValue);
    if (const std::string reason = file.empty() ? "" : platform::untrustedReason(file);
        !reason.empty()) {
        reportRefusal(kAtmnEventConfiguration, "the registry value Config", reason);
        return false;
    }
    platform::HKEY key = nullptr;
    if (platform::RegOpenKeyExA(platform::HKEY_LOCAL_MACHINE, kRegistryKey, 0, platform::KEY_READ,
                                &key) != platform::ERROR_SUCCESS) {
        return false;
    }
    // One byte more than the value may hold, so that a value of the full size without a
    // terminating zero still ends inside the buffer.
    uint8_t buffer[kConfigValueSize + 1] = {};
    uint32_t size = kConfigValueSize;
    const bool read = platform::RegQueryValueExA(key, kRegistryValue, nullptr, nullptr, buffer,
                                                 &size) == platform::ERROR_SUCCESS;
    if (read) {
        path = reinterpret_cast<const char*>(buffer);
    }
    platform::RegCloseKey(key);
    return read;
}

std::string AtmnService::serviceAccount() {
    const std::string unit = kKriAtmnUnitTemplate;
    const size_t at = unit.find("\nUser=");
    if (at == std::string::npos) {
        return std::string();
    }
    const size_t start = at + 6;
    return unit.substr(start, unit.find('\n', start) - start);
}
