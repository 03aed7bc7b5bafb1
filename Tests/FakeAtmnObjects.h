// Fake automation component objects for tests: an entry, a playlist and the component's system
// interface, each filled with whatever values a test sets.
//
// Each fake starts with one reference, the one the component keeps, and checks what a caller
// does with it: calls made without a reference of the caller's own, and releases beyond the
// references taken, are counted as faults. Every call is recorded by name in order. A test names
// a method in failIn to make that method throw, as a misbehaving component would. Strings are
// handed out as new BSTRs that belong to the caller; platform::liveBstrCount shows whether they
// were freed.
//
// Used on the test's thread only.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "Platform/Com.h"
#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnInterfaces.h"

namespace fakes {

// Reference counting and call recording shared by the fakes.
class FakeObjectState {
public:
    std::vector<std::string> calls;
    std::string failIn;
    int references = 1;
    int callsWithoutReference = 0;
    int excessReleases = 0;

    uint32_t addRef() {
        calls.push_back("AddRef");
        return static_cast<uint32_t>(++references);
    }

    uint32_t release() {
        calls.push_back("Release");
        if (references <= 1) {
            ++excessReleases;
        } else {
            --references;
        }
        return static_cast<uint32_t>(references);
    }

    // Records a call; throws if the test asked this method to fail. The caller must hold a
    // reference of its own unless it is the object's owner (callerOwns).
    void enter(const char* method, bool callerOwns = false) {
        calls.push_back(method);
        if (!callerOwns && references < 2) {
            ++callsWithoutReference;
        }
        if (failIn == method) {
            throw std::runtime_error(std::string("component failed in ") + method);
        }
    }
};

inline platform::BSTR newBstr(const std::u16string& text) {
    return platform::SysAllocStringLen(text.data(), static_cast<uint32_t>(text.size()));
}

class FakeEntry : public IAtmnEntry {
public:
    FakeObjectState state;
    // none: the method leaves its out-parameter untouched
    std::optional<std::u16string> id = u"E-1";
    std::optional<std::u16string> name = u"News";
    std::optional<int32_t> segment = 1;
    int32_t status = kAtmnStatusRunning;
    AtmnDate onAirDate{2024, 3, 9};
    AtmnTime onAirTime{18, 30, 0, 0};
    AtmnTime duration{0, 2, 30, 12};

    platform::HRESULT KRI_COM_CALL QueryInterface(const platform::IID&, void** object) override {
        *object = nullptr;
        return kAtmnNotSupported;
    }
    uint32_t KRI_COM_CALL AddRef() override { return state.addRef(); }
    uint32_t KRI_COM_CALL Release() override { return state.release(); }
    platform::HRESULT KRI_COM_CALL GetId(platform::BSTR* out) override {
        state.enter("GetId");
        if (id) {
            *out = newBstr(*id);
        }
        return 0;
    }
    platform::HRESULT KRI_COM_CALL GetName(platform::BSTR* out) override {
        state.enter("GetName");
        if (name) {
            *out = newBstr(*name);
        }
        return 0;
    }
    platform::HRESULT KRI_COM_CALL GetSegment(int32_t* out) override {
        state.enter("GetSegment");
        if (segment) {
            *out = *segment;
        }
        return 0;
    }
    platform::HRESULT KRI_COM_CALL GetStatus(int32_t* out) override {
        state.enter("GetStatus");
        *out = status;
        return 0;
    }
    platform::HRESULT KRI_COM_CALL UnnamedEntryMethod() override {
        state.enter("UnnamedEntryMethod");
        return kAtmnNotSupported;
    }
    platform::HRESULT KRI_COM_CALL GetOnAirTime(AtmnTime* out) override {
        state.enter("GetOnAirTime");
        *out = onAirTime;
        return 0;
    }
    platform::HRESULT KRI_COM_CALL GetDuration(AtmnTime* out) override {
        state.enter("GetDuration");
        *out = duration;
        return 0;
    }
    platform::HRESULT KRI_COM_CALL GetOnAirDate(AtmnDate* out) override {
        state.enter("GetOnAirDate");
        *out = onAirDate;
        return 0;
    }
};

class FakePlaylist : public IAtmnPlaylist {
public:
    FakeObjectState state;
    int32_t id = 7;
    std::u16string name = u"Main";

    platform::HRESULT KRI_COM_CALL QueryInterface(const platform::IID&, void** object) override {
        *object = nullptr;
        return kAtmnNotSupported;
    }
    uint32_t KRI_COM_CALL AddRef() override { return state.addRef(); }
    uint32_t KRI_COM_CALL Release() override { return state.release(); }
    int32_t KRI_COM_CALL GetId() override {
        state.enter("GetId");
        return id;
    }
    platform::HRESULT KRI_COM_CALL GetName(platform::BSTR* out) override {
        state.enter("GetName");
        *out = newBstr(name);
        return 0;
    }
};

// The component's system interface; only the house time does anything. The service keeps its
// reference to the component for as long as the component is bound, so the fake's one
// reference stands for the caller's.
class FakeSystem : public IAtmnSystem {
public:
    FakeObjectState state;
    AtmnDate houseDate{2024, 12, 31};
    AtmnTime houseTime{23, 59, 59, 24};

    platform::HRESULT KRI_COM_CALL QueryInterface(const platform::IID&, void** object) override {
        *object = nullptr;
        return kAtmnNotSupported;
    }
    uint32_t KRI_COM_CALL AddRef() override { return state.addRef(); }
    uint32_t KRI_COM_CALL Release() override { return state.release(); }
    platform::HRESULT KRI_COM_CALL Connect(platform::BSTR) override {
        state.enter("Connect", true);
        return 0;
    }
    platform::HRESULT KRI_COM_CALL Disconnect() override {
        state.enter("Disconnect", true);
        return 0;
    }
    platform::HRESULT KRI_COM_CALL UnnamedSystemMethod() override {
        state.enter("UnnamedSystemMethod", true);
        return kAtmnNotSupported;
    }
    platform::HRESULT KRI_COM_CALL GetHouseTime(AtmnDate* date, AtmnTime* time) override {
        state.enter("GetHouseTime", true);
        *date = houseDate;
        *time = houseTime;
        return 0;
    }
};

}  // namespace fakes
