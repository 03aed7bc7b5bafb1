// The COM run-time of Windows itself (ole32): it finds the class in the registry, loads the DLL
// and asks its class factory. A thread that initialises COM enters a single-threaded apartment,
// as CoInitialize always did: a component registered for that model (ThreadingModel
// "Apartment", or none at all) is then created on the calling thread and handed out directly.
// From the multithreaded apartment Windows would create such a component on a thread of its own
// and hand out a proxy, which needs marshalling registered for the component's interfaces;
// without it CoCreateInstance fails (E_NOINTERFACE). A ComApartment (ComApartment.h) enters the
// apartment that a component's threading model asks for, so that it is created there directly.
#include "Platform/ComRuntime.h"
#include "Platform/ComRuntimeSystem.h"

#include <windows.h>
// After windows.h, which it needs.
#include <objbase.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string_view>

namespace platform {

namespace {

thread_local int threadInitCount = 0;

std::wstring wide(const std::string& text) {
    const int length =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(length > 0 ? length : 0), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), length);
    return out;
}

}  // namespace

void* detail::loadLibrary(const std::string& path, HRESULT* failure) {
    HMODULE module = LoadLibraryExW(wide(path).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module == nullptr) {
        *failure = GetFileAttributesW(wide(path).c_str()) != INVALID_FILE_ATTRIBUTES
                       ? CO_E_ERRORINDLL
                       : kModuleNotFound;
    }
    return module;
}

// GetProcAddress's result is cast through a plain function pointer type, which any function
// pointer may be cast from and back to.
detail::LibraryEntry detail::libraryEntry(void* library, const char* name) {
    return reinterpret_cast<LibraryEntry>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void detail::freeLibrary(void* library) {
    FreeLibrary(static_cast<HMODULE>(library));
}

std::string detail::expandEnvironmentStrings(const std::string& text) {
    const DWORD length = ExpandEnvironmentStringsA(text.c_str(), nullptr, 0);
    std::string expanded(length, '\0');
    if (length > 0 && ExpandEnvironmentStringsA(text.c_str(), expanded.data(), length) > 0) {
        expanded.resize(length - 1);
        return expanded;
    }
    return text;
}

HRESULT CoInitialize(void* reserved) {
    if (reserved != nullptr) {
        return E_INVALIDARG;
    }
    const HRESULT result = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (result >= 0) {
        ++threadInitCount;
    }
    return result;
}

void CoUninitialize() {
    if (threadInitCount == 0) {
        return;
    }
    --threadInitCount;
    ::CoUninitialize();
}

HRESULT CLSIDFromProgID(const OLECHAR* progId, CLSID* clsid) {
    if (progId == nullptr || clsid == nullptr) {
        return E_INVALIDARG;
    }
    ::CLSID found{};
    const HRESULT result = ::CLSIDFromProgID(reinterpret_cast<LPCOLESTR>(progId), &found);
    if (result < 0) {
        return result;
    }
    static_assert(sizeof(found) == sizeof(*clsid), "one GUID layout");
    std::memcpy(clsid, &found, sizeof found);
    return S_OK;
}

HRESULT detail::createInstance(const CLSID& clsid, IUnknown* outer, uint32_t context,
                               const IID& iid, void** object) {
    return ::CoCreateInstance(reinterpret_cast<const ::CLSID&>(clsid),
                              reinterpret_cast<::IUnknown*>(outer), context,
                              reinterpret_cast<const ::IID&>(iid), object);
}

// A PE file's machine field, behind the offset that the DOS header keeps at 0x3C.
int moduleBits(const std::string& path) {
    std::ifstream file(std::filesystem::u8path(path), std::ios::binary);
    char dosHeader[0x40] = {};
    if (!file.read(dosHeader, sizeof dosHeader) || dosHeader[0] != 'M' || dosHeader[1] != 'Z') {
        return 0;
    }
    uint32_t peOffset = 0;
    std::memcpy(&peOffset, dosHeader + 0x3C, sizeof peOffset);
    char peHeader[6] = {};
    if (!file.seekg(peOffset) || !file.read(peHeader, sizeof peHeader) ||
        std::string_view(peHeader, 4) != std::string_view("PE\0\0", 4)) {
        return 0;
    }
    const uint16_t machine = static_cast<uint16_t>(static_cast<unsigned char>(peHeader[4]) |
                                                   static_cast<unsigned char>(peHeader[5]) << 8);
    switch (machine) {
        case IMAGE_FILE_MACHINE_I386:
            return 32;
        case IMAGE_FILE_MACHINE_AMD64:
        case IMAGE_FILE_MACHINE_ARM64:
            return 64;
        default:
            return 0;
    }
}

std::string modulePathOf(const void* address) {
    HMODULE module = nullptr;
    if (!GetModuleHandleExA(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            static_cast<const char*>(address), &module)) {
        return {};
    }
    char path[MAX_PATH + 1];
    const DWORD length = GetModuleFileNameA(module, path, sizeof path);
    return length > 0 && length < sizeof path ? std::string(path, length) : std::string();
}

}  // namespace platform
