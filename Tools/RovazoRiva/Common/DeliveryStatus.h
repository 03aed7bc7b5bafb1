// DeliveryStatus: a snapshot of what the aggregation client has done with the transactions it
// was given, and of its link to the server.
//
// CAggrSvrClient::deliveryStatus() makes one on any thread; it is a plain value. The counters
// count transactions (one per message operation), whatever the number of server addresses:
// a transaction is acknowledged once every address's connection has acknowledged it (and stays
// so when it is written again), and dropped when the backlog of any address had to give it up.
// At every snapshot accepted == acknowledged + pending + dropped.
#pragma once

#include <cstdint>
#include <string>

enum class LinkState {
    kDown,        // no connection (never made, lost, or refused); linkReason says why
    kConnecting,  // a TCP connect or TLS handshake is under way, or the studio is not announced
    kUp,          // every address has a verified session with the studio announced on it
};

enum class SpoolState {
    kNone,        // no spool configured: the backlog is in memory
    kJournal,     // every transaction is kept in the spool until acknowledged
    kMemoryOnly,  // the spool failed (spoolReason says why); the backlog is in memory
};

struct DeliveryStatus {
    uint64_t accepted = 0;  // transactions handed to the client
    uint64_t sent = 0;      // transactions written to the TLS layer on some connection
    uint64_t batches = 0;   // batches of frames written whole, on all connections
    // transactions written again on a later connection: unacknowledged when their connection
    // ended, or acknowledged shortly before it ended badly (the resend window)
    uint64_t resent = 0;
    uint64_t acknowledged = 0;  // transactions whose bytes the server's TCP acknowledged
    uint64_t pending = 0;       // accepted, neither acknowledged nor dropped
    uint64_t dropped = 0;       // given up because a backlog was full, or at stop
    // frame bytes held: the pending transactions, and the acknowledged ones kept for the resend
    // window
    uint64_t pendingBytes = 0;
    uint64_t reconnects = 0;  // connections made after the first
    LinkState link = LinkState::kDown;
    // Why the link is down, in plain words ("connection refused", "the server closed the
    // session"); empty while it is up.
    std::string linkReason;
    // When the link entered its current state, in milliseconds since the Unix epoch; 0 before
    // the first connect.
    int64_t linkSinceMs = 0;
    // The age of the oldest pending transaction in milliseconds; 0 when none is pending.
    int64_t oldestPendingAgeMs = 0;
    // The server as host:port, as the last connect was given it.
    std::string server;
    SpoolState spool = SpoolState::kNone;
    std::string spoolReason;
};

const char* linkStateName(LinkState state);
const char* spoolStateName(SpoolState state);
