#include "Tools/AggrReceiver/StudioModel.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <pugixml.hpp>

#include "Platform/Clock.h"

namespace aggrreceiver {

namespace {

using nlohmann::json;

// The attribute as a zero-padded number, or its text as sent when it is not a number.
std::string padded(pugi::xml_node node, const char* attribute, int width) {
    const char* text = node.attribute(attribute).value();
    const char* end = text + std::char_traits<char>::length(text);
    int value = 0;
    auto [stop, failure] = std::from_chars(text, end, value);
    if (failure != std::errc() || stop != end || *text == '\0') {
        return text;
    }
    char out[16];
    std::snprintf(out, sizeof out, "%0*d", width, value);
    return out;
}

std::string dateText(pugi::xml_node date) {
    if (!date) {
        return {};
    }
    return padded(date, "year", 4) + "-" + padded(date, "month", 2) + "-" + padded(date, "day", 2);
}

std::string timeText(pugi::xml_node time) {
    if (!time) {
        return {};
    }
    return padded(time, "hh", 2) + ":" + padded(time, "mm", 2) + ":" + padded(time, "ss", 2) + ":" +
           padded(time, "ff", 2);
}

// "2024-03-09 18:00:00:00" from a "HouseTime" element; empty when it has neither part.
std::string houseTimeText(pugi::xml_node houseTime) {
    std::string date = dateText(houseTime.child("Date"));
    std::string time = timeText(houseTime.child("Time"));
    return date.empty() || time.empty() ? date + time : date + " " + time;
}

pugi::xml_document parsePayload(const std::string& payload, bool& ok) {
    pugi::xml_document document;
    ok = static_cast<bool>(document.load_buffer(payload.data(), payload.size()));
    return document;
}

void keepRecent(std::deque<json>& list, json item) {
    list.push_back(std::move(item));
    if (list.size() > StudioModel::kRecentKept) {
        list.pop_front();
    }
}

bool shown(const std::optional<std::int64_t>& removedMs, std::int64_t nowMs) {
    return !removedMs || nowMs - *removedMs < StudioModel::kRemovedShownMs;
}

}  // namespace

std::string utcText(std::int64_t ms) {
    const std::int64_t seconds = ms >= 0 ? ms / 1000 : (ms - 999) / 1000;
    char milliseconds[8];
    std::snprintf(milliseconds, sizeof milliseconds, ".%03dZ",
                  static_cast<int>(ms - seconds * 1000));
    return platform::formatTime(seconds, "%Y-%m-%dT%H:%M:%S") + milliseconds;
}

void StudioModel::connectionAccepted(std::uint64_t connection, const std::string& peer,
                                     const std::string& subject, std::int64_t nowMs) {
    connections_[connection] = Connection{peer, subject, nowMs, std::nullopt};
}

void StudioModel::connectionClosed(std::uint64_t connection, std::int64_t nowMs) {
    auto found = connections_.find(connection);
    if (found == connections_.end()) {
        return;
    }
    if (found->second.studioId) {
        std::optional<Link>& link = studios_[*found->second.studioId].link;
        if (link && link->connection == connection) {
            link->connected = false;
            link->closedMs = nowMs;
        }
    }
    connections_.erase(found);
}

StudioModel::Studio& StudioModel::studioOf(std::uint64_t connection) {
    auto found = connections_.find(connection);
    const std::string id = found != connections_.end() && found->second.studioId
                               ? *found->second.studioId
                               : std::string(kNoStudioId);
    Studio& studio = studios_[id];
    studio.id = id;
    return studio;
}

void StudioModel::addStudio(std::uint64_t connection, const TransactionInfo& info) {
    Connection& from = connections_[connection];
    from.studioId = info.paramId;
    Studio& studio = studios_[info.paramId];
    studio.id = info.paramId;
    studio.name = info.paramName;
    if (studio.link && studio.link->connection == connection) {
        return;
    }
    const std::uint64_t reconnections = studio.link ? studio.link->reconnections + 1 : 0;
    studio.link =
        Link{connection, true, from.peer, from.subject, from.acceptedMs, 0, reconnections};
}

void StudioModel::transaction(std::uint64_t connection, const TransactionInfo& info, bool duplicate,
                              std::int64_t nowMs) {
    if (info.action == "AddStudio") {
        addStudio(connection, info);
    }
    Studio& studio = studioOf(connection);
    dropExpired(studio, nowMs);
    const std::string detail =
        info.action == "AddStudio" ? std::string() : applyToSession(studio, info, nowMs);
    ++studio.transactionCount;
    json record = {{"at", utcText(nowMs)},  {"action", info.action},  {"session", info.session},
                   {"id", info.paramId},    {"name", info.paramName}, {"detail", detail},
                   {"duplicate", duplicate}};
    if (duplicate) {
        ++studio.duplicateCount;
        keepRecent(studio.duplicates, record);
    }
    keepRecent(studio.transactions, std::move(record));
}

void StudioModel::malformed(std::uint64_t connection, const std::string& error, std::size_t bytes,
                            std::int64_t nowMs) {
    Studio& studio = studioOf(connection);
    ++studio.malformedCount;
    auto found = connections_.find(connection);
    const std::string peer = found != connections_.end() ? found->second.peer : std::string();
    keepRecent(studio.malformed,
               {{"at", utcText(nowMs)}, {"from", peer}, {"bytes", bytes}, {"error", error}});
}

StudioModel::Session& StudioModel::sessionFor(Studio& studio, std::uint32_t id) {
    Session& session = studio.sessions[id];
    session.id = id;
    return session;
}

std::string StudioModel::applyToSession(Studio& studio, const TransactionInfo& info,
                                        std::int64_t nowMs) {
    const auto id = static_cast<std::uint32_t>(std::stoul(info.session));
    bool readable = false;
    pugi::xml_document payload = parsePayload(info.payload, readable);

    if (info.action == "AddSession") {
        Session& session = sessionFor(studio, id);
        // A resend of the opening keeps what arrived since; a session id that comes back after
        // its removal (a restarted service counts again from 1) starts afresh.
        if (session.removedMs || session.name != info.paramName) {
            session = Session{id, info.paramName, true, {}, std::nullopt, {}};
        }
        session.openedHere = true;
        session.houseTime = houseTimeText(payload.child("Playlist").child("HouseTime"));
        studio.houseTime = session.houseTime.empty() ? studio.houseTime : session.houseTime;
        return "opened " + info.paramName;
    }
    if (info.action == "RemoveSession") {
        auto found = studio.sessions.find(id);
        if (found == studio.sessions.end() || found->second.removedMs) {
            return "no open session";
        }
        found->second.removedMs = nowMs;
        return "closed " + found->second.name;
    }
    if (info.action == "UpdateTime") {
        const std::string houseTime = houseTimeText(payload.child("HouseTime"));
        if (id != 0) {
            sessionFor(studio, id).houseTime = houseTime;
        }
        studio.houseTime = houseTime;
        return houseTime;
    }

    // AddEntry, UpdateEntry, RemoveEntry, ChangeSegment: the payload is the entry.
    pugi::xml_node element = payload.child("Entry");
    const std::string entryId =
        info.action == "ChangeSegment" ? element.attribute("id").value() : info.paramId;
    Session& session = sessionFor(studio, id);
    auto entry = std::find_if(session.entries.begin(), session.entries.end(),
                              [&](const Entry& e) { return e.id == entryId; });
    if (entry == session.entries.end()) {
        entry = session.entries.insert(session.entries.end(), Entry());
        entry->id = entryId;
    }
    if (element) {
        pugi::xml_node onAir = element.child("Segment").child("OnAir");
        entry->name = element.attribute("name").value();
        entry->status = element.attribute("status").value();
        entry->segment = element.child("Segment").attribute("id").value();
        entry->date = dateText(onAir.child("Date"));
        entry->time = timeText(onAir.child("Time"));
        entry->duration = timeText(onAir.child("Duration"));
    }
    if (info.action == "ChangeSegment") {
        entry->segment = info.paramId;
    }
    entry->removedMs =
        info.action == "RemoveEntry" ? std::optional<std::int64_t>(nowMs) : std::nullopt;
    if (!readable || !element) {
        return "payload is not an entry";
    }
    return info.action == "ChangeSegment" ? "segment " + info.paramId : entry->status;
}

void StudioModel::dropExpired(Studio& studio, std::int64_t nowMs) {
    std::erase_if(studio.sessions,
                  [nowMs](const auto& pair) { return !shown(pair.second.removedMs, nowMs); });
    for (auto& [id, session] : studio.sessions) {
        std::erase_if(session.entries,
                      [nowMs](const Entry& entry) { return !shown(entry.removedMs, nowMs); });
    }
}

json StudioModel::toJson(std::int64_t nowMs) const {
    auto removedAt = [](const std::optional<std::int64_t>& removedMs) {
        return removedMs ? json(utcText(*removedMs)) : json(nullptr);
    };
    json studios = json::array();
    for (const auto& [key, studio] : studios_) {
        json sessions = json::array();
        for (const auto& [id, session] : studio.sessions) {
            if (!shown(session.removedMs, nowMs)) {
                continue;
            }
            std::vector<const Entry*> ordered;
            for (const Entry& entry : session.entries) {
                if (shown(entry.removedMs, nowMs)) {
                    ordered.push_back(&entry);
                }
            }
            std::stable_sort(ordered.begin(), ordered.end(), [](const Entry* a, const Entry* b) {
                return std::tie(a->date, a->time) < std::tie(b->date, b->time);
            });
            json entries = json::array();
            for (const Entry* entry : ordered) {
                entries.push_back({{"id", entry->id},
                                   {"name", entry->name},
                                   {"status", entry->status},
                                   {"onAir", entry->status == "Running"},
                                   {"segment", entry->segment},
                                   {"date", entry->date},
                                   {"time", entry->time},
                                   {"duration", entry->duration},
                                   {"removedAt", removedAt(entry->removedMs)}});
            }
            sessions.push_back({{"id", session.id},
                                {"name", session.name},
                                {"openedHere", session.openedHere},
                                {"houseTime", session.houseTime},
                                {"removedAt", removedAt(session.removedMs)},
                                {"entries", std::move(entries)}});
        }
        json link = nullptr;
        if (studio.link) {
            link = {{"connected", studio.link->connected},
                    {"address", studio.link->address},
                    {"subject", studio.link->subject},
                    {"since", utcText(studio.link->sinceMs)},
                    {"closedAt",
                     studio.link->connected ? json(nullptr) : json(utcText(studio.link->closedMs))},
                    {"reconnections", studio.link->reconnections}};
        }
        studios.push_back(
            {{"id", studio.id},
             {"name", studio.name},
             {"link", std::move(link)},
             {"houseTime", studio.houseTime},
             {"sessions", std::move(sessions)},
             {"transactionCount", studio.transactionCount},
             {"transactions", json(studio.transactions)},
             {"duplicates",
              {{"count", studio.duplicateCount}, {"recent", json(studio.duplicates)}}},
             {"malformed",
              {{"count", studio.malformedCount}, {"recent", json(studio.malformed)}}}});
    }
    return {{"studios", std::move(studios)}};
}

}  // namespace aggrreceiver
