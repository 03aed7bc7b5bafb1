#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>

#include "Platform/ComRuntime.h"
#include "Tools/AtmnSimulator/AtmnSimulator.h"
#include "Tools/AtmnSimulator/SimEntry.h"
#include "Tools/AtmnSimulator/SimPlaylist.h"
#include "Tools/AtmnSimulator/SimulatorClass.h"

namespace atmnsim {

namespace {

// The simulator whose player the current thread is, if any.
thread_local const AtmnSimulator* playerOf = nullptr;

void report(const char* operation, const std::string& message) {
    std::fprintf(stderr, "KriAtmnSimulator: %s: %s\n", operation, message.c_str());
}

// What one player thread holds during one pass of the schedule: its copies of the playlists and
// the entries that stand in them, each with the player's reference.
class PlayerState {
public:
    PlayerState(const Scenario& scenario, const SimulatorSettings& settings, int playerNumber) {
        const bool numbered = settings.threads > 1 && !settings.sharedNames;
        for (const PlaylistDefinition& definition : scenario.playlists) {
            const std::string name =
                numbered ? definition.name + "#" + std::to_string(playerNumber) : definition.name;
            playlists_.push_back(new SimPlaylist(definition.id, name));
            std::vector<SimEntry*> entries;
            for (const EntryValues& values : definition.entries) {
                entries.push_back(new SimEntry(values));
            }
            entries_.push_back(std::move(entries));
        }
    }
    ~PlayerState() {
        for (auto& entries : entries_) {
            for (SimEntry* entry : entries) {
                entry->Release();
            }
        }
        for (SimPlaylist* playlist : playlists_) {
            playlist->Release();
        }
    }
    PlayerState(const PlayerState&) = delete;
    PlayerState& operator=(const PlayerState&) = delete;

    SimPlaylist* playlist(std::size_t index) const { return playlists_[index]; }
    const std::vector<SimEntry*>& entries(std::size_t playlist) const { return entries_[playlist]; }

    void add(std::size_t playlist, const EntryValues& values) {
        entries_[playlist].push_back(new SimEntry(values));
    }

    // The entry with that id; the schedule was checked when it was read, so it is there.
    SimEntry* find(std::size_t playlist, const std::string& id) const {
        const auto& entries = entries_[playlist];
        return *std::find_if(entries.begin(), entries.end(),
                             [&](SimEntry* entry) { return entry->values().id == id; });
    }

    // Puts an entry with the update applied in the place of the old one and returns it.
    SimEntry* replace(std::size_t playlist, const std::string& id, const EntryUpdate& update) {
        auto& entries = entries_[playlist];
        const auto at = std::find_if(entries.begin(), entries.end(),
                                     [&](SimEntry* entry) { return entry->values().id == id; });
        EntryValues values = (*at)->values();
        update.applyTo(values);
        (*at)->Release();
        *at = new SimEntry(std::move(values));
        return *at;
    }

