// A well-behaved in-process plug-in with three misbehaving classes, for ComRuntimeTest.
#include <atomic>
#include <stdexcept>
#include <string>

#include "Platform/ComRuntime.h"
#include "Platform/Registry.h"
#include "PluginObject.h"
#include "TestGreeter.h"

using namespace platform;

namespace {

std::atomic<int32_t> liveGreeters{0};
std::atomic<int32_t> serverLocks{0};

class Greeter final : public PluginObject<Greeter, ITestGreeter, IID_ITestGreeter> {
public:
    Greeter() { ++liveGreeters; }

    HRESULT KRI_COM_CALL Greet(BSTR name, BSTR* greeting) override {
        *greeting = bstrFromUtf8("Hello from " + bstrToUtf8(name));
        return S_OK;
    }
    int32_t KRI_COM_CALL LiveObjects() override { return liveGreeters; }

private:
    friend PluginObject;
    ~Greeter() { --liveGreeters; }
};

enum class Behaviour { kWorks, kThrows, kFails, kAnswersNull };

class Factory final : public PluginObject<Factory, IClassFactory, IID_IClassFactory> {
public:
    explicit Factory(Behaviour behaviour) : behaviour_(behaviour) {}

    HRESULT KRI_COM_CALL CreateInstance(IUnknown* outer, const IID& iid, void** object) override {
        *object = nullptr;
        switch (behaviour_) {
            case Behaviour::kThrows:
                throw std::runtime_error("factory failure");
            case Behaviour::kFails:
                return kGreeterFactoryFailure;
            case Behaviour::kAnswersNull:
                return S_OK;
            case Behaviour::kWorks:
                break;
        }
        if (outer != nullptr) {
            return CLASS_E_NOAGGREGATION;
        }
        auto* greeter = new Greeter;
        const HRESULT result = greeter->QueryInterface(iid, object);
        greeter->Release();
        return result;
    }
    HRESULT KRI_COM_CALL LockServer(int32_t lock) override {
        serverLocks += lock ? 1 : -1;
        return S_OK;
    }

private:
    friend PluginObject;
    ~Factory() = default;
    Behaviour behaviour_;
};

constexpr CLSID kClasses[] = {kGreeterClass, kThrowingClass, kFailingClass, kNullObjectClass};

}  // namespace

extern "C" HRESULT KRI_COM_CALL DllGetClassObject(const CLSID& clsid, const IID& iid,
                                                  void** object) {
    *object = nullptr;
    Behaviour behaviour;
    if (clsid == kGreeterClass) {
        behaviour = Behaviour::kWorks;
    } else if (clsid == kThrowingClass) {
        behaviour = Behaviour::kThrows;
    } else if (clsid == kFailingClass) {
        behaviour = Behaviour::kFails;
    } else if (clsid == kNullObjectClass) {
        behaviour = Behaviour::kAnswersNull;
    } else {
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    auto* factory = new Factory(behaviour);
    const HRESULT result = factory->QueryInterface(iid, object);
    factory->Release();
    return result;
}

extern "C" HRESULT KRI_COM_CALL DllCanUnloadNow() {
    return liveGreeters == 0 && serverLocks == 0 ? S_OK : S_FALSE;
}

extern "C" HRESULT KRI_COM_CALL DllRegisterServer() {
    const std::string path = modulePathOf(reinterpret_cast<const void*>(&DllRegisterServer));
    bool written = setClassesDefaultValue("Kri.TestGreeter\\CLSID", guidToString(kGreeterClass));
    for (const CLSID& clsid : kClasses) {
        written = written && setClassesDefaultValue(
                                 "CLSID\\" + guidToString(clsid) + "\\InprocServer32", path);
    }
    return written ? S_OK : SELFREG_E_CLASS;
}

extern "C" HRESULT KRI_COM_CALL DllUnregisterServer() {
    RegDeleteTreeA(HKEY_CLASSES_ROOT, "Kri.TestGreeter");
    for (const CLSID& clsid : kClasses) {
        RegDeleteTreeA(HKEY_CLASSES_ROOT, ("CLSID\\" + guidToString(clsid)).c_str());
    }
    return S_OK;
}
