#include "Platform/ComRuntime.h"
#include "Tools/AtmnSimulator/SimEntry.h"
#include "Tools/AtmnSimulator/SimPlaylist.h"

namespace atmnsim {

namespace {

// A copy of the text for the caller to free; E_OUTOFMEMORY (and null) when none can be made.
platform::HRESULT newBstr(const std::string& text, platform::BSTR* out) {
    if (out == nullptr) {
        return platform::E_POINTER;
    }
    *out = platform::bstrFromUtf8(text);
    return *out != nullptr ? platform::S_OK : platform::E_OUTOFMEMORY;
}

template <typename Interface>
platform::HRESULT queryOwn(Interface* self, const platform::IID& ownIid, const platform::IID& iid,
                           void** object) {
    if (object == nullptr) {
        return platform::E_POINTER;
    }
    if (iid == ownIid || iid == platform::IID_IUnknown) {
        self->AddRef();
        *object = self;
        return platform::S_OK;
    }
    *object = nullptr;
    return platform::E_NOINTERFACE;
}

// The interfaces of entries and playlists have no identifiers of their own; these are the
// simulator's, so that QueryInterface can answer for the object itself.
// {D35472C6-3643-4749-B8DA-E8ACFCC6FDC7}
constexpr platform::IID kEntryIid = {
    0xD35472C6, 0x3643, 0x4749, {0xB8, 0xDA, 0xE8, 0xAC, 0xFC, 0xC6, 0xFD, 0xC7}};
// {D35472C6-3643-4749-B8DA-E8ACFCC6FDC8}
constexpr platform::IID kPlaylistIid = {
    0xD35472C6, 0x3643, 0x4749, {0xB8, 0xDA, 0xE8, 0xAC, 0xFC, 0xC6, 0xFD, 0xC8}};

}  // namespace

std::atomic<long>& liveObjects() {
    static std::atomic<long> count{0};
    return count;
}

platform::HRESULT KRI_COM_CALL SimEntry::QueryInterface(const platform::IID& iid, void** object) {
    return queryOwn(this, kEntryIid, iid, object);
}

uint32_t KRI_COM_CALL SimEntry::AddRef() {
    return references_.add();
}

uint32_t KRI_COM_CALL SimEntry::Release() {
    return references_.release(this);
}

platform::HRESULT KRI_COM_CALL SimEntry::GetId(platform::BSTR* id) {
    return newBstr(values_.id, id);
}

platform::HRESULT KRI_COM_CALL SimEntry::GetName(platform::BSTR* name) {
    return newBstr(values_.name, name);
}

platform::HRESULT KRI_COM_CALL SimEntry::GetSegment(int32_t* segment) {
    *segment = values_.segment;
    return platform::S_OK;
}

platform::HRESULT KRI_COM_CALL SimEntry::GetStatus(int32_t* status) {
    *status = values_.status;
    return platform::S_OK;
}

platform::HRESULT KRI_COM_CALL SimEntry::UnnamedEntryMethod() {
    return kAtmnNotSupported;
}

platform::HRESULT KRI_COM_CALL SimEntry::GetOnAirTime(AtmnTime* time) {
    *time = values_.onAirTime;
    return platform::S_OK;
}

platform::HRESULT KRI_COM_CALL SimEntry::GetDuration(AtmnTime* duration) {
    *duration = values_.duration;
    return platform::S_OK;
}

platform::HRESULT KRI_COM_CALL SimEntry::GetOnAirDate(AtmnDate* date) {
    *date = values_.onAirDate;
    return platform::S_OK;
}

platform::HRESULT KRI_COM_CALL SimPlaylist::QueryInterface(const platform::IID& iid,
                                                           void** object) {
    return queryOwn(this, kPlaylistIid, iid, object);
}

uint32_t KRI_COM_CALL SimPlaylist::AddRef() {
    return references_.add();
}

uint32_t KRI_COM_CALL SimPlaylist::Release() {
    return references_.release(this);
}

platform::HRESULT KRI_COM_CALL SimPlaylist::GetName(platform::BSTR* name) {
    return newBstr(name_, name);
}

}  // namespace atmnsim
