// SimulatorSettings: what the simulated automation component plays and how, as read from the
// "Automation" element that Connect receives (the format is described in ScenarioParser.cpp and
// docs/scenario.md).
//
// A plain value, built once by parseSimulatorSettings and then only read, by the component's
// player threads at the same time.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnInterfaces.h"

namespace atmnsim {

// A setting or scenario the simulator cannot play; the message says what and where.
class ScenarioError : public std::runtime_error {
public:
    explicit ScenarioError(const std::string& message) : std::runtime_error(message) {}
};

struct EntryValues {
    std::string id;
    std::string name;
    int32_t status = kAtmnStatusPending;
    AtmnDate onAirDate{};
    AtmnTime onAirTime{};
    AtmnTime duration{};
    int32_t segment = 0;
};

// The values an event gives for an entry; absent ones keep what the entry had.
struct EntryUpdate {
    std::optional<std::string> name;
    std::optional<int32_t> status;
    std::optional<AtmnDate> onAirDate;
    std::optional<AtmnTime> onAirTime;
    std::optional<AtmnTime> duration;
    std::optional<int32_t> segment;

    void applyTo(EntryValues& entry) const;
};

struct PlaylistDefinition {
    int32_t id = 0;
    std::string name;
    // Present when the schedule starts; reported as added first unless announce is false.
    std::vector<EntryValues> entries;
    bool announce = true;
};

enum class EventKind { kAdd, kChange, kRemove, kTime, kSegment, kRemovePlaylist };

struct ScheduledEvent {
    int64_t atMs = 0;  // from the start of the schedule, in scenario time
    EventKind kind = EventKind::kTime;
    std::size_t playlist = 0;  // index into Scenario::playlists
    std::string entryId;       // for entry events
    EntryUpdate update;        // for kChange and kSegment
    EntryValues added;         // for kAdd: the new entry
    int32_t changeCode = 0;    // what onEntryChange reports for kAdd, kChange and kRemove
    std::string description;   // names the event in messages: "Schedule item 3 (<Change at=...>)"
};

struct Scenario {
    std::vector<PlaylistDefinition> playlists;
    std::vector<ScheduledEvent> events;  // in the order they are played
    int64_t lengthMs = 0;                // one pass of the schedule; repetitions follow each other
    std::optional<AtmnDate> houseDate;   // where the house clock starts; absent: the local
    std::optional<AtmnTime> houseTime;   // date and time at Connect
    int32_t framesPerSecond = 25;
};

struct SimulatorSettings {
    int threads = 1;
    // Scenario seconds per real second; 0 plays without pauses ("fast").
    double speed = 1.0;
    // When not 0, events follow each other this many real milliseconds apart, whatever their times.
    uint32_t intervalMs = 0;
    int repeat = 1;  // passes of the schedule per thread; 0: until Disconnect
    // With several threads each plays its own copy of the playlists, named "<name>#<thread>",
    // unless sharedNames is true.
    bool sharedNames = false;
    // Faults for commissioning and tests: Connect takes this long before it answers, and
    // Disconnect throws once it has stopped playing.
    uint32_t connectDelayMs = 0;
    bool disconnectThrows = false;
    Scenario scenario;
};

// Reads the settings from the XML text of the "Automation" element. Throws ScenarioError.
SimulatorSettings parseSimulatorSettings(const std::string& automationXml);

// "Pending", "Running", ... or a number; nothing for other text.
std::optional<int32_t> statusFromText(const std::string& text);

}  // namespace atmnsim
