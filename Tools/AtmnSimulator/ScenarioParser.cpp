// Reads the simulated automation component's settings and scenario.
//
// The service hands the component its configuration's "Automation" element. Everything the
// simulator needs sits inside it (docs/scenario.md has the same with a longer example):
//
//   <Automation progid="Kri.AtmnSimulator">
//     <Simulator threads="1" speed="1" interval="0" repeat="1" sharedNames="false"
//                scenario="/etc/kri/studio-hour.xml"/>
//     <Scenario> ... </Scenario>         (inline, used when "scenario" names no file)
//   </Automation>
//
// Simulator (optional; every attribute optional):
//   threads      how many threads of the simulator play the scenario at once (1..64). Each plays
//                its own copy of the playlists, named "<name>#<n>" (n from 1) when threads > 1,
//                unless sharedNames="true".
//   speed        scenario seconds per real second ("2" plays twice as fast); "fast" or "0" plays
//                without any pause.
//   interval     milliseconds between two events, replacing their scenario times; 0: unused.
//   repeat       passes of the schedule per thread; 0 or "forever" plays until Disconnect. Each
//                pass starts again from the playlists as declared.
//   scenario     a file holding the <Scenario> element as its root; relative paths are taken
//                from the component's current directory.
//   connectDelay milliseconds that Connect takes before it answers (0..600000), as a slow
//                automation system would.
//   disconnectThrows  "true": Disconnect throws an exception once it has stopped playing.
//
// Scenario:
//   <Scenario houseDate="2024-03-09" houseTime="17:59:50:00" fps="25" length="3600">
//     <Playlist id="1" name="Main" announce="true">
//       <Entry id="E-100" name="Evening News" status="Pending" date="2024-03-09"
//              time="18:00:00:00" duration="00:14:30:00" segment="1"/>
//     </Playlist>
//     <Schedule>
//       <Change at="10" playlist="Main" entry="E-100" status="Running"/>
//       ...
//     </Schedule>
//   </Scenario>
//
//   houseDate, houseTime  where GetHouseTime's clock starts (default: the local date and time at
//                Connect); the clock then runs with the scenario: at "speed" in timed play, and
//                with the time of the latest event in fast or interval play.
//   fps          frames per second of the house clock's "ff" field (default 25).
//   length       seconds of one pass of the schedule (default: the time of its last event).
//   Playlist     id (a number) and name are required. Its Entry elements are present when the
//                schedule starts; with announce="true" (the default) each is reported as added,
//                in order, before the first scheduled event.
//   Entry        id is required; name (default: the id), status (Done, Running, Prerolled,
//                Postrolled, Standby, NotPlayed, Skipped, Pending or a number; default Pending),
//                date (yyyy-mm-dd; default the house date), time and duration (hh:mm:ss:ff or
//                hh:mm:ss; default 00:00:00:00) and segment (a number; default 0).
//
// Schedule: events, each with "at", the time from the start of the pass, in seconds ("90",
// "1.5") or as mm:ss or hh:mm:ss; events with equal times keep their document order. Every event
// names its playlist by "playlist" (the declared name).
//   <Add entry="E-7" .../>           a new entry, attributes as for Entry; reports change code 1.
//   <Change entry="E-7" .../>        changes the given attributes; reports code 2.
//   <Remove entry="E-7"/>            reports code 3 and takes the entry out of the playlist.
//   <Time/>                          a house-time update for the playlist.
//   <Segment entry="E-7" segment="2"/>  the entry's segment changes and fires.
//   <RemovePlaylist/>                reports the playlist removed; it keeps its entries, and
//                                    later events may still name it.
// Add, Change and Remove take code="n" to report another change code (0 or 4, say) while
// doing the same to the playlist. An event that names an entry the playlist does not hold at
// that moment (or an Add of one it holds) is an error, found when the settings are read.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <set>
#include <string_view>

#include "LibraryInterfaces/DomParse.h"
#include "Platform/Clock.h"
#include "Tools/AtmnSimulator/Scenario.h"

