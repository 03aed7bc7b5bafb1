// The registry calls pass straight to Windows. A 32-bit service on 64-bit Windows sees the 32-bit
// view of HKEY_LOCAL_MACHINE\SOFTWARE and of HKEY_CLASSES_ROOT, which is where its installer
// and a 32-bit component register themselves, so no view is forced.
#include "Platform/Registry.h"

#include <windows.h>

namespace {

// The predefined keys' values, taken before their macros are put aside so that the names can
// be this layer's own below.
const ::HKEY kClassesRoot = HKEY_CLASSES_ROOT;
const ::HKEY kLocalMachine = HKEY_LOCAL_MACHINE;

::HKEY windowsKey(platform::HKEY key) {
    return reinterpret_cast<::HKEY>(key);
}

}  // namespace

#undef HKEY_CLASSES_ROOT
#undef HKEY_LOCAL_MACHINE

namespace platform {

HKEY const HKEY_CLASSES_ROOT = reinterpret_cast<HKEY>(kClassesRoot);
HKEY const HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(kLocalMachine);

std::string registryRoot() {
    return "of Windows";
}

LSTATUS RegOpenKeyExA(HKEY key, const char* subKey, uint32_t options, REGSAM access, HKEY* result) {
    ::HKEY opened = nullptr;
    const LSTATUS status = ::RegOpenKeyExA(windowsKey(key), subKey, options, access, &opened);
    *result = status == ERROR_SUCCESS ? reinterpret_cast<HKEY>(opened) : nullptr;
    return status;
}

LSTATUS RegCreateKeyExA(HKEY key, const char* subKey, REGSAM access, HKEY* result,
                        uint32_t* disposition) {
    ::HKEY opened = nullptr;
    DWORD created = 0;
    const LSTATUS status =
        ::RegCreateKeyExA(windowsKey(key), subKey, 0, nullptr, REG_OPTION_NON_VOLATILE, access,
                          nullptr, &opened, &created);
    *result = status == ERROR_SUCCESS ? reinterpret_cast<HKEY>(opened) : nullptr;
    if (status == ERROR_SUCCESS && disposition != nullptr) {
        *disposition = created;
    }
    return status;
}

LSTATUS RegQueryValueExA(HKEY key, const char* valueName, uint32_t* reserved, uint32_t* type,
                         uint8_t* data, uint32_t* dataSize) {
    DWORD valueType = 0;
    DWORD size = dataSize != nullptr ? *dataSize : 0;
    const LSTATUS status =
        ::RegQueryValueExA(windowsKey(key), valueName, reinterpret_cast<DWORD*>(reserved),
                           &valueType, data, dataSize != nullptr ? &size : nullptr);
    if (type != nullptr) {
        *type = valueType;
    }
    if (dataSize != nullptr) {
        *dataSize = size;
    }
    return status;
}

LSTATUS RegSetValueExA(HKEY key, const char* valueName, uint32_t reserved, uint32_t type,
                       const uint8_t* data, uint32_t dataSize) {
    return ::RegSetValueExA(windowsKey(key), valueName, reserved, type, data, dataSize);
}

LSTATUS RegDeleteTreeA(HKEY key, const char* subKey) {
    return ::RegDeleteTreeA(windowsKey(key),
                            subKey != nullptr && *subKey != '\0' ? subKey : nullptr);
}

// The registry's own access control guards a value on Windows (HKEY_LOCAL_MACHINE and
// HKEY_CLASSES_ROOT take writes from administrators and SYSTEM only); there is no file to judge.
std::string registryValueFile(HKEY, const char*, const char*) {
    return std::string();
}

LSTATUS RegCloseKey(HKEY key) {
    return ::RegCloseKey(windowsKey(key));
}

}  // namespace platform
