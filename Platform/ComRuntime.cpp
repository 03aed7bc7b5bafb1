// The part of the COM run-time that both systems share: the class registrations in the registry,
// a plug-in's registration entry points and CoCreateInstance's handling of its result.
// Initialisation, finding a ProgId's class and creating objects are the system's own.
#include "Platform/ComRuntime.h"

#include "Platform/ComRuntimeSystem.h"
#include "Platform/Registry.h"

namespace platform {

namespace {

HRESULT callRegistrationEntry(const std::string& path, const char* entryName) {
    HRESULT result = S_OK;
    void* library = detail::loadLibrary(path, &result);
    if (library == nullptr) {
        return result;
    }
    const auto entry =
        reinterpret_cast<DllRegisterServerFunction>(detail::libraryEntry(library, entryName));
    result = entry == nullptr ? kProcedureNotFound : detail::guarded(entry);
    detail::freeLibrary(library);
    return result;
}

std::string inprocServerValue(const CLSID& clsid, const char* valueName) {
    std::string text;
    detail::readClassesValue("CLSID\\" + guidToString(clsid) + "\\InprocServer32", valueName, text);
    return text;
}

}  // namespace

std::string detail::utf8Of(const OLECHAR* text) {
    return utf16ToUtf8(text, std::char_traits<char16_t>::length(text));
}

bool detail::readClassesValue(const std::string& subKey, const char* valueName, std::string& text) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, subKey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    uint32_t size = 0;
    uint32_t type = 0;
    bool found = RegQueryValueExA(key, valueName, nullptr, &type, nullptr, &size) == ERROR_SUCCESS;
    if (found) {
        text.assign(size, '\0');
        found = RegQueryValueExA(key, valueName, nullptr, &type,
                                 reinterpret_cast<uint8_t*>(text.data()), &size) == ERROR_SUCCESS;
        text.resize(found ? size : 0);
    }
    RegCloseKey(key);
    while (!text.empty() && text.back() == '\0') {
        text.pop_back();
    }
    if (found && type == REG_EXPAND_SZ) {
        text = expandEnvironmentStrings(text);
    }
    return found;
}

// Windows' own CLSIDFromString also takes a ProgId; this one reads only the string form.
HRESULT CLSIDFromString(const OLECHAR* text, CLSID* clsid) {
    if (text == nullptr || clsid == nullptr) {
        return E_INVALIDARG;
    }
    return guidFromString(detail::utf8Of(text), *clsid) == S_OK ? S_OK : CO_E_CLASSSTRING;
}

HRESULT CoCreateInstance(const CLSID& clsid, IUnknown* outer, uint32_t context, const IID& iid,
                         void** object) {
    if (object == nullptr) {
        return E_POINTER;
    }
    *object = nullptr;
    const HRESULT result = detail::createInstance(clsid, outer, context, iid, object);
    if (result < 0) {
        *object = nullptr;
        return result;
    }
    return *object == nullptr ? E_UNEXPECTED : result;
}

std::string inprocServerPath(const CLSID& clsid) {
    return inprocServerValue(clsid, nullptr);
}

std::string inprocThreadingModel(const CLSID& clsid) {
    return inprocServerValue(clsid, "ThreadingModel");
}

HRESULT registerServer(const std::string& path) {
    return callRegistrationEntry(path, "DllRegisterServer");
}

HRESULT unregisterServer(const std::string& path) {
    return callRegistrationEntry(path, "DllUnregisterServer");
}

bool setClassesValue(const std::string& subKey, const char* valueName, const std::string& text) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CLASSES_ROOT, subKey.c_str(), KEY_WRITE, &key) != ERROR_SUCCESS) {
        return false;
    }
    const bool written =
        RegSetValueExA(key, valueName, 0, REG_SZ, reinterpret_cast<const uint8_t*>(text.c_str()),
                       static_cast<uint32_t>(text.size() + 1)) == ERROR_SUCCESS;
    RegCloseKey(key);
    return written;
}

bool setClassesDefaultValue(const std::string& subKey, const std::string& text) {
    return setClassesValue(subKey, nullptr, text);
}

}  // namespace platform
