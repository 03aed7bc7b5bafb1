// The interfaces and class of libKriTestTicker, a Windows plug-in registered with ThreadingModel
// "Apartment" that behaves as many single-threaded components do: a thread of its own posts each
// tick to a window made on the thread that created the object, and the window's procedure calls
// the sink. The ticks therefore arrive only while the creating thread dispatches its messages.
#pragma once

#include "Platform/Com.h"

// {5B7E3A20-4C2D-4E8F-9A61-0D2B3C4E5F60}
constexpr platform::IID IID_ITestTicker = {
    0x5B7E3A20, 0x4C2D, 0x4E8F, {0x9A, 0x61, 0x0D, 0x2B, 0x3C, 0x4E, 0x5F, 0x60}};
constexpr platform::IID IID_ITestTickSink = {
    0x5B7E3A21, 0x4C2D, 0x4E8F, {0x9A, 0x61, 0x0D, 0x2B, 0x3C, 0x4E, 0x5F, 0x60}};
constexpr platform::CLSID kTickerClass = {
    0x5B7E3A22, 0x4C2D, 0x4E8F, {0x9A, 0x61, 0x0D, 0x2B, 0x3C, 0x4E, 0x5F, 0x60}};

class ITestTickSink : public platform::IUnknown {
public:
    virtual platform::HRESULT KRI_COM_CALL Tick(int32_t number) = 0;

protected:
    ~ITestTickSink() = default;
};

class ITestTicker : public platform::IUnknown {
public:
    // Posts ticks 0 to count - 1, in that order, from a thread of the plug-in's; each reaches the
    // sink on the thread that created the ticker. One Start per object.
    virtual platform::HRESULT KRI_COM_CALL Start(ITestTickSink* sink, int32_t count) = 0;

protected:
    ~ITestTicker() = default;
};
