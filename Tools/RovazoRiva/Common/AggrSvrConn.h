// CAggrSvrClient: the service's end of the link to the aggregation server, and the transaction
// protocol spoken over it.
//
// The automation binding owns one client for the life of the service. The client is itself the
// event loop (a Reactor) on whose thread its sockets' handshakes, reads, writes and closes run.
// It owns the SSL context, one CAggrSvrClientSocket per IPv4 address of the server's host (made
// by connect, deleted by disconnect), the session registry, which maps session names to
// CAggrSession records, and the delivery backlog. Connecting and disconnecting leave the registry
// and the backlog alone, so sessions and undelivered transactions survive a reconnection.
//
// A transaction is one `Kri_Transact` element carrying the session id, around one `Action`
// element with one `Params`/`Param` and the payload in a CDATA section. The message operations
// write it straight into its frame (TransactionWriter.h, which writes the text the XML classes
// would) and append it to the backlog (DeliveryBacklog.h) and return at
// once: the calling thread never waits for the network. The loop thread alone writes the backlog in
// order on every connection, after the studio's announcement ("AddStudio", which addStudio stores
// and every new connection writes first), and keeps each frame until the server's TCP has
// acknowledged it, and for the resend window after that; frames a connection could not deliver
// are written again on the next one. The backlog is bounded (setDeliveryLimits): when it is full
// the oldest frames are dropped and counted. deliveryStatus() reports the counters and the link
// state.
//
// Threads: the binding's service thread (setupSsl, connect, disconnect), its supervision thread
// (isConnected, disconnect, connect, addStudio) and the automation component's event threads (the
// message operations) call the client at the same time; the client's own loop thread runs only
// socket callbacks, write passes and the tick; any thread may ask for deliveryStatus.
//
// Lock order: clientLock, then sessionIdsLock (the session index's own, under which nothing else
// is taken); clientLock, then the event loop's own locks (inside start, addSocket and stop), then
// the backlog's lock, then the loop's task queue (a backlog push wakes
// the writers), then a socket's transportLock, then the trace library's lock.
// clientLock serialises the session registry, the socket list, connect, disconnect and isConnected;
// it is never held across a network call. The loop thread never takes clientLock, so connect and
// disconnect may wait for the loop (addSocket, stop) while holding it.
//
// Requires: setupSsl once, before the first connect; connect and disconnect never on the
// client's own loop thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "LibraryInterfaces/String.h"
#include "Reactor.h"
#include "SSLSockets.h"
#include "TList.h"
#include "TLookupList.h"
#include "ThreadLock.h"
#include "Tools/RovazoRiva/Common/AggrSession.h"
#include "Tools/RovazoRiva/Common/AggrSvrClientSocket.h"
#include "Tools/RovazoRiva/Common/DeliveryBacklog.h"
#include "Tools/RovazoRiva/Common/DeliveryStatus.h"
#include "Tools/RovazoRiva/Common/KriStatusCodes.h"
#include "Tools/RovazoRiva/Common/LinkMonitor.h"

class CAggrSvrClient : public Reactor {
public:
    static constexpr int32_t kSuccess = kAtmnOk;
    static constexpr int32_t kSslContextFailed = kAtmnSslContextFailed;
    // The private key's pass phrase is part of the program, not of its configuration.
    static constexpr char kKeyPassPhrase[] = "wexol";

    // The addresses of a host name or of dotted address text, in the resolver's order.
    using HostResolver = std::vector<uint32_t> (*)(const char* host);

    CAggrSvrClient();
    ~CAggrSvrClient() override;

    // Makes the SSL context from the certificate, key and CA files, with the key's fixed pass
    // phrase. kSslContextFailed (with a trace line and an event-log record) when it cannot be made.
    int32_t setupSsl(const String& certificateFile, const String& keyFile, const String& caFile);
    // The name (DNS name or IP address) the server's certificate must carry; empty: any.
    // Requires: after setupSsl, before the first connect.
    void setServerName(const String& name);
    // Starts the loop and one socket per IPv4 address of host, each registered and then
    // connecting; does not wait for any connection. A host without addresses makes no socket and
    // is reported as a trace line. A connect without a disconnect since the last one drops the
    // previous sockets first.
    int32_t connect(const String& host, int port);
    // Takes every socket out of the loop, stops the loop and deletes the sockets.
    int32_t disconnect();
    // The orderly stop: gives the pending transactions up to waitMs to be written and
    // acknowledged while the link is up, closes each TLS session, disconnects, and says what is
    // still pending (not delivered, or kept in the spool for the next start).
    static constexpr int kStopDeliveryWaitMs = 2000;
    void stopDelivery(int waitMs = kStopDeliveryWaitMs);
    // Whether every socket has an established, verified SSL session. True without sockets,
    // except after a connect that could make none.
    bool isConnected();

    // Name resolution for connect; the platform resolver unless replaced.
    void setHostResolver(HostResolver resolver);

