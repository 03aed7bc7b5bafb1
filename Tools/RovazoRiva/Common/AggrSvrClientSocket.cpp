#include "Tools/RovazoRiva/Common/AggrSvrClientSocket.h"

#include <algorithm>
#include <cinttypes>

#include "LibraryInterfaces/KriErr.h"
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
    platform::setUnsentLimit(socketHandle, kUnsentLimit);
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
    // A write that would block resumes at the socket's writable event; a pass now would only
    // try it again. Read first: while a pass is waiting, senders only read the flag and do not
    // pull its cache line away from the loop thread on every frame.
    if (batchBlocked.load()) {
        return;
    }
    if (!writePosted.load(std::memory_order_relaxed) && !writePosted.exchange(true)) {
        link.loop.postTask(&writeTask);
    }
}

namespace {

constexpr char kAggrSvrClientSocketUnit[] = "Tools/RovazoRiva/Common/AggrSvrClientSocket";
constexpr char kServerClosedSession[] = "the server closed the TLS session";

int64_t nowMs() {
    return static_cast<int64_t>(platform::tickCount64());
}

}  // namespace

bool CAggrSvrClientSocket::onSSLConnected() {
    linkUp.store(true, std::memory_order_release);
    phase.store(Phase::kAnnouncing);
    lastProgressMs = nowMs();
    link.monitor.sessionVerified(link.peer);
    writePending();
    return true;
}

void CAggrSvrClientSocket::writePending() {
    int failure = 0;
    for (;;) {
        const Phase now = phase.load();
        if (now != Phase::kAnnouncing && now != Phase::kReady) {
            return;
        }
        if (batch == Batch::kNone && !takeNextBatch()) {
            return;
        }
        const WriteResult result = writeBatch(failure);
        if (result == WriteResult::kBlocked) {
            // The transport noted the block; the socket's next writable event resumes here
            // with the same buffer, as the TLS layer requires.
            return;
        }
        if (result == WriteResult::kFailed) {
            break;
        }
    }
    onError(failure);
}

