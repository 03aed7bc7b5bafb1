#include "Tools/RovazoRiva/Common/AggrSvrClientSocket.h"

#include <algorithm>

#include "Platform/Clock.h"
#include "Platform/Socket.h"
#include "Tools/RovazoRiva/Common/LinkMonitor.h"

CAggrSvrClientSocket::CAggrSvrClientSocket(SSLContext& context, const Link& link)
    : SSLClientSocket(context), link(link) {
    // A failure leaves the kernel's defaults; the stall check below still ends a dead link.
    platform::setDeadPeerTimeout(socketHandle, link.deadPeerSeconds);
    // Frames are gathered into batches here; the server never answers, so a batch held back for
    // its acknowledgement would wait for the server's delayed one.
    platform::setSendAtOnce(socketHandle);
}

CAggrSvrClientSocket::~CAggrSvrClientSocket() = default;

void CAggrSvrClientSocket::reactorStopped() {}

void CAggrSvrClientSocket::WriteTask::execute() {
    owner.writePosted.store(false);
    owner.writePending();
}

void CAggrSvrClientSocket::WriteTask::executeOnStop() {
    owner.writePosted.store(false);
}

void CAggrSvrClientSocket::wake() {
    if (!writePosted.exchange(true)) {
        link.loop.postTask(&writeTask);
    }
}

bool CAggrSvrClientSocket::onSSLConnected() {
    linkUp.store(true, std::memory_order_release);
    phase.store(Phase::kAnnouncing);
    lastProgressMs = static_cast<int64_t>(platform::tickCount64());
    link.monitor.sessionVerified(link.peer);
    writePending();
    return true;
}

void CAggrSvrClientSocket::writePending() {
    for (;;) {
        const Phase now = phase.load();
        if (now != Phase::kAnnouncing && now != Phase::kReady) {
            return;
        }
        if (batch == Batch::kNone && !takeNextBatch()) {
            return;
        }
        const int length = static_cast<int>(writeBuffer.size());
        const int written = writeSession(writeBuffer.data(), length);
        if (written == length) {
            completeBatch();
        } else if (written == -platform::kWsaEWouldBlock) {
            // The transport noted the block; the socket's next writable event resumes here with
            // the same buffer, as the TLS layer requires.
            return;
        } else {
            onError(written < 0 ? written : -platform::kWsaEConnAborted);
            return;
        }
    }
}

bool CAggrSvrClientSocket::takeNextBatch() {
    writeBuffer.clear();
    if (announcedVersion == 0 || link.backlog.announcementVersion() != announcedVersion) {
        batchAnnouncement = link.backlog.takeAnnouncement(writeBuffer);
        if (batchAnnouncement == 0) {
            return false;  // nothing goes out before the studio is announced
        }
        batch = Batch::kAnnouncement;
        return true;
    }
    if (link.backlog.takeBatch(link.cursor, writeBuffer, kBatchBytes, batchLastSequence) == 0) {
        return false;
    }
    batch = Batch::kFrames;
    return true;
}

void CAggrSvrClientSocket::completeBatch() {
    if (batch == Batch::kAnnouncement) {
        announcedVersion = batchAnnouncement;
        if (phase.load() == Phase::kAnnouncing) {
            phase.store(Phase::kReady, std::memory_order_release);
            link.monitor.announced();
        }
    } else {
        link.backlog.markWritten(link.cursor, batchLastSequence, transportBytesWritten());
    }
    batch = Batch::kNone;
    writeBuffer.clear();
}

bool CAggrSvrClientSocket::writeHook() {
    writePending();
    return true;
}

bool CAggrSvrClientSocket::readHook() {
    const Phase now = phase.load();
    if (now == Phase::kConnecting) {
        return false;
    }
    if (now == Phase::kEnded) {
        return true;
    }
    readBudget = kReadBudget;
    ConnectedSocket::onReadable();
    // The server has sent its close_notify, and the session answered it.
    const SSLState session = sessionState();
    if (phase.load() != Phase::kEnded &&
        (session == SSLState::kShuttingDown || session == SSLState::kShutDown)) {
        const std::string alert = lastFailureReason();
        if (alert.empty()) {
            endConnection(0, "the server closed the TLS session");
        } else {
            endConnection(-platform::kWsaEConnAborted, alert);
        }
        return true;
    }
    writePending();
    return true;
}