    void remove(std::size_t playlist, SimEntry* entry) {
        auto& entries = entries_[playlist];
        entries.erase(std::find(entries.begin(), entries.end(), entry));
        entry->Release();
    }

private:
    std::vector<SimPlaylist*> playlists_;
    std::vector<std::vector<SimEntry*>> entries_;
};

// Calls the sink; a sink that throws is reported and the play goes on.
template <typename Call>
void callSink(Call call) {
    try {
        call();
    } catch (const std::exception& error) {
        report("event sink", error.what());
    } catch (...) {
        report("event sink", "unknown failure");
    }
}

void playEvent(const ScheduledEvent& event, PlayerState& state, IAtmnEvents* sink) {
    IAtmnPlaylist* playlist = state.playlist(event.playlist);
    switch (event.kind) {
        case EventKind::kAdd: {
            state.add(event.playlist, event.added);
            SimEntry* entry = state.find(event.playlist, event.entryId);
            callSink([&] { sink->onEntryChange(playlist, entry, event.changeCode); });
            break;
        }
        case EventKind::kChange: {
            SimEntry* entry = state.replace(event.playlist, event.entryId, event.update);
            callSink([&] { sink->onEntryChange(playlist, entry, event.changeCode); });
            break;
        }
        case EventKind::kRemove: {
            SimEntry* entry = state.find(event.playlist, event.entryId);
            callSink([&] { sink->onEntryChange(playlist, entry, event.changeCode); });
            state.remove(event.playlist, entry);
            break;
        }
        case EventKind::kSegment: {
            SimEntry* entry = state.replace(event.playlist, event.entryId, event.update);
            callSink([&] { sink->onSegmentChange(playlist, entry, entry->values().segment); });
            break;
        }
        case EventKind::kTime:
            callSink([&] { sink->onTimeUpdate(playlist, 0); });
            break;
        case EventKind::kRemovePlaylist:
            callSink([&] { sink->onPlaylistRemoved(playlist, 0); });
            break;
    }
}

}  // namespace

AtmnSimulator::~AtmnSimulator() {
    stopPlayers();
}

platform::HRESULT KRI_COM_CALL AtmnSimulator::QueryInterface(const platform::IID& iid,
                                                             void** object) {
    if (object == nullptr) {
        return platform::E_POINTER;
    }
    if (iid == IID_IAtmnSystem || iid == platform::IID_IUnknown) {
        *object = static_cast<IAtmnSystem*>(this);
    } else if (iid == IID_IAtmnAdvise) {
        *object = static_cast<IAtmnAdvise*>(this);
    } else {
        *object = nullptr;
        return platform::E_NOINTERFACE;
    }
    AddRef();
    return platform::S_OK;
}

uint32_t KRI_COM_CALL AtmnSimulator::AddRef() {
    return references_.add();
}

uint32_t KRI_COM_CALL AtmnSimulator::Release() {
    return references_.release(this);
}

platform::HRESULT KRI_COM_CALL AtmnSimulator::Connect(platform::BSTR settings) {
    std::optional<SimulatorSettings> parsed;
    try {
        parsed = parseSimulatorSettings(platform::bstrToUtf8(settings));
    } catch (const std::exception& error) {
        std::lock_guard lock(controlMutex_);
        stopPlayers();
        settings_.reset();
        report("Connect", error.what());
        return platform::E_INVALIDARG;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(parsed->connectDelayMs));
    std::lock_guard lock(controlMutex_);
    stopPlayers();
    settings_ = std::move(parsed);
    const Scenario& scenario = settings_->scenario;
    AtmnDate date{};
    AtmnTime time{};
    clock_.read(&date, &time);
    clock_.start(scenario.houseDate.value_or(date), scenario.houseTime.value_or(time),
                 scenario.framesPerSecond, settings_->speed);
    return platform::S_OK;
}

platform::HRESULT KRI_COM_CALL AtmnSimulator::Advise(IAtmnHost* host) {
    if (host == nullptr) {
        return platform::E_POINTER;
    }
    std::lock_guard lock(controlMutex_);
    if (!settings_) {
        report("Advise", "no settings: Connect has not succeeded");
        return platform::E_UNEXPECTED;
    }
    stopPlayers();
    void* sink = nullptr;
    const platform::HRESULT result = host->QueryInterface(IID_IAtmnEvents, &sink);
    if (result < 0 || sink == nullptr) {
        report("Advise", "the host has no event sink");
        return result < 0 ? result : platform::E_NOINTERFACE;
    }
    sink_ = static_cast<IAtmnEvents*>(sink);
    const Scenario& scenario = settings_->scenario;
    AtmnDate date{};
    AtmnTime time{};
    clock_.read(&date, &time);
    const bool eventDriven = settings_->speed == 0 || settings_->intervalMs != 0;
    clock_.start(scenario.houseDate.value_or(date), scenario.houseTime.value_or(time),
                 scenario.framesPerSecond, eventDriven ? 0.0 : settings_->speed);
    stopping_ = false;
    playStart_ = std::chrono::steady_clock::now();
    for (int number = 1; number <= settings_->threads; ++number) {
        players_.emplace_back([this, number] { play(number); });
    }
    return platform::S_OK;
}

platform::HRESULT KRI_COM_CALL AtmnSimulator::Disconnect() {
    if (playerOf == this) {
        return RPC_E_WRONG_THREAD;
    }
    std::lock_guard lock(controlMutex_);
    stopPlayers();
    if (settings_ && settings_->disconnectThrows) {
        throw std::runtime_error("the simulator's Disconnect fails as its settings ask");
    }
    return platform::S_OK;
}

platform::HRESULT KRI_COM_CALL AtmnSimulator::UnnamedSystemMethod() {
    return kAtmnNotSupported;
}

platform::HRESULT KRI_COM_CALL AtmnSimulator::GetHouseTime(AtmnDate* date, AtmnTime* time) {
    if (date == nullptr || time == nullptr) {
        return platform::E_POINTER;
    }
    clock_.read(date, time);
    return platform::S_OK;
}

void AtmnSimulator::stopPlayers() {
    {
        std::lock_guard lock(stopMutex_);
        stopping_ = true;
    }
    stopChanged_.notify_all();
    for (std::thread& player : players_) {
        player.join();
    }
    players_.clear();
    if (sink_ != nullptr) {
        sink_->Release();
        sink_ = nullptr;
    }
}

bool AtmnSimulator::waitUntilDue(int64_t scenarioMs,
                                 std::chrono::steady_clock::time_point& lastEvent) {
    const SimulatorSettings& settings = *settings_;
    std::chrono::steady_clock::time_point due;
    if (settings.intervalMs != 0) {
        due = lastEvent + std::chrono::milliseconds(settings.intervalMs);
    } else if (settings.speed > 0) {
        due = playStart_ +
              std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                  std::chrono::duration<double, std::milli>(scenarioMs / settings.speed));
    } else {
        clock_.advanceTo(scenarioMs);
        return !stopRequested();
    }
    std::unique_lock lock(stopMutex_);
    const bool stopped = stopChanged_.wait_until(lock, due, [this] { return stopRequested(); });
    lastEvent = std::max(due, lastEvent);
    clock_.advanceTo(scenarioMs);
    return !stopped;
}

void AtmnSimulator::play(int playerNumber) {
    playerOf = this;
    const SimulatorSettings& settings = *settings_;
    const Scenario& scenario = settings.scenario;
    auto lastEvent = playStart_;
    for (int pass = 0; settings.repeat == 0 || pass < settings.repeat; ++pass) {
        PlayerState state(scenario, settings, playerNumber);
        const int64_t passStart = pass * scenario.lengthMs;
        for (std::size_t index = 0; index < scenario.playlists.size(); ++index) {
            if (!scenario.playlists[index].announce) {
                continue;
            }
            for (SimEntry* entry : state.entries(index)) {
                if (!waitUntilDue(passStart, lastEvent)) {
                    return;
                }
                callSink(
                    [&] { sink_->onEntryChange(state.playlist(index), entry, kAtmnEntryAdded); });
            }
        }
        for (const ScheduledEvent& event : scenario.events) {
            if (!waitUntilDue(passStart + event.atMs, lastEvent)) {
                return;
            }
            playEvent(event, state, sink_);
        }
        if (stopRequested()) {
            return;
        }
    }
}

IAtmnSystem* createSimulator() {
    return new AtmnSimulator;
}

}  // namespace atmnsim
