// The plug-in's entry points: the class factory for AtmnSimulator, self-registration under the
// ProgId "Kri.AtmnSimulator" with the threading model "Apartment" (its objects expect their
// calls from the apartment that made them), and the unload check.
#include <atomic>
#include <string>

#include "Platform/ComRuntime.h"
#include "Platform/Registry.h"
#include "Tools/AtmnSimulator/AtmnSimulator.h"
#include "Tools/AtmnSimulator/SimulatorClass.h"

using namespace platform;

namespace {

std::atomic<int32_t> serverLocks{0};

// One factory for the life of the plug-in; it is not counted as a live object.
class SimulatorFactory final : public IClassFactory {
public:
    HRESULT KRI_COM_CALL QueryInterface(const IID& iid, void** object) override {
        if (object == nullptr) {
            return E_POINTER;
        }
        if (iid == IID_IClassFactory || iid == IID_IUnknown) {
            *object = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    uint32_t KRI_COM_CALL AddRef() override { return 2; }
    uint32_t KRI_COM_CALL Release() override { return 1; }
    HRESULT KRI_COM_CALL CreateInstance(IUnknown* outer, const IID& iid, void** object) override {
        if (object == nullptr) {
            return E_POINTER;
        }
        *object = nullptr;
        if (outer != nullptr) {
            return CLASS_E_NOAGGREGATION;
        }
        IAtmnSystem* simulator = atmnsim::createSimulator();
        const HRESULT result = simulator->QueryInterface(iid, object);
        simulator->Release();
        return result;
    }
    HRESULT KRI_COM_CALL LockServer(int32_t lock) override {
        serverLocks += lock ? 1 : -1;
        return S_OK;
    }
};

SimulatorFactory factory;

}  // namespace

extern "C" HRESULT KRI_COM_CALL DllGetClassObject(const CLSID& clsid, const IID& iid,
                                                  void** object) {
    if (object == nullptr) {
        return E_POINTER;
    }
    *object = nullptr;
    if (!(clsid == atmnsim::CLSID_AtmnSimulator)) {
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    return factory.QueryInterface(iid, object);
}

extern "C" HRESULT KRI_COM_CALL DllCanUnloadNow() {
    return atmnsim::liveObjects().load() == 0 && serverLocks.load() == 0 ? S_OK : S_FALSE;
}

extern "C" HRESULT KRI_COM_CALL DllRegisterServer() {
    const std::string path = modulePathOf(reinterpret_cast<const void*>(&DllRegisterServer));
    const std::string classKey = "CLSID\\" + guidToString(atmnsim::CLSID_AtmnSimulator);
    const bool written =
        !path.empty() &&
        setClassesDefaultValue(atmnsim::kSimulatorProgId, atmnsim::kSimulatorDescription) &&
        setClassesDefaultValue(std::string(atmnsim::kSimulatorProgId) + "\\CLSID",
                               guidToString(atmnsim::CLSID_AtmnSimulator)) &&
        setClassesDefaultValue(classKey, atmnsim::kSimulatorDescription) &&
        setClassesDefaultValue(classKey + "\\ProgID", atmnsim::kSimulatorProgId) &&
        setClassesDefaultValue(classKey + "\\InprocServer32", path) &&
        setClassesValue(classKey + "\\InprocServer32", "ThreadingModel", "Apartment");
    return written ? S_OK : SELFREG_E_CLASS;
}

extern "C" HRESULT KRI_COM_CALL DllUnregisterServer() {
    const std::string classKey = "CLSID\\" + guidToString(atmnsim::CLSID_AtmnSimulator);
    for (const std::string& key : {std::string(atmnsim::kSimulatorProgId), classKey}) {
        const LSTATUS status = RegDeleteTreeA(HKEY_CLASSES_ROOT, key.c_str());
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
            return SELFREG_E_CLASS;
        }
    }
    return S_OK;
}
