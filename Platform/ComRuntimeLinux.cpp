#include <dlfcn.h>
#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <string_view>

#include "Platform/ComRuntime.h"
#include "Platform/ComRuntimeSystem.h"

namespace platform {

namespace {

thread_local int threadInitCount = 0;

// Shared objects loaded for CoCreateInstance, by registered path, and how many CoInitialize
// calls are open in the whole process; both guarded by librariesMutex.
std::mutex librariesMutex;
std::map<std::string, void*> loadedLibraries;
int processInitCount = 0;

// The loaded shared object at path, loading it on first use; null with *failure set otherwise.
void* loadServer(const std::string& path, HRESULT* failure) {
    std::lock_guard lock(librariesMutex);
    if (const auto it = loadedLibraries.find(path); it != loadedLibraries.end()) {
        return it->second;
    }
    void* handle = detail::loadLibrary(path, failure);
    if (handle != nullptr) {
        loadedLibraries.emplace(path, handle);
    }
    return handle;
}

// Unloads every loaded shared object whose DllCanUnloadNow answers S_OK.
void unloadUnusedLibraries() {
    for (auto it = loadedLibraries.begin(); it != loadedLibraries.end();) {
        const auto canUnloadNow = reinterpret_cast<DllCanUnloadNowFunction>(
            detail::libraryEntry(it->second, "DllCanUnloadNow"));
        if (canUnloadNow != nullptr && detail::guarded(canUnloadNow) == S_OK) {
            detail::freeLibrary(it->second);
            it = loadedLibraries.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace

void* detail::loadLibrary(const std::string& path, HRESULT* failure) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        struct stat info {};
        *failure = stat(path.c_str(), &info) == 0 ? CO_E_ERRORINDLL : kModuleNotFound;
    }
    return handle;
}

detail::LibraryEntry detail::libraryEntry(void* library, const char* name) {
    return reinterpret_cast<LibraryEntry>(dlsym(library, name));
}

void detail::freeLibrary(void* library) {
    dlclose(library);
}

// The registry stand-in keeps no value types, so no value it holds is a REG_EXPAND_SZ one.
std::string detail::expandEnvironmentStrings(const std::string& text) {
    return text;
}

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
    const std::string name = detail::utf8Of(progId);
    std::string text;
    // A ProgId is one key name; a backslash would reach into another key.
    if (name.empty() || name.find('\\') != std::string::npos ||
        !detail::readClassesValue(name + "\\CLSID", nullptr, text)) {
        return CO_E_CLASSSTRING;
    }
    return guidFromString(text, *clsid) == S_OK ? S_OK : CO_E_CLASSSTRING;
}

HRESULT detail::createInstance(const CLSID& clsid, IUnknown* outer, uint32_t context,
                               const IID& iid, void** object) {
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
        reinterpret_cast<DllGetClassObjectFunction>(libraryEntry(library, "DllGetClassObject"));
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
    return result;
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

}  // namespace platform
