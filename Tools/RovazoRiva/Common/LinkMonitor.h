// LinkMonitor: the aggregation link's state as the operator sees it, and its trace lines.
//
// The aggregation client owns one. Its sockets report the link's turns to it (connecting, a
// verified session, the studio announced, the end of a connection with its reason), and it keeps
// the state with its reason and the time it began, for the status. It writes the link's trace
// lines, rate-limited: a line is written when it differs from every line written in the last
// minute for the same address; a repeat within the minute is counted instead, and the count is
// written as one summary line once that minute is over. A server that refuses every reconnection
// thus gives one line, then one summary a minute, not a line a second. A session verified after
// the link has been down for kOutageMs or longer (the end of an outage, as opposed to a server
// that closes every connection soon after it began) is always written.
//
// Threads: connecting comes from the thread that calls the client's connect (the binding's service
// or supervision thread); the client's loop thread reports the other turns and ticks; any thread
// reads the state.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "ThreadLock.h"
#include "Tools/RovazoRiva/Common/DeliveryStatus.h"

class LinkMonitor {
public:
    // Longer than a reconnection takes (the supervision's second and the announcement's pause).
    static constexpr int64_t kOutageMs = 10000;
    // The source unit of the link's trace lines.
    static constexpr char kTraceUnit[] = "Tools/RovazoRiva/Common/LinkMonitor";

    // A connect to the server (host:port) starts. The link stays down, with its reason, while
    // a lost link is being rebuilt.
    void connecting(const std::string& server) EXCLUDES(lock);
    // A session with the peer (address:port) passed verification: "SSL connect successful".
    void sessionVerified(const std::string& peer);
    // The studio has been announced on a connection: the link is up.
    void announced();
    // A connection has ended: "SSL error : <code> (<reason>)" for an error, or
    // "SSL disconnect successful (<reason>)" when the connection closed without one (code 0).
    void ended(const std::string& peer, int code, const std::string& reason);
    // Writes the summaries of repeats whose minute is over.
    void onTick(int64_t nowMs);
    // Fills the link fields of a status.
    void fill(DeliveryStatus& status);

private:
    enum class Priority { kInfo, kWarning };
    struct Repeat {
        int64_t firstWrittenMs;
        uint64_t suppressed;
        Priority priority;
    };

    // Writes the line unless the peer's connection wrote it in the last minute.
    // always: written even when the same line was written within the minute.
    void writeRateLimited(const std::string& peer, Priority priority, std::string line,
                          bool always = false) EXCLUDES(lock);
    void enter(LinkState state, const std::string& reason) REQUIRES(lock);

    ThreadLock lock;
    LinkState state GUARDED_BY(lock) = LinkState::kDown;
    std::string reason GUARDED_BY(lock) = "not connected yet";
    int64_t sinceMs GUARDED_BY(lock) = 0;
    std::string server GUARDED_BY(lock);
    // By peer and line.
    std::map<std::pair<std::string, std::string>, Repeat> recentLines GUARDED_BY(lock);
};
