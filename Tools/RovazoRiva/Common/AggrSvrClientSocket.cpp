#include "Tools/RovazoRiva/Common/AggrSvrClientSocket.h"

#include <algorithm>
#include <utility>

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
    // Read first: while a pass is waiting, senders only read the flag and do not pull its cache
    // line away from the loop thread on every frame.
    // A write that would block resumes at the socket's writable event; a pass now would only
    // try it again, and could write into a connection whose reset the loop has yet to report.
    if (writeBlocked.load()) {
        return;
    }
    if (!writePosted.load(std::memory_order_relaxed) && !writePosted.exchange(true)) {
        link.loop.postTask(&writeTask);
    }
}

namespace {

constexpr char kServerClosedSession[] = "the server closed the TLS session";

int64_t steadyNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

bool CAggrSvrClientSocket::onSSLConnected() {
    linkUp.store(true, std::memory_order_release);
    phase.store(Phase::kAnnouncing);
    {
        std::lock_guard<std::mutex> guard(writeLock);
        lastProgressMs = static_cast<int64_t>(platform::tickCount64());
    }
    link.monitor.sessionVerified(link.peer);
    writePending();
    return true;
}

bool CAggrSvrClientSocket::idle() {
    return phase.load(std::memory_order_acquire) == Phase::kReady &&
           !writePosted.load(std::memory_order_relaxed) &&
           steadyNowNs() - lastWriteNs.load(std::memory_order_relaxed) >=
               std::chrono::nanoseconds(kIdleBeforeCallerWrite).count();
}

bool CAggrSvrClientSocket::writeOnCallerThread() {
    std::unique_lock<std::mutex> guard(writeLock, std::try_to_lock);
    if (!guard.owns_lock() || phase.load() != Phase::kReady || batch != Batch::kNone ||
        writeFailure != 0) {
        return false;
    }
    // One batch at most: a sender does not stay to write what others push meanwhile.
    if (!takeNextBatch()) {
        return true;
    }
    // A write that would block is resumed by the loop at the socket's next writable event, as
    // the loop's own are; a failed one is left for the loop to report.
    return writeBatch(DeliveryBacklog::WrittenBy::kCaller) != WriteResult::kFailed;
}

void CAggrSvrClientSocket::writePending() {
    int failure = 0;
    {
        std::lock_guard<std::mutex> guard(writeLock);
        for (;;) {
            const Phase now = phase.load();
            if (now != Phase::kAnnouncing && now != Phase::kReady) {
                return;
            }
            if (writeFailure != 0) {
                break;
            }
            if (batch == Batch::kNone && !takeNextBatch()) {
                return;
            }
            const WriteResult result = writeBatch(DeliveryBacklog::WrittenBy::kLoop);
            if (result == WriteResult::kBlocked) {
                // The transport noted the block; the socket's next writable event resumes here
                // with the same buffer, as the TLS layer requires.
                return;
            }
            if (result == WriteResult::kFailed) {
                break;
            }
        }
        // Left by a failed write, this pass's or a sender's.
        failure = std::exchange(writeFailure, 0);
    }
    // Ending the connection takes the write lock again.
    onError(failure);
}

CAggrSvrClientSocket::WriteResult CAggrSvrClientSocket::writeBatch(DeliveryBacklog::WrittenBy by) {
    const int length = static_cast<int>(writeBuffer.size());
    const int written = writeSession(writeBuffer.data(), length);
    if (written == length) {
        writeBlocked.store(false);
        completeBatch(by);
        return WriteResult::kDone;
    }
    if (written == -platform::kWsaEWouldBlock) {
        writeBlocked.store(true);
        return WriteResult::kBlocked;
    }
    if (by == DeliveryBacklog::WrittenBy::kCaller &&
        (written == -platform::kWsaEShutdown || written == -platform::kWsaENotConnected)) {
        // The connection is closed for sending because the loop has already taken its error (a
        // reset, say) from the socket, or the TLS session because the loop has just read the
        // server's close_notify: the loop ends the connection with the real reason.
        writeBlocked.store(true);
        return WriteResult::kBlocked;
    }
    writeFailure = written < 0 ? written : -platform::kWsaEConnAborted;
    return WriteResult::kFailed;
}

bool CAggrSvrClientSocket::takeNextBatch() {
    writeBuffer.clear();
    lastWriteNs.store(steadyNowNs(), std::memory_order_relaxed);
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

void CAggrSvrClientSocket::completeBatch(DeliveryBacklog::WrittenBy by) {
    if (batch == Batch::kAnnouncement) {
        announcedVersion = batchAnnouncement;
        if (phase.load() == Phase::kAnnouncing) {
            phase.store(Phase::kReady, std::memory_order_release);
            link.monitor.announced();
        }
    } else {
        link.backlog.markWritten(link.cursor, batchLastSequence, transportBytesWritten(), by);
    }
    batch = Batch::kNone;
    writeBuffer.clear();
    lastWriteNs.store(steadyNowNs(), std::memory_order_relaxed);
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
        endConnection(0, kServerClosedSession);
        return true;
    }
    // A sender's write that failed took the socket's error with it: after a reset, a read finds
    // only the end of the stream, which would read as the server's close.
    if (const int failure = takeWriteFailure(); failure != 0) {
        onError(failure);
        return true;
    }
    readBudget = kReadBudget;
    drainServerInput();
    // The server has sent its close_notify, and the session answered it.
    const SSLState session = sessionState();
    if (phase.load() != Phase::kEnded &&
        (session == SSLState::kShuttingDown || session == SSLState::kShutDown)) {
        if (const int failure = takeWriteFailure(); failure != 0) {
            onError(failure);
            return true;
        }
        const std::string alert = lastFailureReason();
        if (alert.empty()) {
            awaitServerClose();
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
    if (acknowledged != lastAcknowledged) {
        lastAcknowledged = acknowledged;
        lastProgressMs = static_cast<int64_t>(platform::tickCount64());
    }
    link.backlog.acknowledge(link.cursor, acknowledged);
}

void CAggrSvrClientSocket::awaitServerClose() {
    {
        std::lock_guard<std::mutex> guard(writeLock);
        takeAcknowledgements();
        phase.store(Phase::kClosing, std::memory_order_release);
    }
    closingSinceMs = static_cast<int64_t>(platform::tickCount64());
    endCode = 0;
    endReason = kServerClosedSession;
    // A server that waits for our close before it closes its own end hears of it at once.
    ConnectedSocket::shutdownSend();
}

void CAggrSvrClientSocket::onTick(int64_t nowMs) {
    if (phase.load() == Phase::kClosing) {
        if (nowMs - closingSinceMs >= kCloseWaitMs) {
            endConnection(0, kServerClosedSession);
        }
        return;
    }
    bool stalled = false;
    {
        std::lock_guard<std::mutex> guard(writeLock);
        if (phase.load() != Phase::kReady) {
            lastProgressMs = nowMs;
            return;
        }
        takeAcknowledgements();
        if (batch == Batch::kNone && !link.backlog.hasUndelivered(link.cursor)) {
            lastProgressMs = nowMs;
            return;
        }
        stalled = nowMs - lastProgressMs >= static_cast<int64_t>(link.deadPeerSeconds) * 1000;
    }
    if (stalled) {
        endConnection(-platform::kWsaETimedOut,
                      "the server took no data for " + std::to_string(link.deadPeerSeconds) + " s");
        return;
    }
    writePending();
}

void CAggrSvrClientSocket::settle() {
    const Phase now = phase.load();
    if (now == Phase::kAnnouncing || now == Phase::kReady || now == Phase::kClosing) {
        std::lock_guard<std::mutex> guard(writeLock);
        // A closing connection's acknowledgements were taken at the server's close: what its
        // TCP took since may never have been read.
        if (now != Phase::kClosing) {
            takeAcknowledgements();
        }
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

int CAggrSvrClientSocket::takeWriteFailure() {
    std::lock_guard<std::mutex> guard(writeLock);
    return std::exchange(writeFailure, 0);
}

void CAggrSvrClientSocket::onClosed(bool graceful) {
    if (graceful && phase.load() == Phase::kClosing) {
        // A server closes its TCP in order only when it has read all its TCP took, so what
        // this close acknowledges was read.
        std::lock_guard<std::mutex> guard(writeLock);
        takeAcknowledgements();
    }
    if (const int failure = takeWriteFailure(); endReason.empty() && failure != 0) {
        endCode = failure;
        endReason = platform::winsockErrorText(-failure);
    }
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
    {
        std::lock_guard<std::mutex> guard(writeLock);
        phase.store(Phase::kEnded, std::memory_order_release);
        writeBlocked.store(false);
        batch = Batch::kNone;
        writeBuffer.clear();
        writeFailure = 0;
        link.backlog.connectionEnded(link.cursor);
    }
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
