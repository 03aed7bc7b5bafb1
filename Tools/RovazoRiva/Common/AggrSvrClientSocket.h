// CAggrSvrClientSocket: one SSL connection of the aggregation client to one address of the
// aggregation server, and the writer of that address's view of the delivery backlog.
//
// The aggregation client makes one per server address in connect, registers it with its event
// loop before connecting it, and deletes it in disconnect. The link is one way: whatever the
// server sends is read (at most kReadBudget bytes per wake-up, so that a flooding server cannot
// hold the loop), framed and dropped.
//
// A connection goes through one lifecycle, never twice:
//   kConnecting  TCP connect and TLS handshake under way
//   kAnnouncing  the server passed verification; the studio's announcement is written first,
//                as soon as there is one
//   kReady       the announcement is written; the backlog's frames follow in order
//   kClosing     the server has closed its TLS session and ours has answered: nothing more is
//                written, our TCP side is shut, and the connection waits up to kCloseWait for
//                the server's TCP close. An orderly one acknowledges every byte the server read,
//                so the frames it read while closing are not written again; a reset or the end
//                of the wait leaves the acknowledgements as they stood at the server's close.
//   kEnded       an error, a reset, the server's close (TLS close_notify or TCP), or data that
//                the server's TCP took no byte of for deadPeerSeconds. The connection is closed,
//                its unacknowledged frames go back to the backlog, and the reason goes to the
//                link monitor. The client's owner then rebuilds the link.
// The socket sets TCP keepalive and TCP_USER_TIMEOUT, so a peer that dies silently ends the
// connection within deadPeerSeconds whether it is idle or busy.
//
// Threads: the event loop's thread runs every callback, the writes and the tick. A sending
// thread may write instead when the connection has been idle for kIdleBeforeCallerWrite
// (writeOnCallerThread): the write state (the batch, its buffer, the announcement written) and
// the reading of acknowledgements belong to whoever holds writeLock; a sender only tries it, and
// leaves the work to the loop when it is taken. The TLS session itself is serialised by the
// socket layer. wake() and idle() are called from any thread; isConnected() from any thread.
// Requires: the SSL context, the loop, the backlog and the monitor outlive the socket; the
// socket is removed from its loop, or the loop has ended, before it is deleted.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

#include "Reactor.h"
#include "SSLSockets.h"
#include "Tools/RovazoRiva/Common/DeliveryBacklog.h"

class LinkMonitor;

class CAggrSvrClientSocket : public SSLClientSocket, public DeliveryWriter {
public:
    static constexpr int kReadBudget = 256 * 1024;
    // Frames are written in batches of about this size: one TLS record each.
    static constexpr size_t kBatchBytes = 16 * 1024;

    // What the socket works with, all owned by the client.
    struct Link {
        Reactor& loop;
        DeliveryBacklog& backlog;
        DeliveryBacklog::Cursor* cursor;
        LinkMonitor& monitor;
        int deadPeerSeconds;
        std::string peer;  // address:port, to tell the addresses' link lines apart
    };

    CAggrSvrClientSocket(SSLContext& context, const Link& link);
    ~CAggrSvrClientSocket() override;

    void reactorStopped() override;

    // True only between a verified SSL handshake and the end of the connection.
    bool isConnected() const { return linkUp.load(std::memory_order_acquire); }
    // The studio has been announced on this connection and the backlog flows.
    bool isReady() const { return phase.load(std::memory_order_acquire) == Phase::kReady; }

    DeliveryBacklog::Cursor* cursor() const { return link.cursor; }

    // Nothing written for this long makes the connection idle: a frame pushed then may be
    // written on the pushing thread. Faster senders leave the writing to the loop, in batches.
    static constexpr std::chrono::microseconds kIdleBeforeCallerWrite{500};
    // How long a connection the server closed politely waits for the server's TCP close.
    static constexpr int64_t kCloseWaitMs = 1000;

    // Posts one write pass to the loop unless one is already waiting.
    void wake() override;
    bool idle() override;
    bool writeOnCallerThread() override;
    // Loop thread: takes the server's acknowledgements and ends a connection whose data has not
    // moved for deadPeerSeconds.
    void onTick(int64_t nowMs);
    // Once the loop has ended: takes the last acknowledgements, so that only unacknowledged
    // frames are written again on the next connection.
    void settle();

protected:
    // Ends the connection with the error: "SSL error : <code> (<reason>)".
    void onError(int code) override;
    void onClosed(bool graceful) override;
    int recvRaw(char* buffer, int length) override;
    bool readHook() override;
    bool writeHook() override;
    bool onSSLConnected() override;
    bool onSSLDisconnected(bool graceful) override;

private:
    enum class Phase { kConnecting, kAnnouncing, kReady, kClosing, kEnded };
    enum class Batch { kNone, kAnnouncement, kFrames };

    class WriteTask : public Task {
    public:
        explicit WriteTask(CAggrSvrClientSocket& owner) : owner(owner) {}
        void execute() override;
        void executeOnStop() override;

    private:
        CAggrSvrClientSocket& owner;
    };

    // Writes the announcement and the backlog until done or a write would block; a failed
    // write (its own or a sender's) ends the connection.
    void writePending();
    // What a write of the current batch came to. kBlocked: the batch waits for the socket's
    // writable event (or, for a sender's write, for the close event the loop has yet to handle).
    // Requires: writeLock is held.
    enum class WriteResult { kDone, kBlocked, kFailed };
    WriteResult writeBatch(DeliveryBacklog::WrittenBy by);
    // Fills writeBuffer with the next batch; false when there is nothing to write.
    bool takeNextBatch();
    void completeBatch(DeliveryBacklog::WrittenBy by);
    // Requires: writeLock is held, so that no write comes between the two counts it reads.
    void takeAcknowledgements();
    // The server sends the client no messages: whatever it sends is read through a small buffer
    // and dropped (up to the read budget), so that no length it announces sizes a buffer of ours.
    static constexpr int kDrainBytes = 4096;
    void drainServerInput();
    // Reads what the server sent before its connection failed, so that an alert it sent (such as
    // the one that rejects our certificate) becomes the reason rather than the reset after it.
    void readLastWords();
    // The code of a failed write (a sender's, or the loop's own) not yet reported, once; 0 when
    // none failed.
    int takeWriteFailure();
    // Notes why the connection ends and closes it.
    void endConnection(int code, const std::string& reason);
    // The server's close_notify has been answered: stops writing and waits for its TCP close.
    void awaitServerClose();

    Link link;
    WriteTask writeTask{*this};
    std::atomic<bool> writePosted{false};
    // The current batch's write would block: the writable event resumes it.
    std::atomic<bool> writeBlocked{false};
    std::atomic<bool> linkUp{false};
    std::atomic<Phase> phase{Phase::kConnecting};
    // When the last write ended, or a batch was taken; steady clock, nanoseconds.
    std::atomic<int64_t> lastWriteNs{0};

    std::mutex writeLock;
    // Guarded by writeLock.
    std::string writeBuffer;
    Batch batch = Batch::kNone;
    uint64_t batchLastSequence = 0;
    uint64_t batchAnnouncement = 0;
    uint64_t announcedVersion = 0;
    // A write failed with this code; the loop ends the connection with it.
    int writeFailure = 0;

    // Loop thread only.
    int readBudget = 0;
    // Guarded by writeLock.
    uint64_t lastAcknowledged = 0;
    int64_t lastProgressMs = 0;
    // Loop thread only: when kClosing began.
    int64_t closingSinceMs = 0;
    // Why the connection ends, noted before the close that reports it.
    int endCode = 0;
    std::string endReason;
};
