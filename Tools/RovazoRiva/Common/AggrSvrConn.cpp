#include "Tools/RovazoRiva/Common/AggrSvrConn.h"

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "LibraryInterfaces/DomParse.h"
#include "LibraryInterfaces/KriErr.h"
#include "Platform/Clock.h"
#include "Platform/Resolver.h"
#include "ServerSockets.h"
#include "Tools/RovazoRiva/Common/TransactionWriter.h"

namespace {

constexpr char kAggrSvrConnUnit[] = "Tools/RovazoRiva/Common/AggrSvrConn";
constexpr uint32_t kSslContextEventCode = 0xCE000D01u;
constexpr uint32_t kTickIntervalMs = 250;
constexpr size_t kKeptFrameBufferBytes = 64 * 1024;

// A cursor key for an address and port.
uint64_t addressKey(uint32_t address, int port) {
    return (static_cast<uint64_t>(address) << 16) | static_cast<uint16_t>(port);
}

}  // namespace

CAggrSvrClient::CAggrSvrClient() : hostResolver(&platform::resolveHost) {
    setTickInterval(kTickIntervalMs);
    setResendWindow(kDefaultResendSeconds);
}

CAggrSvrClient::~CAggrSvrClient() {
    // A client still connected would leave its loop serving sockets made from a context that is
    // about to go.
    disconnect();
    backlog.dropAll("the service stopped before the server acknowledged them");
    for (TLookupList<String, CAggrSession*>::Iterator it(sessions); it.hasCurrent(); it.Step()) {
        delete it.iterator().value;
    }
}

int32_t CAggrSvrClient::setupSsl(const String& certificateFile, const String& keyFile,
                                 const String& caFile) {
    try {
        auto context = std::make_unique<SSLContext>(
            KRIString(certificateFile.c_str()), KRIString(keyFile.c_str()),
            KRIString(kKeyPassPhrase), KRIString(caFile.c_str()));
        ThreadLockGuard guard(clientLock);
        sslContext = std::move(context);
        return kSuccess;
    } catch (const SSLContextError&) {
        KRI_TRACE(kAggrSvrConnUnit, "Unable to create SSL context\n");
        KriReportEvent(kSslContextEventCode, "%s", "");
        return kSslContextFailed;
    }
}

void CAggrSvrClient::setServerName(const String& name) {
    ThreadLockGuard guard(clientLock);
    if (sslContext) {
        sslContext->setExpectedServerName(KRIString(name.c_str()));
    }
}

int32_t CAggrSvrClient::connect(const String& host, int port) {
    // Resolved before the lock is taken: a slow name server must not hold up the senders.
    const std::vector<uint32_t> addresses = hostResolver.load()(host.c_str());

    ThreadLockGuard guard(clientLock);
    // A second loop cannot start while the first one runs.
    if (loopStarted) {
        dropLink();
    }
    loopStarted = true;
    connectMadeNoSocket = true;
    monitor.connecting(std::string(host.c_str()) + ":" + std::to_string(port));
    // The new connections wait for the studio's announcement that follows this connect.
    backlog.clearAnnouncement();
    if (connects++ > 0) {
        ++reconnects;
    }
    if (start() != 0) {
        KRI_TRACE(kAggrSvrConnUnit, "Unable to start the connection thread\n");
        return kSuccess;
    }
    if (!sslContext) {
        KRI_TRACE(kAggrSvrConnUnit, "No SSL context to connect to %s\n", host.c_str());
        return kSuccess;
    }
    if (addresses.empty()) {
        KRI_TRACE(kAggrSvrConnUnit, "Unable to resolve host %s\n", host.c_str());
        return kSuccess;
    }
    std::vector<uint64_t> keys;
    for (const uint32_t address : addresses) {
        keys.push_back(addressKey(address, port));
        DeliveryBacklog::Cursor* cursor = backlog.cursorFor(keys.back());
        auto* socket = new CAggrSvrClientSocket(
            *sslContext,
            CAggrSvrClientSocket::Link{*this, backlog, cursor, monitor, deadPeerSeconds.load(),
                                       platform::inetNtoa(address) + ":" + std::to_string(port)});
        addSocket(socket);
        socket->connect(InetAddr(address, port));
        sockets.append(socket);
        {
            ThreadLockGuard tickGuard(tickLock);
            tickSockets.push_back(socket);
        }
        backlog.attach(cursor, socket);
    }
    backlog.keepCursors(keys);
    connectMadeNoSocket = false;
    return kSuccess;
}