int CAggrSvrClientSocket::recvRaw(char* buffer, int length) {
    if (readBudget <= 0) {
        return -platform::kWsaEWouldBlock;
    }
    const int received = SSLClientSocket::recvRaw(buffer, std::min(length, readBudget));
    if (received > 0) {
        readBudget -= received;
    }
    return received;
}

void CAggrSvrClientSocket::handleMessage(const char* /*data*/, int /*length*/) {}

void CAggrSvrClientSocket::takeAcknowledgements() {
    const int64_t unacknowledged = platform::unacknowledgedBytes(socketHandle);
    if (unacknowledged < 0) {
        return;
    }
    const uint64_t written = transportBytesWritten();
    const uint64_t acknowledged =
        written - std::min(written, static_cast<uint64_t>(unacknowledged));
    if (acknowledged != lastAcknowledged) {
        lastAcknowledged = acknowledged;
        lastProgressMs = static_cast<int64_t>(platform::tickCount64());
    }
    link.backlog.acknowledge(link.cursor, acknowledged);
}

void CAggrSvrClientSocket::onTick(int64_t nowMs) {
    if (phase.load() != Phase::kReady) {
        lastProgressMs = nowMs;
        return;
    }
    takeAcknowledgements();
    if (batch == Batch::kNone && !link.backlog.hasUndelivered(link.cursor)) {
        lastProgressMs = nowMs;
        return;
    }
    const int64_t limitMs = static_cast<int64_t>(link.deadPeerSeconds) * 1000;
    if (nowMs - lastProgressMs >= limitMs) {
        endConnection(-platform::kWsaETimedOut,
                      "the server took no data for " + std::to_string(link.deadPeerSeconds) + " s");
        return;
    }
    writePending();
}

void CAggrSvrClientSocket::settle() {
    const Phase now = phase.load();
    if (now == Phase::kAnnouncing || now == Phase::kReady) {
        takeAcknowledgements();
        link.backlog.connectionEnded(link.cursor);
    }
}

void CAggrSvrClientSocket::readLastWords() {
    const Phase now = phase.load();
    if (now != Phase::kAnnouncing && now != Phase::kReady) {
        return;
    }
    char scratch[4096];
    int budget = kReadBudget;
    int received = 0;
    while (budget > 0 && (received = SSLClientSocket::recvRaw(scratch, sizeof scratch)) > 0) {
        budget -= received;
    }
}

void CAggrSvrClientSocket::onError(int code) {
    readLastWords();
    std::string reason = lastFailureReason();
    if (reason.empty()) {
        reason = platform::winsockErrorText(-code);
    }
    endConnection(code, reason);
}

void CAggrSvrClientSocket::endConnection(int code, const std::string& reason) {
    if (phase.load() == Phase::kEnded) {
        return;
    }
    endCode = code;
    endReason = reason;
    onClosed(false);
}

void CAggrSvrClientSocket::onClosed(bool graceful) {
    if (endReason.empty()) {
        readLastWords();
        endReason = lastFailureReason();
        endCode = endReason.empty() ? 0 : -platform::kWsaEConnAborted;
    }
    if (endReason.empty()) {
        endCode = graceful ? 0 : -platform::kWsaEConnReset;
        endReason = graceful ? "the server closed the connection"
                             : platform::winsockErrorText(platform::kWsaEConnReset);
    }
    // The acknowledgements are read from the connection before its handle is closed.
    settle();
    SSLClientSocket::onClosed(graceful);
}

bool CAggrSvrClientSocket::onSSLDisconnected(bool /*graceful*/) {
    linkUp.store(false, std::memory_order_release);
    phase.store(Phase::kEnded, std::memory_order_release);
    batch = Batch::kNone;
    writeBuffer.clear();
    link.backlog.connectionEnded(link.cursor);
    if (endReason.empty()) {
        // A handshake that failed ends here without passing through onClosed above.
        endReason = lastFailureReason();
        endCode = endReason.empty() ? 0 : -platform::kWsaEConnAborted;
        if (endReason.empty()) {
            endReason = "the server closed the connection";
        }
    }
    link.monitor.ended(link.peer, endCode, endReason);
    endCode = 0;
    endReason.clear();
    return true;
}
