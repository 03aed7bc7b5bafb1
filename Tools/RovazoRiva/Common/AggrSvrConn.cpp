#include "Tools/RovazoRiva/Common/AggrSvrConn.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

#include "LibraryInterfaces/DomParse.h"
#include "LibraryInterfaces/KriErr.h"
#include "Platform/Resolver.h"
#include "ServerSockets.h"

namespace {

constexpr uint32_t kSslContextEventCode = 0xCE000D01u;

// One event-log record, with its text also written as a trace line of its own.
void reportEvent(uint32_t code, const char* format, ...) __attribute__((format(printf, 2, 3)));

void reportEvent(uint32_t code, const char* format, ...) {
    va_list args;
    va_start(args, format);
    char text[512];
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    __KriLogTrace("%s", text);
    va_start(args, format);
    __KriEventLog(code, format, args);
    va_end(args);
}

}  // namespace

CAggrSvrClient::CAggrSvrClient() : hostResolver(&platform::resolveHost) {}

CAggrSvrClient::~CAggrSvrClient() {
    // A client still connected would leave its loop serving sockets made from a context that is
    // about to go.
    disconnect();
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
        std::lock_guard<ThreadLock> guard(clientLock);
        sslContext = std::move(context);
        return kSuccess;
    } catch (const SSLContextError&) {
        KRI_TRACE(kAggrSvrConnUnit, "Unable to create SSL context\n");
        reportEvent(kSslContextEventCode, "%s", "");
        return kSslContextFailed;
    }
}

void CAggrSvrClient::setServerName(const String& name) {
    std::lock_guard<ThreadLock> guard(clientLock);
    if (sslContext) {
        sslContext->setExpectedServerName(KRIString(name.c_str()));
    }
}

int32_t CAggrSvrClient::connect(const String& host, int port) {
    // Resolved before the lock is taken: a slow name server must not hold up the senders.
    const std::vector<uint32_t> addresses = hostResolver.load()(host.c_str());

    std::lock_guard<ThreadLock> guard(clientLock);
    // A second loop cannot start while the first one runs.
    if (loopStarted) {
        dropLink();
    }
    loopStarted = true;
    connectMadeNoSocket = true;
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
    for (const uint32_t address : addresses) {
        auto* socket = new CAggrSvrClientSocket(*sslContext);
        addSocket(socket);
        socket->connect(InetAddr(address, port));
        sockets.append(socket);
    }
    connectMadeNoSocket = false;
    return kSuccess;
}

int32_t CAggrSvrClient::disconnect() {
    std::lock_guard<ThreadLock> guard(clientLock);
    dropLink();
    return kSuccess;
}

void CAggrSvrClient::dropLink() {
    // Once the loop has ended it calls no socket again, and the next loop starts with none.
    stop();
    while (sockets.getCount() > 0) {
        sockets.reset();
        delete sockets.iterator();
        sockets.remove();
    }
    loopStarted = false;
    connectMadeNoSocket = false;
}

bool CAggrSvrClient::isConnected() {
    std::lock_guard<ThreadLock> guard(clientLock);
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

String CAggrSvrClient::buildAction(const String& actionName, const String& paramId,
                                   const String& paramName, const String& payload) {
    CXMLDoc document;
    CElementNode action = document.CreateRootElement("Action");
    action.AddAttribute("name", actionName);
    CElementNode param =
        action.AppendChild(CElementNode("Params")).AppendChild(CElementNode("Param"));
    param.AddAttribute("id", paramId);
    param.AddAttribute("name", paramName);
    param.AppendChild(CCDATASection(payload));
    return action.GetXml();
}

String CAggrSvrClient::wrapAction(uint32_t session, const String& actionText) {
    std::string text;
    text.reserve(static_cast<size_t>(actionText.Length()) + 48);
    text += "<Kri_Transact session=\"";
    text += std::to_string(session);
    text += "\">";
    text += actionText.c_str();
    text += "</Kri_Transact>";
    return String(text.c_str());
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

    std::lock_guard<ThreadLock> guard(clientLock);
    deliver(text);
    return kSuccess;
}

uint32_t CAggrSvrClient::findSession(const String& name) {
    std::lock_guard<ThreadLock> guard(clientLock);
    for (TLookupList<String, CAggrSession*>::Iterator it(sessions); it.hasCurrent(); it.Step()) {
        if (it.iterator().key == name) {
            return it.iterator().value->getId();
        }
    }
    return 0;
}

uint32_t CAggrSvrClient::addSession(const String& key, const String& name, const String& payload) {
    const String action = buildAction("AddSession", "0", name, payload);

    std::lock_guard<ThreadLock> guard(clientLock);
    auto session = std::make_unique<CAggrSession>(key, lastSessionId + 1);
    sessions.insert(key, session.get());
    const uint32_t id = session.release()->getId();
    lastSessionId = id;
    deliver(wrapAction(id, action));
    return id;
}

int32_t CAggrSvrClient::removeSession(uint32_t session, const String& name) {
    const String action = buildAction("RemoveSession", "0", name, "");

    std::lock_guard<ThreadLock> guard(clientLock);
    sessions.reset();
    while (sessions.hasCurrent()) {
        CAggrSession* record = sessions.iterator().value;
        if (record->getId() == session) {
            sessions.remove();
            delete record;
        } else {
            sessions.Step();
        }
    }
    deliver(wrapAction(session, action));
    return kSuccess;
}

int32_t CAggrSvrClient::addStudio(const String& name, const String& id) {
    return transact(0, buildAction("AddStudio", id, name, ""));
}

int32_t CAggrSvrClient::addEntry(uint32_t session, const String& paramId, const String& paramName,
                                 const String& payload) {
    return transact(session, buildAction("AddEntry", paramId, paramName, payload));
}

int32_t CAggrSvrClient::updateEntry(uint32_t session, const String& paramId,
                                    const String& paramName, const String& payload) {
    return transact(session, buildAction("UpdateEntry", paramId, paramName, payload));
}

int32_t CAggrSvrClient::removeEntry(uint32_t session, const String& paramId,
                                    const String& paramName, const String& payload) {
    return transact(session, buildAction("RemoveEntry", paramId, paramName, payload));
}

int32_t CAggrSvrClient::updateTime(uint32_t session, const String& payload) {
    return transact(session, buildAction("UpdateTime", "", "", payload));
}

int32_t CAggrSvrClient::changeSegment(uint32_t session, const String& segment,
                                      const String& payload) {
    return transact(session, buildAction("ChangeSegment", segment, "", payload));
}

int32_t CAggrSvrClient::transact(uint32_t session, const String& actionText) {
    const String text = wrapAction(session, actionText);
    std::lock_guard<ThreadLock> guard(clientLock);
    deliver(text);
    return kSuccess;
}

void CAggrSvrClient::deliver(const String& text) {
    for (TList<CAggrSvrClientSocket*>::Iterator it(sockets); it.hasCurrent(); it.Step()) {
        it.iterator()->sendMessage(text.c_str(), text.Length());
    }
}
