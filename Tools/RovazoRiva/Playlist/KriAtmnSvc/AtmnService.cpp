#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnService.h"

#include <cstring>

#include "KriAtmnUnit.h"
#include "Platform/Registry.h"

AtmnService::AtmnService() : W32Service(kServiceName, kDisplayName, "") {
    unitTemplate = kKriAtmnUnitTemplate;
}

AtmnService::~AtmnService() = default;

int AtmnService::init(int argc, char** argv) {
    if (!configPathFromCommandLine(argc, argv, configPath) && !configPathFromRegistry(configPath)) {
        return -1;
    }
    binding.init(configPath);
    return 0;
}

int AtmnService::run(int, char**) {
    return binding.run();
}

int AtmnService::stop() {
    return binding.stop();
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
