// A plug-in whose registration entry points throw, for ComRuntimeTest.
#include <stdexcept>

#include "Platform/ComRuntime.h"

using namespace platform;

extern "C" HRESULT KRI_COM_CALL DllRegisterServer() {
    throw std::runtime_error("registration failure");
}

extern "C" HRESULT KRI_COM_CALL DllUnregisterServer() {
    throw std::runtime_error("unregistration failure");
}
