// A plug-in that registers a class but does not export DllGetClassObject, for ComRuntimeTest.
#include <string>

#include "Platform/ComRuntime.h"
#include "Platform/Registry.h"
#include "TestGreeter.h"

using namespace platform;

extern "C" HRESULT KRI_COM_CALL DllRegisterServer() {
    const std::string path = modulePathOf(reinterpret_cast<const void*>(&DllRegisterServer));
    return setClassesDefaultValue("CLSID\\" + guidToString(kNoEntryClass) + "\\InprocServer32",
                                  path)
               ? S_OK
               : SELFREG_E_CLASS;
}
