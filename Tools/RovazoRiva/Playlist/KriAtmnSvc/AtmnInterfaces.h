// The interfaces between the service and the studio's automation component.
//
// The service implements IAtmnUnknown, IAtmnHost and IAtmnEvents; the component implements
// IAtmnSystem, IAtmnAdvise, IAtmnPlaylist and IAtmnEntry. Both sides are built against this
// header, so the method tables must match slot for slot: each interface is a class of pure
// virtual methods in exactly the order below, with no data and no virtual destructor (see
// platform::IUnknown). Methods that have no known name keep their slot under a name that says
// so; they do nothing and are never called. Interfaces are reference counted; a string returned
// through an out-parameter belongs to the caller, who frees it with platform::SysFreeString.
// Methods use COM's calling convention (KRI_COM_CALL), which matters on 32-bit Windows.
//
// The component calls IAtmnEvents on threads of its own; the other service-side methods are
// called on the thread that holds the interface.
#pragma once

#include <cstdint>

#include "Platform/Com.h"
#include "Tools/RovazoRiva/Common/KriStatusCodes.h"

// {81C573AB-251F-42F2-923A-00DC3EEC2BAD}
constexpr platform::IID IID_IAtmnUnknown = {
    0x81C573AB, 0x251F, 0x42F2, {0x92, 0x3A, 0x00, 0xDC, 0x3E, 0xEC, 0x2B, 0xAD}};
// {678C81B0-212E-4399-95A3-B0EADD508726}
constexpr platform::IID IID_IAtmnHost = {
    0x678C81B0, 0x212E, 0x4399, {0x95, 0xA3, 0xB0, 0xEA, 0xDD, 0x50, 0x87, 0x26}};
// {10B29282-8C4C-4AFE-8B83-D73F5739A36E}
constexpr platform::IID IID_IAtmnEvents = {
    0x10B29282, 0x8C4C, 0x4AFE, {0x8B, 0x83, 0xD7, 0x3F, 0x57, 0x39, 0xA3, 0x6E}};
// {F0C31608-C5D8-49B6-BD9A-B0E1BB2A8671}
constexpr platform::IID IID_IAtmnSystem = {
    0xF0C31608, 0xC5D8, 0x49B6, {0xBD, 0x9A, 0xB0, 0xE1, 0xBB, 0x2A, 0x86, 0x71}};
// {91FA2C6E-7563-4537-A063-2FF373D9734C}
constexpr platform::IID IID_IAtmnAdvise = {
    0x91FA2C6E, 0x7563, 0x4537, {0xA0, 0x63, 0x2F, 0xF3, 0x73, 0xD9, 0x73, 0x4C}};

struct AtmnDate {
    int32_t year;
    int32_t month;
    int32_t day;
};

// Hours, minutes, seconds and frames.
struct AtmnTime {
    int32_t hh;
    int32_t mm;
    int32_t ss;
    int32_t ff;
};

// What IAtmnEvents::onEntryChange reports.
enum AtmnEntryChange : int32_t {
    kAtmnEntryAdded = 1,
    kAtmnEntryChanged = 2,
    kAtmnEntryRemoved = 3,
};

// What IAtmnEntry::GetStatus reports; other values are possible and mean no known status.
enum AtmnEntryStatus : int32_t {
    kAtmnStatusDone = 1,
    kAtmnStatusRunning = 2,
    kAtmnStatusPrerolled = 3,
    kAtmnStatusPostrolled = 4,
    kAtmnStatusStandby = 5,
    kAtmnStatusNotPlayed = 6,
    kAtmnStatusSkipped = 7,
    kAtmnStatusPending = 8,
};

class IAtmnPlaylist;
class IAtmnEntry;

// The service object's primary interface. Its table has a fourth slot after Release: the
// object's destructor. A C++ virtual destructor cannot stand for it, because under the
// Itanium ABI it takes two slots (complete and deleting destructor) where the Windows table
// has one; the slot is therefore declared as an ordinary method. Release calls it when the
// count reaches zero; nobody else does, so it keeps the compiler's own calling convention.
class IAtmnUnknown : public platform::IUnknown {
public:
    virtual void DestroySelf() = 0;

protected:
    ~IAtmnUnknown() = default;
};

