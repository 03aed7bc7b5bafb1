// A plug-in that registers a class but does not export DllGetClassObject, for ComRuntimeTest.
#include <string>

#include "Platform/ComRuntime.h"
#include "Platform/Registry.h"
#include "TestGreeter.h"

using namespace platform;

extern "C" HRESULT DllRegisterServer() {
    const std::string path = modulePathOf(reinterpret_cast<const void*>(&DllRegisterServer));
    const std::string subKey = "CLSID\\" + guidToString(kNoEntryClass) + "\\InprocServer32";
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CLASSES_ROOT, subKey.c_str(), KEY_WRITE, &key) != ERROR_SUCCESS) {
        return SELFREG_E_CLASS;
    }
    RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const uint8_t*>(path.data()),
                   static_cast<uint32_t>(path.size()));
    RegCloseKey(key);
    return S_OK;
}
