#include <dlfcn.h>
#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <string_view>

#include "Platform/ComRuntime.h"
#include "Platform/Registry.h"

namespace platform {

namespace {

thread_local int threadInitCount = 0;

// Shared objects loaded for CoCreateInstance, by registered path, and how many CoInitialize
// calls are open in the whole process; both guarded by librariesMutex.
std::mutex librariesMutex;
std::map<std::string, void*> loadedLibraries;
int processInitCount = 0;

template <typename Call>
HRESULT guarded(Call call) {
    try {
        return call();
    } catch (...) {
        return E_UNEXPECTED;
    }
}

std::string utf8Of(const OLECHAR* text) {
    return utf16ToUtf8(text, std::char_traits<char16_t>::length(text));
}

// The value valueName (null: the default value) of HKEY_CLASSES_ROOT\<subKey> as text, without
// the terminating zeros a registering program may have written.
bool readClassesValue(const std::string& subKey, const char* valueName, std::string& text) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, subKey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    uint32_t size = 0;
    bool found =
        RegQueryValueExA(key, valueName, nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS;
    if (found) {
        text.assign(size, '\0');
        found = RegQueryValueExA(key, valueName, nullptr, nullptr,
                                 reinterpret_cast<uint8_t*>(text.data()), &size) == ERROR_SUCCESS;
        text.resize(found ? size : 0);
    }
    RegCloseKey(key);
    while (!text.empty() && text.back() == '\0') {
        text.pop_back();
    }
    return found;
}

HRESULT loadFailure(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? CO_E_ERRORINDLL : kModuleNotFound;
}

// The loaded shared object at path, loading it on first use; null with *failure set otherwise.
void* loadServer(const std::string& path, HRESULT* failure) {
    std::lock_guard lock(librariesMutex);
    if (const auto it = loadedLibraries.find(path); it != loadedLibraries.end()) {
        return it->second;
    }
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        *failure = loadFailure(path);
        return nullptr;
    }
    loadedLibraries.emplace(path, handle);
    return handle;
}

// Unloads every loaded shared object whose DllCanUnloadNow answers S_OK.
void unloadUnusedLibraries() {
    for (auto it = loadedLibraries.begin(); it != loadedLibraries.end();) {
        const auto canUnloadNow =
            reinterpret_cast<DllCanUnloadNowFunction>(dlsym(it->second, "DllCanUnloadNow"));
        if (canUnloadNow != nullptr && guarded(canUnloadNow) == S_OK) {
            dlclose(it->second);
            it = loadedLibraries.erase(it);
        } else {
            ++it;
        }
    }
}

HRESULT callRegistrationEntry(const std::string& path, const char* entryName) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        return loadFailure(path);
    }
    const auto entry = reinterpret_cast<DllRegisterServerFunction>(dlsym(handle, entryName));
    const HRESULT result = entry == nullptr ? kProcedureNotFound : guarded(entry);
    dlclose(handle);
    return result;
}

}  // namespace

HRESULT CoInitialize(void* reserved) {
    if (reserved != nullptr) {
        return E_INVALIDARG;
    }
    std::lock_guard lock(librariesMutex);
    ++processInitCount;
    return threadInitCount++ == 0 ? S_OK : S_FALSE;
}

void CoUninitialize() {
    if (threadInitCount == 0) {
        return;
    }
    --threadInitCount;
    std::lock_guard lock(librariesMutex);
    if (--processInitCount == 0) {
        unloadUnusedLibraries();
    }
}

HRESULT CLSIDFromProgID(const OLECHAR* progId, CLSID* clsid) {
    if (progId == nullptr || clsid == nullptr) {
        return E_INVALIDARG;
    }
    const std::string name = utf8Of(progId);
    std::string text;
    // A ProgId is one key name; a backslash would reach into another key.
    if (name.empty() || name.find('\\') != std::string::npos ||
        !readClassesValue(name + "\\CLSID", nullptr, text)) {
        return CO_E_CLASSSTRING;
    }
    return guidFromString(text, *clsid) == S_OK ? S_OK : CO_E_CLASSSTRING;
}

HRESULT CLSIDFromString(const OLECHAR* text, CLSID* clsid) {
    if (text == nullptr || clsid == nullptr) {
        return E_INVALIDARG;
    }
    return guidFromString(utf8Of(text), *clsid) == S_OK ? S_OK : CO_E_CLASSSTRING;
}

HRESULT CoCreateInstance(const CLSID& clsid, IUnknown* outer, uint32_t context, const IID& iid,
                         void** object) {
    if (object == nullptr) {
        return E_POINTER;
    }
    *object = nullptr;
    if (threadInitCount == 0) {
        return CO_E_NOTINITIALIZED;
    }
    const std::string path = inprocServerPath(clsid);
    if ((context & CLSCTX_INPROC_SERVER) == 0 || path.empty()) {
        return REGDB_E_CLASSNOTREG;
    }
    HRESULT result = S_OK;
    void* library = loadServer(path, &result);
    if (library == nullptr) {
        return result;
    }
    const auto getClassObject =
        reinterpret_cast<DllGetClassObjectFunction>(dlsym(library, "DllGetClassObject"));
    if (getClassObject == nullptr) {
        return kProcedureNotFound;
    }
    IClassFactory* factory = nullptr;
    result = guarded([&] {
        return getClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    });
    if (result < 0) {
        return result;
    }
    if (factory == nullptr) {
        return E_UNEXPECTED;
    }
    result = guarded([&] { return factory->CreateInstance(outer, iid, object); });
    guarded([&] {
        factory->Release();
        return S_OK;
    });
    if (result < 0) {
        *object = nullptr;
        return result;
    }
    return *object == nullptr ? E_UNEXPECTED : result;
}

std::string inprocServerPath(const CLSID& clsid) {
    std::string path;
    readClassesValue("CLSID\\" + guidToString(clsid) + "\\InprocServer32", nullptr, path);
    return path;
}

std::string inprocThreadingModel(const CLSID& clsid) {
    std::string model;
    readClassesValue("CLSID\\" + guidToString(clsid) + "\\InprocServer32", "ThreadingModel", model);
    return model;
}

HRESULT registerServer(const std::string& path) {
    return callRegistrationEntry(path, "DllRegisterServer");
}

HRESULT unregisterServer(const std::string& path) {
    return callRegistrationEntry(path, "DllUnregisterServer");
}

// An ELF file's class byte: 1 for 32-bit, 2 for 64-bit.
int moduleBits(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    char header[5] = {};
    if (!file.read(header, sizeof header) || std::string_view(header, 4) !=
                                                 "\x7f"
                                                 "ELF") {
        return 0;
    }
    return header[4] == 1 ? 32 : header[4] == 2 ? 64 : 0;
}

std::string modulePathOf(const void* address) {
    Dl_info info{};
    if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) {
        return {};
    }
    char resolved[PATH_MAX];
    return realpath(info.dli_fname, resolved) != nullptr ? resolved : info.dli_fname;
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