    static constexpr int kDefaultDeadPeerSeconds = 20;
    static constexpr int kDefaultResendSeconds = 2;
    // The backlog's bound in bytes, and how long a connection may go without the server's TCP
    // taking any data before it counts as dead. The bound applies at once; the time to the
    // next connect's sockets.
    void setDeliveryLimits(uint64_t backlogBytes, int deadPeerSeconds);
    // How long acknowledged transactions stay to be written again after a connection that
    // ends badly (DeliveryBacklog::setResendWindow); 0 keeps none.
    void setResendWindow(int seconds);
    // Keeps the backlog in a spool journal (DeliveryBacklog::useSpool): what an earlier run left
    // unacknowledged is pending at once. "" or why the spool cannot be used.
    // Requires: before the first connect and the first message operation.
    std::string useSpool(const SpoolJournal::Settings& settings) {
        return backlog.useSpool(settings);
    }
    // The delivery counters and the link's state, at this moment.
    DeliveryStatus deliveryStatus();
    // Steady-clock milliseconds of the event loop's last tick (it ticks four times a second
    // while it runs); 0 before the first.
    int64_t loopProgressMs() const { return loopProgress.load(); }

    // Parses the action text, wraps it in `Kri_Transact` with the session id and appends the
    // text to the backlog. Throws CXMLException when the action text is not XML.
    int32_t sendTransaction(uint32_t session, const String& actionText);

    // The id of the session registered under that name; 0 when there is none.
    uint32_t findSession(const String& name);
    // Registers a new session under key and sends "AddSession" for it; returns its id. A key
    // that is already registered throws YuException "insert: key already exists in list" and
    // sends nothing.
    uint32_t addSession(const String& key, const String& name, const String& payload);
    // Takes the session with that id out of the registry (if it is there) and sends
    // "RemoveSession" with that id in any case.
    int32_t removeSession(uint32_t session, const String& name);
    // Stores "AddStudio" as the transaction that opens every connection until the next
    // connect; a connection that announced another text announces this one before its next
    // frame. Connections wait for it: call it after every connect.
    int32_t addStudio(const String& name, const String& id);
    int32_t addEntry(uint32_t session, const String& paramId, const String& paramName,
                     const String& payload);
    int32_t updateEntry(uint32_t session, const String& paramId, const String& paramName,
                        const String& payload);
    int32_t removeEntry(uint32_t session, const String& paramId, const String& paramName,
                        const String& payload);
    int32_t updateTime(uint32_t session, const String& payload);
    int32_t changeSegment(uint32_t session, const String& segment, const String& payload);

protected:
    void onTick() override;

private:
    // Writes the transaction's frame and delivers it.
    int32_t transact(uint32_t session, const char* action, const String& paramId,
                     const String& paramName, const String& payload);
    // Appends a frame to the backlog, or refuses it when its text is over the message limit.
    void deliver(std::string_view frame);
    enum class Close { kAtOnce, kSessions };
    // Detaches the sockets from the backlog, stops the loop, closes each TLS session (kSessions),
    // settles each socket's acknowledgements and deletes the sockets.
    void dropLink(Close close = Close::kAtOnce) REQUIRES(clientLock);

    ThreadLock clientLock;
    std::unique_ptr<SSLContext> sslContext;
    TList<CAggrSvrClientSocket*> sockets GUARDED_BY(clientLock);
    TLookupList<String, CAggrSession*> sessions GUARDED_BY(clientLock);
    // Hashes session keys as string views, so that a lookup builds no string. Not noexcept on
    // purpose: libstdc++ then keeps each key's hash in its node, and a lookup compares those
    // instead of hashing the other keys of its bucket again.
    struct KeyHash {
        using is_transparent = void;
        size_t operator()(std::string_view key) const { return std::hash<std::string_view>{}(key); }
    };
    // findSession's index over `sessions`: each session's key text to its id. Changed under
    // clientLock and sessionIdsLock; findSession takes sessionIdsLock alone, so that a lookup
    // never waits for a connect or disconnect.
    ThreadLock sessionIdsLock ACQUIRED_AFTER(clientLock);
    std::unordered_map<std::string, uint32_t, KeyHash, std::equal_to<>> sessionIds
        GUARDED_BY(sessionIdsLock);
    uint32_t lastSessionId GUARDED_BY(clientLock) = 0;
    // connect has started the loop and no disconnect has stopped it since.
    bool loopStarted GUARDED_BY(clientLock) = false;
    // The last connect could make no socket: the link is down although the list is empty.
    bool connectMadeNoSocket GUARDED_BY(clientLock) = false;
    std::atomic<HostResolver> hostResolver;

    DeliveryBacklog backlog;
    LinkMonitor monitor;
    std::atomic<int> deadPeerSeconds{kDefaultDeadPeerSeconds};
    std::atomic<int64_t> loopProgress{0};
    uint64_t connects GUARDED_BY(clientLock) = 0;
    std::atomic<uint64_t> reconnects{0};
    // The sockets of the last connect, for the loop's tick. The loop copies the list under
    // tickLock; connect fills it and disconnect empties it (after the loop has ended).
    ThreadLock tickLock;
    std::vector<CAggrSvrClientSocket*> tickSockets GUARDED_BY(tickLock);
};
