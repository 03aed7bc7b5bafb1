// SimPlaylist: one simulated playlist as the simulator hands it to the event sink: its number
// and its name, which never change.
//
// Made by a player thread of AtmnSimulator with one reference, which the player keeps for a
// pass of the schedule. AddRef and Release may be called from any thread.
#pragma once

#include <string>

#include "Tools/AtmnSimulator/LiveObjects.h"
#include "Tools/AtmnSimulator/ReferenceCount.h"
#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnInterfaces.h"

namespace atmnsim {

class SimPlaylist final : public IAtmnPlaylist {
public:
    SimPlaylist(int32_t id, std::string name) : id_(id), name_(std::move(name)) {}

    platform::HRESULT KRI_COM_CALL QueryInterface(const platform::IID& iid, void** object) override;
    uint32_t KRI_COM_CALL AddRef() override;
    uint32_t KRI_COM_CALL Release() override;
    int32_t KRI_COM_CALL GetId() override { return id_; }
    platform::HRESULT KRI_COM_CALL GetName(platform::BSTR* name) override;

private:
    // Ended by its last Release.
    friend class ReferenceCount;
    ~SimPlaylist() = default;

    const int32_t id_;
    const std::string name_;
    ReferenceCount references_;
    LiveObject live_;
};

}  // namespace atmnsim
