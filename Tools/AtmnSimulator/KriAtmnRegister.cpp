// KriAtmnRegister [-u] <plugin.so>: registers an in-process plug-in in the registry stand-in by
// calling its DllRegisterServer, or with -u removes its registration through
// DllUnregisterServer, as regsvr32 does on Windows. KRI_REGISTRY_ROOT chooses the registry.
#include <cstdio>
#include <cstring>
#include <string>

#include "Platform/ComRuntime.h"
#include "Platform/Registry.h"

int main(int argc, char** argv) {
    const bool unregister = argc == 3 && std::strcmp(argv[1], "-u") == 0;
    if (argc != 2 && !unregister) {
        std::fprintf(stderr, "usage: %s [-u] <plugin.so>\n", argv[0]);
        return 2;
    }
    std::string path = argv[argc - 1];
    // A bare file name would be looked for on the library search path, not here.
    if (path.find('/') == std::string::npos) {
        path = "./" + path;
    }
    const platform::HRESULT result =
        unregister ? platform::unregisterServer(path) : platform::registerServer(path);
    const char* entry = unregister ? "DllUnregisterServer" : "DllRegisterServer";
    if (result < 0) {
        std::fprintf(stderr, "%s: %s of %s failed: 0x%08X\n", argv[0], entry, path.c_str(),
                     static_cast<unsigned>(result));
        return 1;
    }
    std::printf("%s: %s of %s succeeded (registry %s)\n", argv[0], entry, path.c_str(),
                platform::registryRoot().c_str());
    return 0;
}
