// CAggrSvrClient: the service's end of the link to the aggregation server, and the transaction
// protocol spoken over it.
//
// The automation binding owns one client for the life of the service. The client is itself the
// event loop (a Reactor) on whose thread its sockets' handshakes, reads, queued writes and closes
// run. It owns the SSL context, one CAggrSvrClientSocket per IPv4 address of the server's host
// (made by connect, deleted by disconnect) and the session registry, which maps session names to
// CAggrSession records. Connecting and disconnecting leave the registry alone, so sessions
// survive a reconnection.
//
// A transaction is one `Kri_Transact` element carrying the session id, around one `Action`
// element with one `Params`/`Param` and the payload in a CDATA section; it goes out as one framed
// message on every socket, on the calling thread. A socket whose SSL session is not established
// drops it; the operations report success all the same and never wait for an answer.
//
// Threads: the binding's service thread (setupSsl, connect, disconnect), its supervision thread
// (isConnected, disconnect, connect, addStudio) and the automation component's event threads (the
// message operations) call the client at the same time; the client's own loop thread runs only
// socket callbacks.
//
// Lock order: clientLock, then the event loop's own locks (inside start, addSocket and stop),
// then a socket's transportLock (inside sendMessage), then the trace library's lock. clientLock
// serialises the session registry, the socket list, the delivery walk, connect, disconnect and
// isConnected. The loop thread never takes clientLock, so connect and disconnect may wait for
// the loop (addSocket, stop) while holding it. Each socket's SSL session is used only under that
// socket's transportLock, by sending threads and the loop thread alike.
//
// Requires: setupSsl once, before the first connect; connect and disconnect never on the
// client's own loop thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "LibraryInterfaces/String.h"
#include "Reactor.h"
#include "SSLSockets.h"
#include "TList.h"
#include "TLookupList.h"
#include "ThreadLock.h"
#include "Tools/RovazoRiva/Common/AggrSession.h"
#include "Tools/RovazoRiva/Common/AggrSvrClientSocket.h"

class CAggrSvrClient : public Reactor {
public:
    static constexpr int32_t kSuccess = 0x0E000000;
    static constexpr int32_t kSslContextFailed = static_cast<int32_t>(0xCE000D01u);
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
    // Whether every socket has an established, verified SSL session. True without sockets,
    // except after a connect that could make none.
    bool isConnected();

    // Name resolution for connect; the platform resolver unless replaced.
    void setHostResolver(HostResolver resolver);

    // The text of an `Action` element with its `Params`/`Param` and the payload's CDATA section.
    static String buildAction(const String& actionName, const String& paramId,
                              const String& paramName, const String& payload);
    // The transaction text for an action text that buildAction made: the same text as parsing
    // the action and writing it under a `Kri_Transact` root with the session id, without the
    // parse (the XML classes write a text that parses back to the same tree and text).
    // Requires: actionText is a result of buildAction.
    static String wrapAction(uint32_t session, const String& actionText);

    // Parses the action text, wraps it in `Kri_Transact` with the session id and hands the
    // text to every socket. Throws CXMLException when the action text is not XML.
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
    int32_t addStudio(const String& name, const String& id);
    int32_t addEntry(uint32_t session, const String& paramId, const String& paramName,
                     const String& payload);
    int32_t updateEntry(uint32_t session, const String& paramId, const String& paramName,
                        const String& payload);
    int32_t removeEntry(uint32_t session, const String& paramId, const String& paramName,
                        const String& payload);
    int32_t updateTime(uint32_t session, const String& payload);
    int32_t changeSegment(uint32_t session, const String& segment, const String& payload);

private:
    // Wraps the action and delivers it. Takes clientLock.
    int32_t transact(uint32_t session, const String& actionText);
    // Hands the text to every socket in list order; each send's result is left alone.
    // Requires: clientLock is held.
    void deliver(const String& text);
    // Stops the loop and deletes the sockets. Requires: clientLock is held.
    void dropLink();

    std::unique_ptr<SSLContext> sslContext;
    TList<CAggrSvrClientSocket*> sockets;
    TLookupList<String, CAggrSession*> sessions;
    uint32_t lastSessionId = 0;
    // connect has started the loop and no disconnect has stopped it since.
    bool loopStarted = false;
    // The last connect could make no socket: the link is down although the list is empty.
    bool connectMadeNoSocket = false;
    std::atomic<HostResolver> hostResolver;
    ThreadLock clientLock;
};
