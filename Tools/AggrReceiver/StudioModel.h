// StudioModel: the studios as the receiver sees them, built from what arrives on its TLS
// connections: per studio (named by "AddStudio") its link, its open sessions with their entries,
// the house time, the last transactions, and the duplicates and malformed frames received.
//
// Sessions and entries that were removed stay in the model, marked with the time of their
// removal, for kRemovedShownMs, so that a page can show them greyed; after that they are dropped.
// Transactions on a connection that has not sent "AddStudio" belong to a studio with an empty id
// (kNoStudioId). A transaction for a session the receiver never saw opened (it was opened before
// the receiver started) creates that session, marked as not opened here.
//
// Every call takes the wall-clock time in milliseconds since the Unix epoch. Not thread-safe:
// LiveState serialises the receiver's thread and the page's threads around one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "Tools/AggrReceiver/TransactionCheck.h"

namespace aggrreceiver {

class StudioModel {
public:
    static constexpr std::int64_t kRemovedShownMs = 5 * 60 * 1000;
    static constexpr std::size_t kRecentKept = 50;
    static constexpr const char* kNoStudioId = "";

    // A client finished its TLS handshake; `connection` names it until connectionClosed.
    void connectionAccepted(std::uint64_t connection, const std::string& peer,
                            const std::string& subject, std::int64_t nowMs);
    void connectionClosed(std::uint64_t connection, std::int64_t nowMs);
    // A transaction that checkTransaction accepted; `duplicate` when its text equals one
    // received shortly before. Duplicates are applied too: a client resends in order, so the
    // state stays that of the last text sent.
    void transaction(std::uint64_t connection, const TransactionInfo& info, bool duplicate,
                     std::int64_t nowMs);
    void malformed(std::uint64_t connection, const std::string& error, std::size_t bytes,
                   std::int64_t nowMs);

    // The whole state: {"studios": [...]}, studios in order of their ids; entries by on-air
    // date and time, then in order of arrival. Removed items older than kRemovedShownMs are left
    // out. Texts that are not UTF-8 have their bad bytes replaced.
    nlohmann::json toJson(std::int64_t nowMs) const;

private:
    struct Entry {
        std::string id, name, status, segment, date, time, duration;
        std::optional<std::int64_t> removedMs;
    };
    struct Session {
        std::uint32_t id = 0;
        std::string name;
        bool openedHere = false;
        std::string houseTime;
        std::optional<std::int64_t> removedMs;
        std::vector<Entry> entries;
    };
    struct Link {
        std::uint64_t connection = 0;
        bool connected = false;
        std::string address, subject;
        std::int64_t sinceMs = 0;
        std::int64_t closedMs = 0;
        std::uint64_t reconnections = 0;
    };
    struct Studio {
        std::string id, name, houseTime;
        std::optional<Link> link;
        std::map<std::uint32_t, Session> sessions;
        std::deque<nlohmann::json> transactions, duplicates, malformed;
        std::uint64_t transactionCount = 0, duplicateCount = 0, malformedCount = 0;
    };
    struct Connection {
        std::string peer, subject;
        std::int64_t acceptedMs = 0;
        std::optional<std::string> studioId;
    };

    Studio& studioOf(std::uint64_t connection);
    void addStudio(std::uint64_t connection, const TransactionInfo& info);
    // Applies the action to its session; returns a short description for the transaction list.
    std::string applyToSession(Studio& studio, const TransactionInfo& info, std::int64_t nowMs);
    Session& sessionFor(Studio& studio, std::uint32_t id);
    void dropExpired(Studio& studio, std::int64_t nowMs);

    std::map<std::uint64_t, Connection> connections_;
    std::map<std::string, Studio> studios_;
};

// Milliseconds since the Unix epoch as UTC text: "2024-05-01T12:34:56.789Z".
std::string utcText(std::int64_t ms);

}  // namespace aggrreceiver
