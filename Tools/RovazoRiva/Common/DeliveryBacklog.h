// DeliveryBacklog: the ordered, bounded store of the transactions that the aggregation client
// has accepted and the server has not yet acknowledged, with the delivery counters.
//
// Each transaction is kept once, as its framed bytes (length header and text), in the order it
// was accepted. Every address of the server's host has a cursor into the backlog: how far the
// current connection to that address has written, which written frames still wait for the
// server's acknowledgement, and which socket (a DeliveryWriter) writes for it. A frame leaves the
// backlog once every cursor has seen it acknowledged, or when the backlog is over its bound and
// the frame is the oldest (it is then counted as dropped).
//
// Acknowledgement. The server never answers, so a frame counts as delivered once the server's
// TCP has acknowledged all of its bytes. The writer counts the bytes its TLS layer hands to the
// kernel on the connection; when a batch of frames has been written, that count is the stream
// offset at which the batch ends. The kernel tells how many written bytes are still
// unacknowledged (SIOCOUTQ), so written minus unacknowledged is the acknowledged offset, and a
// batch whose end offset is at or below it has arrived.
//
// The resend window. A TCP acknowledgement says only that the bytes reached the server's kernel,
// not its application: a server that fails soon after may never have read them. So the frames
// a connection acknowledged stay held (retained) until the connection has been seen working for
// the window (setResendWindow) after their acknowledgement: its acknowledgements advanced since,
// or nothing was left unacknowledged. When a connection ends badly (connectionEnded with
// kBroken), its frames acknowledged within the window before the end, and those written but not
// acknowledged, are written again, in order, on the next connection to that address; after an
// orderly close (ours, or the server's TCP close, which says that it read what its TCP took) only
// the unacknowledged ones are. Retained frames count as
// acknowledged (not pending) and against the bound; over the bound they go first, and are not
// counted as dropped. A window of 0 retains nothing.
//
// With a spool (useSpool), the backlog is a view of a SpoolJournal: every frame is appended to
// the journal before push returns, and only a window of the oldest held frames (kWindowBytes)
// is also held in memory; the others are read back from the journal when a connection needs
// them. The journal's bound replaces the memory bound. The journal's acknowledged position is
// the last frame that has left the backlog, so retained frames stay in the journal until they
// leave the resend window, and what a previous run left there is pending from the start, in
// order. When the journal fails (a full disk, its directory removed), the backlog says so once,
// reads what only the journal held back into memory and goes on as a memory backlog. When the
// journal deletes its oldest records for its bound while every cursor has them written and not
// yet acknowledged, their outcome is not known yet: they are held back, pending, and count as
// acknowledged once every cursor has acknowledged them, or as dropped once a connection ends
// without acknowledging them or the backlog stops (they can no longer be written again).
//
// Threads: the client's message operations push from any thread; connect and disconnect manage
// the cursors; the client's loop thread takes batches, marks them written and acknowledged and
// ends connections. Every member is guarded by the backlog's own lock, which is taken last
// (after the client's lock and a writer's write lock) and never held across a network call;
// writers are woken while it is held, so a writer must not take it in wake().
// Requires: a writer stays valid while it is attached to a cursor.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ThreadLock.h"
#include "Tools/RovazoRiva/Common/DeliveryStatus.h"
#include "Tools/RovazoRiva/Common/FrameStore.h"
#include "Tools/RovazoRiva/Common/SpoolJournal.h"

// The socket that writes one cursor's frames.
class DeliveryWriter {
public:
    virtual ~DeliveryWriter() = default;
    // New frames wait for this writer. Called on any thread, with the backlog's lock held.
    virtual void wake() = 0;
};

class DeliveryBacklog {
public:
    static constexpr uint64_t kDefaultLimitBytes = 64ull * 1024 * 1024;
    // The frames held in memory besides the journal, with a spool.
    static constexpr uint64_t kWindowBytes = 4ull * 1024 * 1024;

    // One address's view of the backlog. Made and kept by the backlog.
    class Cursor;

    DeliveryBacklog();
    ~DeliveryBacklog();
    DeliveryBacklog(const DeliveryBacklog&) = delete;
    DeliveryBacklog& operator=(const DeliveryBacklog&) = delete;

    // The bound on the frame bytes held. Frames over it are dropped, oldest first, when the next
    // frame is pushed.
    void setLimit(uint64_t bytes);

