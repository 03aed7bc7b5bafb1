// SimEntry: one entry of a simulated playlist, as the simulator hands it to the event sink.
//
// Made by a player thread of AtmnSimulator with one reference, which the player keeps while the
// entry stands in its playlist. Its values never change: a change makes a new SimEntry, so a sink
// that keeps a reference and reads later, on any thread, reads consistent values. AddRef and
// Release may be called from any thread.
#pragma once


#include "Tools/AtmnSimulator/LiveObjects.h"
#include "Tools/AtmnSimulator/ReferenceCount.h"
#include "Tools/AtmnSimulator/Scenario.h"

namespace atmnsim {

class SimEntry final : public IAtmnEntry {
public:
    explicit SimEntry(EntryValues values) : values_(std::move(values)) {}

    const EntryValues& values() const { return values_; }

    platform::HRESULT KRI_COM_CALL QueryInterface(const platform::IID& iid, void** object) override;
    uint32_t KRI_COM_CALL AddRef() override;
    uint32_t KRI_COM_CALL Release() override;
    platform::HRESULT KRI_COM_CALL GetId(platform::BSTR* id) override;
    platform::HRESULT KRI_COM_CALL GetName(platform::BSTR* name) override;
    platform::HRESULT KRI_COM_CALL GetSegment(int32_t* segment) override;
    platform::HRESULT KRI_COM_CALL GetStatus(int32_t* status) override;
    platform::HRESULT KRI_COM_CALL UnnamedEntryMethod() override;
    platform::HRESULT KRI_COM_CALL GetOnAirTime(AtmnTime* time) override;
    platform::HRESULT KRI_COM_CALL GetDuration(AtmnTime* duration) override;
    platform::HRESULT KRI_COM_CALL GetOnAirDate(AtmnDate* date) override;

private:
    // Ended by its last Release.
    friend class ReferenceCount;
    ~SimEntry() = default;

    const EntryValues values_;
    ReferenceCount references_;
    LiveObject live_;
};

}  // namespace atmnsim