namespace atmnsim {

namespace {

constexpr int kMaxThreads = 64;

struct StatusName {
    const char* text;
    int32_t code;
};
constexpr StatusName kStatusNames[] = {
    {"Done", kAtmnStatusDone},           {"Running", kAtmnStatusRunning},
    {"Prerolled", kAtmnStatusPrerolled}, {"Postrolled", kAtmnStatusPostrolled},
    {"Standby", kAtmnStatusStandby},     {"NotPlayed", kAtmnStatusNotPlayed},
    {"Skipped", kAtmnStatusSkipped},     {"Pending", kAtmnStatusPending},
};

// An element with the name of the place it stands in, for messages.
struct Item {
    CElementNode element;
    std::string where;

    std::optional<std::string> attribute(const char* name) const {
        CAttributeNode found = element[name];
        if (found.IsEmpty()) {
            return std::nullopt;
        }
        return std::string(found.GetNodeValue().c_str());
    }

    std::string required(const char* name) const {
        auto value = attribute(name);
        if (!value || value->empty()) {
            fail(std::string("needs the attribute \"") + name + "\"");
        }
        return *value;
    }

    [[noreturn]] void fail(const std::string& what) const {
        throw ScenarioError(where + ": " + what);
    }

    [[noreturn]] void badValue(const char* name, const std::string& value,
                               const char* expected) const {
        fail(std::string("attribute \"") + name + "\" is \"" + value + "\", expected " + expected);
    }
};

bool parseWhole(std::string_view text, long& out) {
    if (text.empty()) {
        return false;
    }
    const std::string copy(text);
    char* end = nullptr;
    errno = 0;
    out = std::strtol(copy.c_str(), &end, 10);
    return errno == 0 && *end == '\0' && end != copy.c_str();
}

long intAttribute(const Item& item, const char* name, long fallback, long low, long high) {
    const auto text = item.attribute(name);
    if (!text) {
        return fallback;
    }
    long value = 0;
    if (!parseWhole(*text, value) || value < low || value > high) {
        item.badValue(
            name, *text,
            ("a whole number from " + std::to_string(low) + " to " + std::to_string(high)).c_str());
    }
    return value;
}

bool boolAttribute(const Item& item, const char* name, bool fallback) {
    const auto text = item.attribute(name);
    if (!text) {
        return fallback;
    }
    if (*text == "true" || *text == "1") {
        return true;
    }
    if (*text == "false" || *text == "0") {
        return false;
    }
    item.badValue(name, *text, "true or false");
}

// "n:n:n..." into its numbers; false unless there are between minParts and maxParts of them.
bool splitNumbers(const std::string& text, std::vector<long>& parts, std::size_t minParts,
                  std::size_t maxParts, char separator) {
    std::string_view rest(text);
    while (true) {
        const std::size_t at = rest.find(separator);
        long value = 0;
        if (!parseWhole(rest.substr(0, at), value) || value < 0) {
            return false;
        }
        parts.push_back(value);
        if (at == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(at + 1);
    }
    return parts.size() >= minParts && parts.size() <= maxParts;
}

std::optional<AtmnTime> timeAttribute(const Item& item, const char* name, int32_t fps) {
    const auto text = item.attribute(name);
    if (!text) {
        return std::nullopt;
    }
    std::vector<long> parts;
    if (!splitNumbers(*text, parts, 3, 4, ':') || parts[0] > 999 || parts[1] > 59 ||
        parts[2] > 59 || (parts.size() == 4 && parts[3] >= fps)) {
        item.badValue(name, *text, "hh:mm:ss:ff or hh:mm:ss");
    }
    return AtmnTime{static_cast<int32_t>(parts[0]), static_cast<int32_t>(parts[1]),
                    static_cast<int32_t>(parts[2]),
                    parts.size() == 4 ? static_cast<int32_t>(parts[3]) : 0};
}

std::optional<AtmnDate> dateAttribute(const Item& item, const char* name) {
    const auto text = item.attribute(name);
    if (!text) {
        return std::nullopt;
    }
    std::vector<long> parts;
    if (!splitNumbers(*text, parts, 3, 3, '-') || parts[0] < 1 || parts[0] > 9999 || parts[1] < 1 ||
        parts[1] > 12 || parts[2] < 1 || parts[2] > 31) {
        item.badValue(name, *text, "yyyy-mm-dd");
    }
    return AtmnDate{static_cast<int32_t>(parts[0]), static_cast<int32_t>(parts[1]),
                    static_cast<int32_t>(parts[2])};
}

// Seconds as "90", "1.5", "mm:ss" or "hh:mm:ss" (the last part may have decimals).
int64_t secondsAttributeMs(const Item& item, const char* name, const std::string& text) {
    double total = 0;
    std::string_view rest(text);
    int parts = 0;
    bool valid = !text.empty();
    while (valid) {
        const std::size_t at = rest.find(':');
        const std::string part(rest.substr(0, at));
        char* end = nullptr;
        const double value = std::strtod(part.c_str(), &end);
        const bool last = at == std::string_view::npos;
        valid = !part.empty() && *end == '\0' && std::isfinite(value) && value >= 0 &&
                (last || part.find('.') == std::string::npos) && (parts == 0 || value < 60);
        total = total * 60 + value;
        ++parts;
        if (last) {
            break;
        }
        rest.remove_prefix(at + 1);
    }
    if (!valid || parts > 3 || total > 366.0 * 24 * 3600) {
        item.badValue(name, text, "seconds, mm:ss or hh:mm:ss");
    }
    return std::llround(total * 1000);
}

EntryUpdate readEntryUpdate(const Item& item, int32_t fps) {
    EntryUpdate update;
    update.name = item.attribute("name");
    if (const auto status = item.attribute("status")) {
        update.status = statusFromText(*status);
        if (!update.status) {
            item.badValue("status", *status,
                          "Done, Running, Prerolled, Postrolled, Standby, "
                          "NotPlayed, Skipped, Pending or a number");
        }
    }
    update.onAirDate = dateAttribute(item, "date");
    update.onAirTime = timeAttribute(item, "time", fps);
    update.duration = timeAttribute(item, "duration", fps);
    if (item.attribute("segment")) {
        update.segment =
            static_cast<int32_t>(intAttribute(item, "segment", 0, INT32_MIN, INT32_MAX));
    }
    return update;
}

EntryValues newEntry(const std::string& id, const EntryUpdate& update, const AtmnDate& date) {
    EntryValues entry;
    entry.id = id;
    entry.name = id;
    entry.onAirDate = date;
    update.applyTo(entry);
    return entry;
}

std::vector<Item> childrenOf(const Item& parent, const char* onlyName) {
    std::vector<Item> children;
    int position = 0;
    for (CElementNode child = parent.element.GetFirstChild(); !child.IsEmpty();
         child = child.GetNextSibling()) {
        const std::string name = child.GetNodeName().c_str();
        ++position;
        if (onlyName == nullptr || name == onlyName) {
            children.push_back(
                {child, parent.where + " > " + name + " " + std::to_string(position)});
        }
    }
    return children;
}

PlaylistDefinition readPlaylist(const Item& item, const AtmnDate& houseDate, int32_t fps) {
    PlaylistDefinition playlist;
    item.required("id");
    playlist.id = static_cast<int32_t>(intAttribute(item, "id", 0, INT32_MIN, INT32_MAX));
    playlist.name = item.required("name");
    playlist.announce = boolAttribute(item, "announce", true);
    std::set<std::string> ids;
    for (const Item& entryItem : childrenOf(item, "Entry")) {
        const std::string id = entryItem.required("id");
        if (!ids.insert(id).second) {
            entryItem.fail("the entry \"" + id + "\" is declared twice");
        }
        playlist.entries.push_back(newEntry(id, readEntryUpdate(entryItem, fps), houseDate));
    }
    return playlist;
}

struct EventName {
    const char* element;
    EventKind kind;
    int32_t changeCode;
};
constexpr EventName kEventNames[] = {
    {"Add", EventKind::kAdd, kAtmnEntryAdded},
    {"Change", EventKind::kChange, kAtmnEntryChanged},
    {"Remove", EventKind::kRemove, kAtmnEntryRemoved},
    {"Time", EventKind::kTime, 0},
    {"Segment", EventKind::kSegment, 0},
    {"RemovePlaylist", EventKind::kRemovePlaylist, 0},
};

ScheduledEvent readEvent(const Item& item, const Scenario& scenario, const AtmnDate& entryDate) {
    const std::string elementName = item.element.GetNodeName().c_str();
    const auto name = std::find_if(std::begin(kEventNames), std::end(kEventNames),
                                   [&](const EventName& e) { return elementName == e.element; });
    if (name == std::end(kEventNames)) {
        item.fail("is not an event (Add, Change, Remove, Time, Segment, RemovePlaylist)");
    }
    ScheduledEvent event;
    event.kind = name->kind;
    event.description = item.where;
    event.atMs = secondsAttributeMs(item, "at", item.required("at"));
    const std::string playlistName = item.required("playlist");
    const auto playlist =
        std::find_if(scenario.playlists.begin(), scenario.playlists.end(),
                     [&](const PlaylistDefinition& p) { return p.name == playlistName; });
    if (playlist == scenario.playlists.end()) {
        item.fail("no playlist is named \"" + playlistName + "\"");
    }
    event.playlist = static_cast<std::size_t>(playlist - scenario.playlists.begin());
    const bool entryEvent = event.kind == EventKind::kAdd || event.kind == EventKind::kChange ||
                            event.kind == EventKind::kRemove || event.kind == EventKind::kSegment;
    if (entryEvent) {
        event.entryId = item.required("entry");
        event.update = readEntryUpdate(item, scenario.framesPerSecond);
    }
    if (event.kind == EventKind::kAdd) {
        event.added = newEntry(event.entryId, event.update, entryDate);
    }
    if (event.kind == EventKind::kSegment && !event.update.segment) {
        item.required("segment");
    }
    if (event.kind == EventKind::kAdd || event.kind == EventKind::kChange ||
        event.kind == EventKind::kRemove) {
        event.changeCode = static_cast<int32_t>(
            intAttribute(item, "code", name->changeCode, INT32_MIN, INT32_MAX));
    }
    return event;
}

// Plays the schedule through once on paper, so that a misspelt entry is found now and not in
// the middle of a broadcast.
void checkEntriesExist(const Scenario& scenario) {
    std::vector<std::set<std::string>> present;
    for (const PlaylistDefinition& playlist : scenario.playlists) {
        std::set<std::string> ids;
        for (const EntryValues& entry : playlist.entries) {
            ids.insert(entry.id);
        }
        present.push_back(std::move(ids));
    }
    for (const ScheduledEvent& event : scenario.events) {
        if (event.entryId.empty()) {
            continue;
        }
        std::set<std::string>& ids = present[event.playlist];
        const bool held = ids.count(event.entryId) != 0;
        const std::string& playlistName = scenario.playlists[event.playlist].name;
        if (event.kind == EventKind::kAdd) {
            if (held) {
                throw ScenarioError(event.description + ": the playlist \"" + playlistName +
                                    "\" already holds the entry \"" + event.entryId + "\"");
            }
            ids.insert(event.entryId);
        } else if (!held) {
            throw ScenarioError(event.description + ": the playlist \"" + playlistName +
                                "\" holds no entry \"" + event.entryId + "\" at that time");
        } else if (event.kind == EventKind::kRemove) {
            ids.erase(event.entryId);
        }
    }
}

AtmnDate todaysDate() {
    const std::time_t now = std::time(nullptr);
    const std::tm local = platform::localParts(now);
    return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday};
}

Scenario readScenario(const Item& item) {
    if (std::string(item.element.GetNodeName().c_str()) != "Scenario") {
        item.fail("is not a <Scenario> element");
    }
    Scenario scenario;
    scenario.framesPerSecond = static_cast<int32_t>(intAttribute(item, "fps", 25, 1, 1000));
    scenario.houseDate = dateAttribute(item, "houseDate");
    scenario.houseTime = timeAttribute(item, "houseTime", scenario.framesPerSecond);
    const AtmnDate entryDate = scenario.houseDate.value_or(todaysDate());
    std::set<std::string> names;
    for (const Item& playlistItem : childrenOf(item, "Playlist")) {
        PlaylistDefinition playlist =
            readPlaylist(playlistItem, entryDate, scenario.framesPerSecond);
        if (!names.insert(playlist.name).second) {
            playlistItem.fail("the playlist \"" + playlist.name + "\" is declared twice");
        }
        scenario.playlists.push_back(std::move(playlist));
    }
    if (scenario.playlists.empty()) {
        item.fail("declares no <Playlist>");
    }
    CElementNode schedule = item.element("Schedule");
    if (!schedule.IsEmpty()) {
        for (const Item& eventItem : childrenOf({schedule, item.where + " > Schedule"}, nullptr)) {
            scenario.events.push_back(readEvent(eventItem, scenario, entryDate));
        }
    }
    std::stable_sort(
        scenario.events.begin(), scenario.events.end(),
        [](const ScheduledEvent& a, const ScheduledEvent& b) { return a.atMs < b.atMs; });
    checkEntriesExist(scenario);
    const int64_t lastEvent = scenario.events.empty() ? 0 : scenario.events.back().atMs;
    const auto length = item.attribute("length");
    scenario.lengthMs = length ? secondsAttributeMs(item, "length", *length) : lastEvent;
    if (scenario.lengthMs < lastEvent) {
        item.fail("\"length\" is shorter than the time of the last event");
    }
    return scenario;
}

CElementNode parseRoot(CXMLDoc& document, const CXMLSrc& source) {
    try {
        document.Parse(source);
    } catch (const CXMLException& error) {
        throw ScenarioError(error.what());
    }
    return document.GetRootElement();
}

}  // namespace

void EntryUpdate::applyTo(EntryValues& entry) const {
    entry.name = name.value_or(entry.name);
    entry.status = status.value_or(entry.status);
    entry.onAirDate = onAirDate.value_or(entry.onAirDate);
    entry.onAirTime = onAirTime.value_or(entry.onAirTime);
    entry.duration = duration.value_or(entry.duration);
    entry.segment = segment.value_or(entry.segment);
}

std::optional<int32_t> statusFromText(const std::string& text) {
    for (const StatusName& status : kStatusNames) {
        if (text == status.text) {
            return status.code;
        }
    }
    long number = 0;
    if (parseWhole(text, number) && number >= INT32_MIN && number <= INT32_MAX) {
        return static_cast<int32_t>(number);
    }
    return std::nullopt;
}

SimulatorSettings parseSimulatorSettings(const std::string& automationXml) {
    CXMLDoc document;
    CMemXMLSrc source;
    source.SetMemPtr(automationXml.c_str());
    const Item automation{parseRoot(document, source), "Automation"};

    SimulatorSettings settings;
    const Item simulator{automation.element("Simulator"), "Automation > Simulator"};
    std::optional<std::string> scenarioFile;
    if (!simulator.element.IsEmpty()) {
        settings.threads = static_cast<int>(intAttribute(simulator, "threads", 1, 1, kMaxThreads));
        if (const auto speed = simulator.attribute("speed")) {
            char* end = nullptr;
            settings.speed = *speed == "fast" ? 0.0 : std::strtod(speed->c_str(), &end);
            if (*speed != "fast" && (speed->empty() || *end != '\0' ||
                                     !std::isfinite(settings.speed) || settings.speed < 0)) {
                simulator.badValue("speed", *speed, "a factor such as 1 or 0.5, or fast");
            }
        }
        settings.intervalMs =
            static_cast<uint32_t>(intAttribute(simulator, "interval", 0, 0, 24L * 3600 * 1000));
        settings.repeat = simulator.attribute("repeat") == "forever"
                              ? 0
                              : static_cast<int>(intAttribute(simulator, "repeat", 1, 0, 1000000));
        settings.sharedNames = boolAttribute(simulator, "sharedNames", false);
        settings.connectDelayMs =
            static_cast<uint32_t>(intAttribute(simulator, "connectDelay", 0, 0, 600000));
        settings.disconnectThrows = boolAttribute(simulator, "disconnectThrows", false);
        scenarioFile = simulator.attribute("scenario");
    }

    CXMLDoc fileDocument;
    if (scenarioFile && !scenarioFile->empty()) {
        CFileXMLSrc file;
        file.SetFilePath(scenarioFile->c_str());
        settings.scenario = readScenario({parseRoot(fileDocument, file), *scenarioFile});
    } else {
        const Item inline_{automation.element("Scenario"), "Automation > Scenario"};
        if (inline_.element.IsEmpty()) {
            automation.fail("has no <Scenario> and <Simulator> names no scenario file");
        }
        settings.scenario = readScenario(inline_);
    }
    return settings;
}

}  // namespace atmnsim