    // Opens the spool journal and makes what it holds pending. "" or why the spool cannot be
    // used (the backlog then stays in memory). A journal that opens failed (its position cannot
    // be written on a full disk) is left at once, as one that fails later. `files` is the file
    // system the journal uses.
    // Requires: before the first push and the first cursor.
    std::string useSpool(const SpoolJournal::Settings& settings,
                         platform::SpoolFiles& files = platform::linuxSpoolFiles());

    // How long frames stay held after their acknowledgement, to be written again when the
    // connection that acknowledged them ends badly; 0 retains nothing.
    void setResendWindow(int64_t milliseconds);

    // Appends one framed transaction (length header and text) and wakes the writers. With a
    // spool, returns once the frame is in the journal (and, as the journal's sync setting says,
    // on the disk).
    void push(std::string_view framed);

    // Counts a transaction that cannot be framed (too long) as accepted and dropped.
    void refuse();

    // The framed transaction that opens every connection before any frame of the backlog (the
    // studio's announcement). A text other than the current one gets a new version and wakes
    // the writers, so that connections that announced the old one announce again.
    void setAnnouncement(std::string framed);
    // Forgets the announcement: connections made from now on wait for the next one.
    void clearAnnouncement();
    // Appends the announcement to `into` and returns its version; 0 (and nothing appended)
    // while there is none.
    uint64_t takeAnnouncement(std::string& into);
    uint64_t announcementVersion();

    // The cursor of an address (any stable key, such as address and port), made on first use.
    // A new cursor starts at the oldest frame held, so a new address gets everything pending.
    Cursor* cursorFor(uint64_t key);
    // Forgets the cursors whose keys are not listed; what only they waited for counts as
    // delivered to the others, and a trace line names the frames the forgotten addresses missed.
    void keepCursors(const std::vector<uint64_t>& keys);
    // Attaches the writer of a new connection (or none) to the cursor.
    void attach(Cursor* cursor, DeliveryWriter* writer);

    // Loop thread. Appends to `into` the frames after the ones this cursor has written, at most
    // maxBytes unless the first frame alone is larger; returns the number of frames taken and
    // the sequence number of the last one in lastSequence.
    size_t takeBatch(Cursor* cursor, std::string& into, size_t maxBytes, uint64_t& lastSequence);
    // The frames up to lastSequence have been handed to the kernel; the connection's byte count
    // stood at streamEnd after them.
    void markWritten(Cursor* cursor, uint64_t lastSequence, uint64_t streamEnd);
    // The server's TCP has acknowledged the connection's bytes up to streamAcknowledged, as seen
    // at nowMs (steady clock).
    void acknowledge(Cursor* cursor, uint64_t streamAcknowledged, int64_t nowMs);
    void acknowledge(Cursor* cursor, uint64_t streamAcknowledged);
    // Whether the cursor has frames written and not acknowledged, or frames still to write.
    bool hasUndelivered(Cursor* cursor);

    enum class Ending {
        kOrderly,  // our own close or the server's TCP close: only the unacknowledged go again
        kBroken,   // any other end: the frames acknowledged within the window go again too
    };
    // What an ended connection leaves to be written again on the next one.
    struct Resend {
        uint64_t frames = 0;        // written again, from the oldest
        uint64_t acknowledged = 0;  // of them, acknowledged by the server's TCP
    };
    // The connection of this cursor has ended at endMs (steady clock; for a connection that
    // stalled, when its acknowledgements stopped). Call acknowledge with the final count first.
    Resend connectionEnded(Cursor* cursor, Ending ending, int64_t endMs);

    // Drops everything held (counted, with a trace line when anything was pending). At stop.
    // What the spool holds stays there for the next start instead.
    void dropAll(const char* why);

    // The counters (the link fields are left for the client to fill).
    DeliveryStatus counters();

    // Loop thread, about once a second: ends a dropping episode that is over, or summarises one
    // that goes on once a minute; notices a journal that failed in a sync, and syncs the
    // journal's acknowledged position.
    void onTick(int64_t nowMs);

private:
    enum class Store {
        kMemory,       // no spool
        kJournal,      // every frame in the journal, a window of them in memory
        kSpoolFailed,  // the journal failed: every frame in memory
    };