// Handed to the component through IAtmnAdvise::Advise; the component queries it for
// IAtmnEvents. Its three own methods have no names; each returns kAtmnNotSupported.
class IAtmnHost : public platform::IUnknown {
public:
    virtual platform::HRESULT KRI_COM_CALL UnnamedHostMethod1() = 0;
    virtual platform::HRESULT KRI_COM_CALL UnnamedHostMethod2() = 0;
    virtual platform::HRESULT KRI_COM_CALL UnnamedHostMethod3(int32_t value) = 0;

protected:
    ~IAtmnHost() = default;
};

// The event sink. Each method returns kAtmnOk. The component keeps its references to the
// playlist and entry objects; the sink adds its own for the duration of a call.
class IAtmnEvents : public platform::IUnknown {
public:
    // change is an AtmnEntryChange; other values send nothing.
    virtual platform::HRESULT KRI_COM_CALL onEntryChange(IAtmnPlaylist* playlist, IAtmnEntry* entry,
                                                         int32_t change) = 0;
    virtual platform::HRESULT KRI_COM_CALL onPlaylistRemoved(IAtmnPlaylist* playlist,
                                                             int32_t unused) = 0;
    virtual platform::HRESULT KRI_COM_CALL onTimeUpdate(IAtmnPlaylist* playlist,
                                                        int32_t unused) = 0;
    virtual platform::HRESULT KRI_COM_CALL onSegmentChange(IAtmnPlaylist* playlist,
                                                           IAtmnEntry* entry, int32_t segment) = 0;

protected:
    ~IAtmnEvents() = default;
};

// The component itself, as created from its class identifier.
class IAtmnSystem : public platform::IUnknown {
public:
    // settings: the XML text of the configuration's "Automation" element.
    virtual platform::HRESULT KRI_COM_CALL Connect(platform::BSTR settings) = 0;
    virtual platform::HRESULT KRI_COM_CALL Disconnect() = 0;
    virtual platform::HRESULT KRI_COM_CALL UnnamedSystemMethod() = 0;
    // Fills both structures.
    virtual platform::HRESULT KRI_COM_CALL GetHouseTime(AtmnDate* date, AtmnTime* time) = 0;

protected:
    ~IAtmnSystem() = default;
};

// Obtained from IAtmnSystem::QueryInterface; takes the service's host interface.
class IAtmnAdvise : public platform::IUnknown {
public:
    virtual platform::HRESULT KRI_COM_CALL Advise(IAtmnHost* host) = 0;

protected:
    ~IAtmnAdvise() = default;
};

class IAtmnPlaylist : public platform::IUnknown {
public:
    // The playlist number itself, not a status.
    virtual int32_t KRI_COM_CALL GetId() = 0;
    virtual platform::HRESULT KRI_COM_CALL GetName(platform::BSTR* name) = 0;

protected:
    ~IAtmnPlaylist() = default;
};

class IAtmnEntry : public platform::IUnknown {
public:
    virtual platform::HRESULT KRI_COM_CALL GetId(platform::BSTR* id) = 0;
    virtual platform::HRESULT KRI_COM_CALL GetName(platform::BSTR* name) = 0;
    // The caller presets *segment to 0; a component may leave it untouched.
    virtual platform::HRESULT KRI_COM_CALL GetSegment(int32_t* segment) = 0;
    // *status is an AtmnEntryStatus or another value.
    virtual platform::HRESULT KRI_COM_CALL GetStatus(int32_t* status) = 0;
    virtual platform::HRESULT KRI_COM_CALL UnnamedEntryMethod() = 0;
    virtual platform::HRESULT KRI_COM_CALL GetOnAirTime(AtmnTime* time) = 0;
    virtual platform::HRESULT KRI_COM_CALL GetDuration(AtmnTime* duration) = 0;
    virtual platform::HRESULT KRI_COM_CALL GetOnAirDate(AtmnDate* date) = 0;

protected:
    ~IAtmnEntry() = default;
};
