// AtmnSimulator: the simulated studio automation system, an in-process component that the
// service creates as its automation component (ProgId "Kri.AtmnSimulator").
//
// Connect reads the settings and the scenario from the "Automation" element's XML text; Advise
// takes the host, queries it for the event sink and starts the player threads, which play the
// scenario's schedule into the sink; Disconnect stops them, waits for them and lets the sink go.
// GetHouseTime reads the running house clock. Created with one reference by the class factory;
// the last Release destroys it, stopping any players first.
//
// Connect, Advise and Disconnect may be called from any thread; each waits for the others. The
// sink is called on the player threads only. GetHouseTime, AddRef and Release may be called from
// any thread, the sink's calls included.
// Requires: Disconnect and the last Release are not called from inside a sink call (a player
// cannot wait for itself; Disconnect refuses with RPC_E_WRONG_THREAD).
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "Tools/AtmnSimulator/HouseClock.h"
#include "Tools/AtmnSimulator/LiveObjects.h"
#include "Tools/AtmnSimulator/ReferenceCount.h"
#include "Tools/AtmnSimulator/Scenario.h"

namespace atmnsim {

constexpr platform::HRESULT RPC_E_WRONG_THREAD = static_cast<platform::HRESULT>(0x8001010Eu);

class AtmnSimulator final : public IAtmnSystem, public IAtmnAdvise {
public:
    AtmnSimulator() = default;
    AtmnSimulator(const AtmnSimulator&) = delete;
    AtmnSimulator& operator=(const AtmnSimulator&) = delete;

    // Answers for IAtmnSystem, IAtmnAdvise and IUnknown.
    platform::HRESULT KRI_COM_CALL QueryInterface(const platform::IID& iid, void** object) override;
    uint32_t KRI_COM_CALL AddRef() override;
    uint32_t KRI_COM_CALL Release() override;

    // Stops any players and takes the new settings; E_INVALIDARG (with the reason on standard
    // error) when they cannot be read.
    platform::HRESULT KRI_COM_CALL Connect(platform::BSTR settings) override;
    platform::HRESULT KRI_COM_CALL Disconnect() override;
    platform::HRESULT KRI_COM_CALL UnnamedSystemMethod() override;
    platform::HRESULT KRI_COM_CALL GetHouseTime(AtmnDate* date, AtmnTime* time) override;

    // Stops any players, then starts them on the new host's sink. E_UNEXPECTED before a
    // successful Connect; the host's failure when it has no IAtmnEvents.
    platform::HRESULT KRI_COM_CALL Advise(IAtmnHost* host) override;

private:
    // Ended by its last Release.
    friend class ReferenceCount;
    ~AtmnSimulator();

    void stopPlayers();
    void play(int playerNumber);
    bool stopRequested() const { return stopping_.load(); }
    // Waits until the player's next event is due; false when asked to stop meanwhile.
    bool waitUntilDue(int64_t scenarioMs, std::chrono::steady_clock::time_point& lastEvent);

    ReferenceCount references_;
    LiveObject live_;

    // Serialises Connect, Advise and Disconnect. settings_ and sink_ change only under it and
    // while no players run; the players read them.
    std::mutex controlMutex_;
    std::optional<SimulatorSettings> settings_;
    IAtmnEvents* sink_ = nullptr;
    std::vector<std::thread> players_;
    std::chrono::steady_clock::time_point playStart_;

    std::mutex stopMutex_;
    std::condition_variable stopChanged_;
    std::atomic<bool> stopping_{false};

    HouseClock clock_;
};

}  // namespace atmnsim
