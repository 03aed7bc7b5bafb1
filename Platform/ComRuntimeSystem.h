// The seam inside the COM run-time, internal to ComRuntime.cpp and ComRuntime<System>.cpp: the
// shared file reads the class registrations, calls a plug-in's registration entry points and
// keeps CoCreateInstance's promises about its result; the system's file loads shared objects
// (DLLs) and creates the objects.
#pragma once

#include <string>

#include "Platform/ComRuntime.h"

namespace platform::detail {

// Any entry point of a loaded library, cast to its own type before it is called.
using LibraryEntry = void (*)();

// Loads the shared object (DLL) at path, one more use of it if it is loaded already. Null when it
// cannot be loaded, with *failure set: CO_E_ERRORINDLL when the file exists, kModuleNotFound
// when it does not.
void* loadLibrary(const std::string& path, HRESULT* failure);

// The entry point that the loaded library exports under name; null when it exports none.
LibraryEntry libraryEntry(void* library, const char* name);

// Ends one loadLibrary's use of the library; the last one unloads it.
void freeLibrary(void* library);

// The text of a REG_EXPAND_SZ value with the environment variables it names expanded.
std::string expandEnvironmentStrings(const std::string& text);

// Creates the object for CoCreateInstance, which has checked object and set *object to null,
// and which turns a failure into a null *object and a success without an object into
// E_UNEXPECTED.
HRESULT createInstance(const CLSID& clsid, IUnknown* outer, uint32_t context, const IID& iid,
                       void** object);

// The value valueName (null: the default value) of HKEY_CLASSES_ROOT\<subKey> as text, without
// the terminating zeros a registering program may have written, and expanded when the value is
// a REG_EXPAND_SZ one.
bool readClassesValue(const std::string& subKey, const char* valueName, std::string& text);

// A zero-terminated UTF-16 text in UTF-8.
std::string utf8Of(const OLECHAR* text);

// Runs a call into a plug-in; an exception it lets out becomes E_UNEXPECTED.
template <typename Call>
HRESULT guarded(Call call) {
    try {
        return call();
    } catch (...) {
        return E_UNEXPECTED;
    }
}

}  // namespace platform::detail