int32_t CAggrSvrClient::disconnect() {
    ThreadLockGuard guard(clientLock);
    dropLink();
    return kSuccess;
}

void CAggrSvrClient::stopDelivery(int waitMs) {
    const int64_t until = static_cast<int64_t>(platform::tickCount64()) + waitMs;
    for (;;) {
        const DeliveryStatus status = deliveryStatus();
        if (status.pending == 0 || status.link != LinkState::kUp ||
            static_cast<int64_t>(platform::tickCount64()) >= until) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    {
        ThreadLockGuard guard(clientLock);
        dropLink(Close::kSessions);
    }
    SSLContext::releaseThreadState();
    backlog.dropAll("the service stopped before the server acknowledged them");
}

void CAggrSvrClient::dropLink(Close close) {
    for (TList<CAggrSvrClientSocket*>::Iterator it(sockets); it.hasCurrent(); it.Step()) {
        backlog.attach(it.iterator()->cursor(), nullptr);
    }
    // Once the loop has ended it calls no socket again, and the next loop starts with none.
    stop();
    {
        ThreadLockGuard tickGuard(tickLock);
        tickSockets.clear();
    }
    while (sockets.getCount() > 0) {
        sockets.reset();
        if (close == Close::kSessions) {
            sockets.iterator()->closeSession();
        }
        sockets.iterator()->settle();
        delete sockets.iterator();
        sockets.remove();
    }
    loopStarted = false;
    connectMadeNoSocket = false;
}

bool CAggrSvrClient::isConnected() {
    ThreadLockGuard guard(clientLock);
    if (connectMadeNoSocket) {
        return false;
    }
    for (TList<CAggrSvrClientSocket*>::Iterator it(sockets); it.hasCurrent(); it.Step()) {
        if (!it.iterator()->isConnected()) {
            return false;
        }
    }
    return true;
}

void CAggrSvrClient::setHostResolver(HostResolver resolver) {
    hostResolver.store(resolver);
}

void CAggrSvrClient::setDeliveryLimits(uint64_t backlogBytes, int seconds) {
    backlog.setLimit(backlogBytes);
    deadPeerSeconds.store(seconds);
}

void CAggrSvrClient::setResendWindow(int seconds) {
    backlog.setResendWindow(static_cast<int64_t>(seconds) * 1000);
}

DeliveryStatus CAggrSvrClient::deliveryStatus() {
    DeliveryStatus status = backlog.counters();
    monitor.fill(status);
    status.reconnects = reconnects.load();
    return status;
}

void CAggrSvrClient::onTick() {
    const int64_t now = static_cast<int64_t>(platform::tickCount64());
    loopProgress.store(now);
    std::vector<CAggrSvrClientSocket*> current;
    {
        ThreadLockGuard tickGuard(tickLock);
        current = tickSockets;
    }
    // The sockets live until the loop has ended, so they are used outside the lock.
    for (CAggrSvrClientSocket* socket : current) {
        socket->onTick(now);
    }
    backlog.onTick(now);
    monitor.onTick(now);
}

int32_t CAggrSvrClient::sendTransaction(uint32_t session, const String& actionText) {
    CMemXMLSrc source;
    source.SetMemPtr(actionText);
    CXMLDoc actionDocument;
    actionDocument.Parse(source);
    CXMLDoc transaction;
    CElementNode root = transaction.CreateRootElement("Kri_Transact");
    root.AddAttribute("session", String(static_cast<unsigned long>(session)));
    root.AppendChild(actionDocument.GetRootElement());
    const String text = root.GetXml();
    deliver(transactionwriter::framedText(std::string_view(text.c_str(), text.Length())));
    return kSuccess;
}

uint32_t CAggrSvrClient::findSession(const String& name) {
    ThreadLockGuard guard(sessionIdsLock);
    const auto found = sessionIds.find(std::string_view(name.c_str(), name.Length()));
    return found == sessionIds.end() ? 0 : found->second;
}

uint32_t CAggrSvrClient::addSession(const String& key, const String& name, const String& payload) {
    ThreadLockGuard guard(clientLock);
    auto session = std::make_unique<CAggrSession>(key, lastSessionId + 1);
    sessions.insert(key, session.get());
    const uint32_t id = session.release()->getId();
    lastSessionId = id;
    // Written under the lock: frames reach the backlog in the order the ids were handed out.
    deliver(
        transactionwriter::framedTransaction(id, "AddSession", "0", name.c_str(), payload.c_str()));
    // Found only from here on, so that no transaction for the session reaches the backlog before
    // its "AddSession".
    ThreadLockGuard indexGuard(sessionIdsLock);
    sessionIds.emplace(key.c_str(), id);
    return id;
}

int32_t CAggrSvrClient::removeSession(uint32_t session, const String& name) {
    std::string frame =
        transactionwriter::framedTransaction(session, "RemoveSession", "0", name.c_str(), "");

    ThreadLockGuard guard(clientLock);
    sessions.reset();
    while (sessions.hasCurrent()) {
        CAggrSession* record = sessions.iterator().value;
        if (record->getId() == session) {
            ThreadLockGuard indexGuard(sessionIdsLock);
            sessionIds.erase(record->getName().c_str());
            sessions.remove();
            delete record;
        } else {
            sessions.Step();
        }
    }
    deliver(frame);
    return kSuccess;
}

int32_t CAggrSvrClient::addStudio(const String& name, const String& id) {
    backlog.setAnnouncement(
        transactionwriter::framedTransaction(0, "AddStudio", id.c_str(), name.c_str(), ""));
    return kSuccess;
}

int32_t CAggrSvrClient::addEntry(uint32_t session, const String& paramId, const String& paramName,
                                 const String& payload) {
    return transact(session, "AddEntry", paramId, paramName, payload);
}

int32_t CAggrSvrClient::updateEntry(uint32_t session, const String& paramId,
                                    const String& paramName, const String& payload) {
    return transact(session, "UpdateEntry", paramId, paramName, payload);
}

int32_t CAggrSvrClient::removeEntry(uint32_t session, const String& paramId,
                                    const String& paramName, const String& payload) {
    return transact(session, "RemoveEntry", paramId, paramName, payload);
}

int32_t CAggrSvrClient::updateTime(uint32_t session, const String& payload) {
    return transact(session, "UpdateTime", "", "", payload);
}

int32_t CAggrSvrClient::changeSegment(uint32_t session, const String& segment,
                                      const String& payload) {
    return transact(session, "ChangeSegment", segment, "", payload);
}

int32_t CAggrSvrClient::transact(uint32_t session, const char* action, const String& paramId,
                                 const String& paramName, const String& payload) {
    // Each thread writes its frames into a buffer it keeps, so that a frame costs no allocation;
    // the backlog copies the bytes. An unusually large one is not kept.
    thread_local std::string frame;
    transactionwriter::writeFrame(frame, session, action, paramId.c_str(), paramName.c_str(),
                                  payload.c_str());
    deliver(frame);
    if (frame.capacity() > kKeptFrameBufferBytes) {
        frame = std::string();
    }
    return kSuccess;
}

void CAggrSvrClient::deliver(std::string_view frame) {
    const size_t textLength = frame.size() - transactionwriter::kFrameHeaderBytes;
    if (textLength > static_cast<size_t>(ConnectedSocket::kMaxMessageSize)) {
        KRI_TRACE_WARNING(kAggrSvrConnUnit,
                          "Transaction of %d bytes not sent: messages are limited to %d bytes\n",
                          static_cast<int>(textLength), ConnectedSocket::kMaxMessageSize);
        backlog.refuse();
        return;
    }
    backlog.push(frame);
}