CAggrSvrClientSocket::WriteResult CAggrSvrClientSocket::writeBatch(int& failure) {
    const int length = static_cast<int>(writeBuffer.size());
    const int written = writeSession(writeBuffer.data(), length);
    if (written == length) {
        batchBlocked.store(false);
        completeBatch();
        return WriteResult::kDone;
    }
    if (written == -platform::kWsaEWouldBlock) {
        batchBlocked.store(true);
        return WriteResult::kBlocked;
    }
    failure = written < 0 ? written : -platform::kWsaEConnAborted;
    return WriteResult::kFailed;
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
    if (now == Phase::kClosing) {
        // Data after its close_notify: this server is not closing as expected, so the
        // connection ends without waiting for its TCP close.
        endConnection(0, kServerClosedSession, closingSinceMs);
        return true;
    }
    readBudget = kReadBudget;
    drainServerInput();
    // The server has sent its close_notify, and the session answered it.
    const SSLState session = sessionState();
    if (phase.load() != Phase::kEnded &&
        (session == SSLState::kShuttingDown || session == SSLState::kShutDown)) {
        const std::string alert = lastFailureReason();
        if (alert.empty()) {
            awaitServerClose();
        } else {
            endConnection(-platform::kWsaEConnAborted, alert, nowMs());
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

void CAggrSvrClientSocket::drainServerInput() {
    char scratch[kDrainBytes];
    for (;;) {
        const int received = recvRaw(scratch, sizeof scratch);
        if (received <= 0) {
            if (received < 0 && received != -platform::kWsaEWouldBlock) {
                onError(received);
            }
            return;
        }
    }
}

void CAggrSvrClientSocket::takeAcknowledgements() {
    const int64_t unacknowledged = platform::unacknowledgedBytes(socketHandle);
    if (unacknowledged < 0) {
        return;
    }
    const uint64_t written = transportBytesWritten();
    const uint64_t acknowledged =
        written - std::min(written, static_cast<uint64_t>(unacknowledged));
    const int64_t now = nowMs();
    if (acknowledged != lastAcknowledged) {
        lastAcknowledged = acknowledged;
        lastProgressMs = now;
    }
    link.backlog.acknowledge(link.cursor, acknowledged, now);
}

void CAggrSvrClientSocket::awaitServerClose() {
    takeAcknowledgements();
    phase.store(Phase::kClosing, std::memory_order_release);
    closingSinceMs = nowMs();
    endCode = 0;
    endReason = kServerClosedSession;
    endSinceMs = closingSinceMs;
    // A server that waits for our close before it closes its own end hears of it at once.
    ConnectedSocket::shutdownSend();
}

void CAggrSvrClientSocket::onTick(int64_t now) {
    const Phase current = phase.load();
    if (current == Phase::kClosing) {
        if (now - closingSinceMs >= kCloseWaitMs) {
            endConnection(0, kServerClosedSession, closingSinceMs);
        }
        return;
    }
    if (current != Phase::kReady) {
        lastProgressMs = now;
        return;
    }
    takeAcknowledgements();
    if (batch == Batch::kNone && !link.backlog.hasUndelivered(link.cursor)) {
        lastProgressMs = now;
        return;
    }
    if (now - lastProgressMs >= static_cast<int64_t>(link.deadPeerSeconds) * 1000) {
        // What the server's TCP took shortly before it stopped taking data is what a dying
        // server may have left unread: the end counts from then.
        endConnection(-platform::kWsaETimedOut,
                      "the server took no data for " + std::to_string(link.deadPeerSeconds) + " s",
                      lastProgressMs);
        return;
    }
    writePending();
}

void CAggrSvrClientSocket::closeSession() {
    const Phase now = phase.load();
    if (now == Phase::kAnnouncing || now == Phase::kReady) {
        takeAcknowledgements();
        SSLClientSocket::shutdownSend();
    }
}

void CAggrSvrClientSocket::settle() {
    const Phase now = phase.load();
    if (now == Phase::kClosing) {
        // Acknowledgements taken since the server's close may never have been read.
        finishConnection(DeliveryBacklog::Ending::kBroken, closingSinceMs, kServerClosedSession);
    } else if (now == Phase::kAnnouncing || now == Phase::kReady) {
        takeAcknowledgements();
        finishConnection(DeliveryBacklog::Ending::kOrderly, nowMs(), "our own close");
    }
}

void CAggrSvrClientSocket::finishConnection(DeliveryBacklog::Ending ending, int64_t endMs,
                                            const std::string& after) {
    if (finished) {
        return;
    }
    finished = true;
    const DeliveryBacklog::Resend resend = link.backlog.connectionEnded(link.cursor, ending, endMs);
    if (resend.frames == 0) {
        return;
    }
    // Whatever the kernel still holds for this connection would reach the server after the
    // next connection's frames.
    platform::setResetOnClose(socketHandle);
    KRI_TRACE(kAggrSvrClientSocketUnit,
              "%" PRIu64 " transactions go again on the next connection to %s after %s (%" PRIu64
              " of them acknowledged by the server's TCP)\n",
              resend.frames, link.peer.c_str(), after.c_str(), resend.acknowledged);
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
    // A dead peer that the kernel noticed stopped taking data when the acknowledgements did.
    endConnection(code, reason, code == -platform::kWsaETimedOut ? lastProgressMs : nowMs());
}

void CAggrSvrClientSocket::endConnection(int code, const std::string& reason, int64_t sinceMs) {
    if (phase.load() == Phase::kEnded) {
        return;
    }
    endCode = code;
    endReason = reason;
    endSinceMs = sinceMs;
    onClosed(false);
}

void CAggrSvrClientSocket::onClosed(bool closedInOrder) {
    const Phase now = phase.load();
    const bool graceful = closedInOrder && !transportWasReset();
    if (endReason.empty()) {
        readLastWords();
        endReason = lastFailureReason();
        endCode = endReason.empty() ? 0 : -platform::kWsaEConnAborted;
        endSinceMs = nowMs();
    }
    if (endReason.empty()) {
        endCode = graceful ? 0 : -platform::kWsaEConnReset;
        endReason = graceful ? "the server closed the connection"
                             : platform::winsockErrorText(platform::kWsaEConnReset);
    }
    // The acknowledgements are read from the connection before its handle is closed.
    if (now == Phase::kClosing && graceful) {
        // A server closes its TCP in order only when it has read all its TCP took, so what
        // this close acknowledges was read.
        takeAcknowledgements();
        finishConnection(DeliveryBacklog::Ending::kOrderly, nowMs(), endReason);
    } else if (now == Phase::kClosing) {
        finishConnection(DeliveryBacklog::Ending::kBroken, closingSinceMs, endReason);
    } else if (now == Phase::kAnnouncing || now == Phase::kReady) {
        takeAcknowledgements();
        // An orderly TCP close from the server's side, even without its TLS close, also says
        // that its program read all its TCP took (its kernel would have reset the connection
        // otherwise): only what was not acknowledged goes again. Counting it as a bad end
        // would write the frames of the window again, and since each new connection
        // acknowledges them afresh, a server that closes within the window of every catch-up
        // would get, and the backlog keep, everything since the first such close.
        // Where the acknowledged count may run ahead of the server's TCP (Windows), the bytes
        // it took for acknowledged may never have reached that TCP, so an unasked close proves
        // nothing of them: it ends the connection as a bad end does.
        if (graceful && platform::unacknowledgedBytesAreExact()) {
            finishConnection(DeliveryBacklog::Ending::kOrderly, nowMs(), endReason);
        } else {
            finishConnection(DeliveryBacklog::Ending::kBroken, endSinceMs, endReason);
        }
    }
    SSLClientSocket::onClosed(graceful);
}

bool CAggrSvrClientSocket::onSSLDisconnected(bool /*graceful*/) {
    linkUp.store(false, std::memory_order_release);
    phase.store(Phase::kEnded, std::memory_order_release);
    batchBlocked.store(false);
    batch = Batch::kNone;
    writeBuffer.clear();
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
