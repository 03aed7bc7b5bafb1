// The interface and class identifiers of the test plug-ins that ComRuntimeTest loads.
//
// libKriTestGreeter serves four classes: a greeter that works, and three that misbehave in its
// class factory (it throws, it fails, it answers success without an object). It registers all
// four, and the ProgId "Kri.TestGreeter" for the working one, through DllRegisterServer.
// libKriTestNoEntry exports nothing but a registration entry.
#pragma once

#include "Platform/Com.h"

// {5B7E3A10-4C2D-4E8F-9A61-0D2B3C4E5F60}
constexpr platform::IID IID_ITestGreeter = {
    0x5B7E3A10, 0x4C2D, 0x4E8F, {0x9A, 0x61, 0x0D, 0x2B, 0x3C, 0x4E, 0x5F, 0x60}};

constexpr platform::CLSID kGreeterClass = {
    0x5B7E3A11, 0x4C2D, 0x4E8F, {0x9A, 0x61, 0x0D, 0x2B, 0x3C, 0x4E, 0x5F, 0x60}};
constexpr platform::CLSID kThrowingClass = {
    0x5B7E3A12, 0x4C2D, 0x4E8F, {0x9A, 0x61, 0x0D, 0x2B, 0x3C, 0x4E, 0x5F, 0x60}};
constexpr platform::CLSID kFailingClass = {
    0x5B7E3A13, 0x4C2D, 0x4E8F, {0x9A, 0x61, 0x0D, 0x2B, 0x3C, 0x4E, 0x5F, 0x60}};
constexpr platform::CLSID kNullObjectClass = {
    0x5B7E3A14, 0x4C2D, 0x4E8F, {0x9A, 0x61, 0x0D, 0x2B, 0x3C, 0x4E, 0x5F, 0x60}};
// Registered with libKriTestNoEntry as its server.
constexpr platform::CLSID kNoEntryClass = {
    0x5B7E3A15, 0x4C2D, 0x4E8F, {0x9A, 0x61, 0x0D, 0x2B, 0x3C, 0x4E, 0x5F, 0x60}};

// What the failing class's factory answers.
constexpr platform::HRESULT kGreeterFactoryFailure = static_cast<platform::HRESULT>(0x8007000Eu);

class ITestGreeter : public platform::IUnknown {
public:
    // A new string "Hello from <name>" that the caller frees.
    virtual platform::HRESULT KRI_COM_CALL Greet(platform::BSTR name, platform::BSTR* greeting) = 0;
    // How many greeter objects of the plug-in are alive.
    virtual int32_t KRI_COM_CALL LiveObjects() = 0;

protected:
    ~ITestGreeter() = default;
};
