// ComRuntime: the stand-in for the COM run-time calls that find, load and create an in-process
// component, and for the entry points such a component exports.
//
// Classes are registered in the registry stand-in (Platform/Registry.h) as on Windows:
// HKEY_CLASSES_ROOT\<ProgId>\CLSID holds the class identifier in registry string form as its
// default value, and HKEY_CLASSES_ROOT\CLSID\{...}\InprocServer32 holds the path of the shared
// object that serves the class. Creating an instance loads that shared object, calls its exported
// DllGetClassObject for the class's IClassFactory and asks the factory for the object. A loaded
// shared object stays loaded until the last CoUninitialize of the process, and then is unloaded
// only if its DllCanUnloadNow says so, so objects it made stay valid as long as anyone holds them.
// A plug-in registers and removes its classes through its exported DllRegisterServer and
// DllUnregisterServer, which registerServer and unregisterServer call.
//
// A shared object that cannot be loaded, lacks an entry point, throws, or answers with a failure
// gives a failure result, never a crash of the caller. Default values written with a terminating
// zero and without one read the same.
//
// CoInitialize and CoUninitialize count per thread, as apartments do; CoCreateInstance requires
// that the calling thread has initialised COM. Every other function may be called from any
// thread.
#pragma once

#include <string>

#include "Platform/Com.h"

namespace platform {

constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFFu);
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154u);
constexpr HRESULT CLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110u);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = static_cast<HRESULT>(0x80040111u);
constexpr HRESULT CO_E_NOTINITIALIZED = static_cast<HRESULT>(0x800401F0u);
constexpr HRESULT CO_E_CLASSSTRING = static_cast<HRESULT>(0x800401F3u);
constexpr HRESULT CO_E_ERRORINDLL = static_cast<HRESULT>(0x800401F9u);
constexpr HRESULT SELFREG_E_CLASS = static_cast<HRESULT>(0x80040201u);
// HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND) and HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND).
constexpr HRESULT kModuleNotFound = static_cast<HRESULT>(0x8007007Eu);
constexpr HRESULT kProcedureNotFound = static_cast<HRESULT>(0x8007007Fu);

constexpr uint32_t CLSCTX_INPROC_SERVER = 0x1;

// {00000001-0000-0000-C000-000000000046}
constexpr IID IID_IClassFactory = {
    0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

class IClassFactory : public IUnknown {
public:
    // Makes a new object and stores its interface iid, with a reference added, in *object.
    virtual HRESULT KRI_COM_CALL CreateInstance(IUnknown* outer, const IID& iid, void** object) = 0;
    // lock true keeps the serving shared object loaded until a matching call with false.
    virtual HRESULT KRI_COM_CALL LockServer(int32_t lock) = 0;

protected:
    ~IClassFactory() = default;
};

// The entry points a plug-in exports with C linkage under these names.
extern "C" {
using DllGetClassObjectFunction = HRESULT(KRI_COM_CALL*)(const CLSID& clsid, const IID& iid,
                                                         void** object);
using DllRegisterServerFunction = HRESULT(KRI_COM_CALL*)();
using DllCanUnloadNowFunction = HRESULT(KRI_COM_CALL*)();
}

// S_OK the first time on a thread, S_FALSE when the thread has already initialised COM.
// reserved must be null.
HRESULT CoInitialize(void* reserved);

// Ends one CoInitialize of the calling thread; does nothing on a thread without one.
void CoUninitialize();

// The class identifier registered for progId; CO_E_CLASSSTRING when none is registered or the
// registered text is not a class identifier, E_INVALIDARG for null arguments.
HRESULT CLSIDFromProgID(const OLECHAR* progId, CLSID* clsid);

// Reads a class identifier in registry string form; CO_E_CLASSSTRING for any other text, the
// empty text included. *clsid is untouched on failure.
HRESULT CLSIDFromString(const OLECHAR* text, CLSID* clsid);

// Creates an object of the class served in process and stores its interface iid in *object (null
// on failure). context must include CLSCTX_INPROC_SERVER. Failures: CO_E_NOTINITIALIZED,
// REGDB_E_CLASSNOTREG (no server registered for the class), kModuleNotFound (the registered
// file does not exist), CO_E_ERRORINDLL (it cannot be loaded), kProcedureNotFound (it does not
// export DllGetClassObject), E_UNEXPECTED (it threw or answered success without an object), or
// the plug-in's own failure result.
HRESULT CoCreateInstance(const CLSID& clsid, IUnknown* outer, uint32_t context, const IID& iid,
                         void** object);

// Load the shared object at path and call its DllRegisterServer or DllUnregisterServer. Results
// as for CoCreateInstance, or the plug-in's own.
HRESULT registerServer(const std::string& path);
HRESULT unregisterServer(const std::string& path);

// The path of the shared object registered for clsid (the default value of its
// InprocServer32 key) as CoCreateInstance would load it; empty when the class is not registered.
std::string inprocServerPath(const CLSID& clsid);

// The "ThreadingModel" value of the class's InprocServer32 key ("Apartment", "Both", "Free",
// ...); empty when the class has none, which COM treats as the main single-threaded apartment.
std::string inprocThreadingModel(const CLSID& clsid);

// Whether the program or library at path is built for 32 or 64 bits, from its file header (PE
// on Windows, ELF on Linux); 0 when the file cannot be read or is of another kind. An in-process
// component loads only into a process of its own bitness.
int moduleBits(const std::string& path);

// The absolute path of the shared object (or program) that contains address; empty when
// unknown. Lets a plug-in's DllRegisterServer name its own file.
std::string modulePathOf(const void* address);

// For a plug-in's DllRegisterServer: writes the text, with its terminating zero as a string value
// has on Windows, as the default value of the key under HKEY_CLASSES_ROOT, creating the key.
// False when the key cannot be created or the value not written.
bool setClassesDefaultValue(const std::string& subKey, const std::string& text);
// The same for the named value valueName (null: the default value), such as InprocServer32's
// "ThreadingModel".
bool setClassesValue(const std::string& subKey, const char* valueName, const std::string& text);

}  // namespace platform
