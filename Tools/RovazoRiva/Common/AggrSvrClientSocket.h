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
//                the server's TCP close. An orderly one acknowledges every byte the server read
//                (a server's kernel resets a connection closed with unread data), so the frames
//                it read while closing are not written again; a reset or the end of the wait
//                counts as a broken end at the moment of the server's close.
//   kEnded       an error, a reset, the server's close (TLS close_notify or TCP), or data that
//                the server's TCP took no byte of for deadPeerSeconds, or our own close
//                (settle). The backlog is told how the connection ended (DeliveryBacklog::
//                connectionEnded): after a broken end the frames acknowledged within the resend
//                window go again with the unacknowledged ones. A connection that leaves frames
//                to be written again is closed with a reset, so that its kernel does not go on
//                delivering them after the next connection's. The reason goes to the link
//                monitor, and the client's owner then rebuilds the link.
// The socket sets TCP keepalive and TCP_USER_TIMEOUT, so a peer that dies silently ends the
// connection within deadPeerSeconds whether it is idle or busy, and bounds the kernel's unsent
// queue (kUnsentLimit): frames wait in the backlog, where a reset does not lose them, rather than
// in the socket.
//
// Threads: the event loop's thread runs every callback, the writes and the tick, and is the only
// writer of the connection; settle runs once the loop has ended. wake() and isConnected() are
// called from any thread.
// Requires: the SSL context, the loop, the backlog and the monitor outlive the socket; the
// socket is removed from its loop, or the loop has ended, before it is deleted.
#pragma once

#include <atomic>
#include <cstdint>
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
    // The bytes the kernel may hold unsent: a few batches.
    static constexpr int kUnsentLimit = 64 * 1024;

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

    // How long a connection the server closed politely waits for the server's TCP close.
    static constexpr int64_t kCloseWaitMs = 1000;

    // Posts one write pass to the loop unless one is already waiting.
    void wake() override;
    // Loop thread: takes the server's acknowledgements and ends a connection whose data has not
    // moved for deadPeerSeconds.
    void onTick(int64_t nowMs);
    // Loop thread, at an orderly stop: the close_notify, once nothing more will be written.
    void closeSession();
    // Once the loop has ended, before the socket is deleted (our own close): takes the last
    // acknowledgements, so that only unacknowledged frames are written again on the next
    // connection.
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
    // write ends the connection.
    void writePending();
    // What a write of the current batch came to. kBlocked: the batch waits for the socket's
    // writable event. A failed write leaves its code in `failure`.
    enum class WriteResult { kDone, kBlocked, kFailed };
    WriteResult writeBatch(int& failure);
    // Fills writeBuffer with the next batch; false when there is nothing to write.
    bool takeNextBatch();
    void completeBatch();
    void takeAcknowledgements();
    // The server sends the client no messages: whatever it sends is read through a small buffer
    // and dropped (up to the read budget), so that no length it announces sizes a buffer of ours.
    static constexpr int kDrainBytes = 4096;
    void drainServerInput();
    // Reads what the server sent before its connection failed, so that an alert it sent (such as
    // the one that rejects our certificate) becomes the reason rather than the reset after it.
    void readLastWords();
    // Notes why the connection ends, and since when (steady clock), and closes it.
    void endConnection(int code, const std::string& reason, int64_t sinceMs);
    // The server's close_notify has been answered: stops writing and waits for its TCP close.
    void awaitServerClose();
    // Tells the backlog how the connection ended and says what goes again; a connection that
    // leaves frames to be written again is set to close with a reset. Once per connection.
    void finishConnection(DeliveryBacklog::Ending ending, int64_t endMs, const std::string& after);

    Link link;
    WriteTask writeTask{*this};
    std::atomic<bool> writePosted{false};
    // The current batch's write would block: the writable event resumes it.
    std::atomic<bool> batchBlocked{false};
    std::atomic<bool> linkUp{false};
    std::atomic<Phase> phase{Phase::kConnecting};

    // Loop thread only (and settle, after the loop).
    std::string writeBuffer;
    Batch batch = Batch::kNone;
    uint64_t batchLastSequence = 0;
    uint64_t batchAnnouncement = 0;
    uint64_t announcedVersion = 0;
    int readBudget = 0;
    uint64_t lastAcknowledged = 0;
    // When the acknowledgements last advanced, or the connection last had nothing to deliver.
    int64_t lastProgressMs = 0;
    // When kClosing began.
    int64_t closingSinceMs = 0;
    // Why the connection ends and since when, noted before the close that reports it.
    int endCode = 0;
    std::string endReason;
    int64_t endSinceMs = 0;
    bool finished = false;
};