    // Counts the frames every cursor has acknowledged, and lets go of those that every cursor
    // acknowledged longer than the window before its connection was last seen working.
    void trimDelivered() REQUIRES(lock);
    // The first frame that is neither acknowledged nor retained.
    uint64_t firstPending() const REQUIRES(lock) { return std::max(first, countedThrough + 1); }
    void dropOldest() REQUIRES(lock);
    void noteDropped(uint64_t count) REQUIRES(lock);
    void popFront() REQUIRES(lock);
    uint64_t firstSequence() const REQUIRES(lock) { return first; }
    uint64_t endSequence() const REQUIRES(lock) { return nextSequence; }
    bool inWindow(uint64_t sequence) const REQUIRES(lock) {
        return sequence - first < frames.size();
    }
    // Appends the frame to `into`, from the window or the journal; false when it cannot be read.
    bool appendFrame(uint64_t sequence, std::string& into) REQUIRES(lock);
    uint32_t frameLength(uint64_t sequence) REQUIRES(lock);
    // Reads frames that follow the window from the journal until the window is full.
    void fillWindow() REQUIRES(lock);
    // The journal failed: reports it and holds every pending frame in memory from now on.
    void leaveJournal(const std::string& reason) REQUIRES(lock);
    // The last frame that every cursor has written or acknowledged (0 without cursors).
    uint64_t writtenByEveryCursor() const REQUIRES(lock);
    void holdBack(uint64_t sequence) REQUIRES(lock);
    // Counts the held-back frames up to `through` as acknowledged.
    void acknowledgeHeldBack(uint64_t through) REQUIRES(lock);
    // Counts the held-back frames after `through` as dropped.
    void dropHeldBackAfter(uint64_t through) REQUIRES(lock);

    void wakeWriters() REQUIRES(lock);

    ThreadLock lock;
    std::string announcement GUARDED_BY(lock);
    uint64_t announcementRevision GUARDED_BY(lock) = 0;
    enum class Announcement { kAbsent, kPresent };
    Announcement announcementState GUARDED_BY(lock) = Announcement::kAbsent;
    FrameStore frames GUARDED_BY(lock);
    std::vector<std::unique_ptr<Cursor>> cursors GUARDED_BY(lock);
    uint64_t limitBytes GUARDED_BY(lock) = kDefaultLimitBytes;
    uint64_t heldBytes GUARDED_BY(lock) = 0;
    Store store GUARDED_BY(lock) = Store::kMemory;
    // Never reset once made, so that sink threads may wait on it without the lock.
    std::unique_ptr<SpoolJournal> journal;
    std::string spoolFailure GUARDED_BY(lock);
    // Pending frames of the window that stand for journal records that could not be read back:
    // empty, already counted as dropped.
    uint64_t unreadable GUARDED_BY(lock) = 0;
    uint64_t first GUARDED_BY(lock) = 1;
    uint64_t nextSequence GUARDED_BY(lock) = 1;
    // Frames the journal deleted while they were in flight (see above), as ranges of sequence
    // numbers before `first`, oldest first; heldBackCount frames in all.
    struct HeldBack {
        uint64_t from;
        uint64_t through;
    };
    std::deque<HeldBack> heldBack GUARDED_BY(lock);
    uint64_t heldBackCount GUARDED_BY(lock) = 0;
    int64_t lastSpoolSyncMs GUARDED_BY(lock) = 0;
    uint64_t highestSent GUARDED_BY(lock) = 0;
    // The frames through this one count as acknowledged; those of them still held are retained.
    uint64_t countedThrough GUARDED_BY(lock) = 0;
    int64_t resendWindowMs GUARDED_BY(lock) = 0;
    uint64_t accepted GUARDED_BY(lock) = 0;
    uint64_t sent GUARDED_BY(lock) = 0;
    uint64_t batches GUARDED_BY(lock) = 0;
    uint64_t resent GUARDED_BY(lock) = 0;
    uint64_t acknowledged GUARDED_BY(lock) = 0;
    uint64_t dropped GUARDED_BY(lock) = 0;

    // A dropping episode: from the first frame dropped for the bound until a second passes
    // without one.
    enum class Dropping { kNo, kYes };
    Dropping dropping GUARDED_BY(lock) = Dropping::kNo;
    uint64_t episodeDropped GUARDED_BY(lock) = 0;
    int64_t episodeStartMs GUARDED_BY(lock) = 0;
    int64_t lastDropMs GUARDED_BY(lock) = 0;
    int64_t lastSummaryMs GUARDED_BY(lock) = 0;
};
