// libKriTestTicker (see TestTicker.h). Its objects are called on their creating thread only, as
// the "Apartment" model promises them; the last Release, there too, waits for the posting thread.
#include <atomic>
#include <string>
#include <thread>

#include "Platform/ComRuntime.h"
#include "Platform/Registry.h"
#include "PluginObject.h"
#include "TestTicker.h"
#include "TickWindow.h"

using namespace platform;

namespace {

std::atomic<int32_t> liveTickers{0};

class Ticker final : public PluginObject<Ticker, ITestTicker, IID_ITestTicker> {
public:
    Ticker() : window_([this](int32_t number) { sink_->Tick(number); }) { ++liveTickers; }

    HRESULT KRI_COM_CALL Start(ITestTickSink* sink, int32_t count) override {
        if (!window_.made() || sink == nullptr || poster_.joinable()) {
            return E_UNEXPECTED;
        }
        sink->AddRef();
        sink_ = sink;
        poster_ = std::thread([this, count] {
            for (int32_t number = 0; number < count; ++number) {
                window_.post(number);
            }
        });
        return S_OK;
    }

private:
    friend PluginObject;
    ~Ticker() {
        if (poster_.joinable()) {
            poster_.join();
        }
        if (sink_ != nullptr) {
            sink_->Release();
        }
        --liveTickers;
    }

    ITestTickSink* sink_ = nullptr;
    // Made on the creating thread and destroyed there; ticks still queued then are dropped.
    TickWindow window_;
    std::thread poster_;
};

class Factory final : public PluginObject<Factory, IClassFactory, IID_IClassFactory> {
public:
    HRESULT KRI_COM_CALL CreateInstance(IUnknown* outer, const IID& iid, void** object) override {
        *object = nullptr;
        if (outer != nullptr) {
            return CLASS_E_NOAGGREGATION;
        }
        auto* ticker = new Ticker;
        const HRESULT result = ticker->QueryInterface(iid, object);
        ticker->Release();
        return result;
    }
    HRESULT KRI_COM_CALL LockServer(int32_t) override { return S_OK; }

private:
    friend PluginObject;
    ~Factory() = default;
};

}  // namespace

extern "C" HRESULT KRI_COM_CALL DllGetClassObject(const CLSID& clsid, const IID& iid,
                                                  void** object) {
    *object = nullptr;
    if (!(clsid == kTickerClass)) {
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    auto* factory = new Factory;
    const HRESULT result = factory->QueryInterface(iid, object);
    factory->Release();
    return result;
}

extern "C" HRESULT KRI_COM_CALL DllCanUnloadNow() {
    return liveTickers == 0 ? S_OK : S_FALSE;
}

extern "C" HRESULT KRI_COM_CALL DllRegisterServer() {
    const std::string path = modulePathOf(reinterpret_cast<const void*>(&DllRegisterServer));
    const std::string serverKey = "CLSID\\" + guidToString(kTickerClass) + "\\InprocServer32";
    return setClassesDefaultValue(serverKey, path) &&
                   setClassesValue(serverKey, "ThreadingModel", "Apartment")
               ? S_OK
               : SELFREG_E_CLASS;
}

extern "C" HRESULT KRI_COM_CALL DllUnregisterServer() {
    RegDeleteTreeA(HKEY_CLASSES_ROOT, ("CLSID\\" + guidToString(kTickerClass)).c_str());
    return S_OK;
}
