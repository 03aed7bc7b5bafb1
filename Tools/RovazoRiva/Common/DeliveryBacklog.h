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
// batch whose end offset is at or below it has arrived. When a connection ends, its frames
// written but not acknowledged are written again, in order, on the next connection to that
// address. A frame whose bytes the server's TCP acknowledged but whose server lost them (a crash
// before reading) is not sent again; a frame whose acknowledgement was lost is, so the server
// may see it twice.
//
// With a spool (useSpool), the backlog is a view of a SpoolJournal: every frame is appended to
// the journal before push returns, and only a window of the oldest pending frames (kWindowBytes)
// is also held in memory; the others are read back from the journal when a connection needs
// them. The journal's bound replaces the memory bound, the frames the server acknowledged are
// acknowledged in the journal, and what a previous run left unacknowledged is pending from the
// start, in order. When the journal fails (a full disk, its directory removed), the backlog says
// so once, reads what only the journal held back into memory and goes on as a memory backlog.
//
// Writing on the caller's thread. A push may ask for its frame to be written on the pushing
// thread when the link is idle (one address, and its writer idle for a while): the lone event of
// a quiet studio then goes out without waiting for the loop thread to be woken and scheduled. The
// writer is held (not detached) while it writes, without the backlog's lock; when it cannot write
// at once it is woken as usual. Under load the loop thread writes, in batches.
//
// Threads: the client's message operations push from any thread; connect and disconnect manage
// the cursors; the client's loop thread (and a pushing thread writing its own frame) takes
// batches, marks them written and acknowledged and ends connections. Every member is guarded by
// the backlog's own lock, which is taken last (after the client's lock and a writer's write lock)
// and never held across a network call; writers are woken and asked whether they are idle while
// it is held, so a writer must not take it in wake() or idle().
// Requires: a writer stays valid while it is attached to a cursor.
#pragma once

#include <condition_variable>
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
    // New frames wait for this writer. Called on any thread, with the backlog's lock held or
    // while the writer is held for a caller's write.
    virtual void wake() = 0;
    // Whether a frame pushed now may be written on the pushing thread: the connection is ready
    // and has had nothing to write for a while. A hint; called with the backlog's lock held. A
    // writer that leaves all writing to its own thread keeps the default.
    virtual bool idle() { return false; }
    // Writes what waits on the calling thread; a write that would block is finished by the
    // writer's own thread. False when it could not write (another thread is writing, the
    // connection is not ready) or the write failed: the caller then wakes the writer, whose
    // thread does the rest.
    virtual bool writeOnCallerThread() { return false; }
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
    // used (the backlog then stays in memory). `files` is the file system the journal uses.
    // Requires: before the first push and the first cursor.
    std::string useSpool(const SpoolJournal::Settings& settings,
                         platform::SpoolFiles& files = platform::linuxSpoolFiles());

    enum class Writing {
        kByWriters,             // the writers are woken
        kOnCallerThreadIfIdle,  // written on the calling thread when the link is idle
    };

    // Appends one framed transaction (length header and text) and has it written as `writing`
    // says. With a spool, returns once the frame is in the journal (and, as the journal's sync
    // setting says, on the disk).
    // Requires: for kOnCallerThreadIfIdle, the caller holds no lock that a writer takes.
    void push(std::string_view framed, Writing writing = Writing::kByWriters);

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
    // Attaches the writer of a new connection (or none) to the cursor. Waits until no thread is
    // writing through the cursor's previous writer, so that it may be deleted afterwards.
    void attach(Cursor* cursor, DeliveryWriter* writer);

    // Loop thread. Appends to `into` the frames after the ones this cursor has written, at most
    // maxBytes unless the first frame alone is larger; returns the number of frames taken and
    // the sequence number of the last one in lastSequence.
    size_t takeBatch(Cursor* cursor, std::string& into, size_t maxBytes, uint64_t& lastSequence);
    enum class WrittenBy { kLoop, kCaller };
    // The frames up to lastSequence have been handed to the kernel; the connection's byte count
    // stood at streamEnd after them.
    void markWritten(Cursor* cursor, uint64_t lastSequence, uint64_t streamEnd,
                     WrittenBy by = WrittenBy::kLoop);
    // The server's TCP has acknowledged the connection's bytes up to streamAcknowledged.
    void acknowledge(Cursor* cursor, uint64_t streamAcknowledged);
    // Whether the cursor has frames written and not acknowledged, or frames still to write.
    bool hasUndelivered(Cursor* cursor);
    // The connection of this cursor has ended: its unacknowledged frames are written again, from
    // the oldest, on the next one. Call acknowledge with the final count first.
    void connectionEnded(Cursor* cursor);

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

    void trimDelivered();
    void dropOldest();
    void noteDropped(uint64_t count);
    void popFront();
    uint64_t firstSequence() const { return first; }
    uint64_t endSequence() const { return nextSequence; }
    bool inWindow(uint64_t sequence) const { return sequence - first < frames.size(); }
    // Appends the frame to `into`, from the window or the journal; false when it cannot be read.
    bool appendFrame(uint64_t sequence, std::string& into);
    uint32_t frameLength(uint64_t sequence);
    // Reads frames that follow the window from the journal until the window is full.
    void fillWindow();
    // The journal failed: reports it and holds every pending frame in memory from now on.
    void leaveJournal(const std::string& reason);

    void wakeWriters();
    // The cursor whose idle writer may write a frame pushed now on the pushing thread, or none.
    Cursor* cursorForCallerWrite();

    ThreadLock lock;
    // Signalled when a caller's write through a writer ends.
    std::condition_variable_any callerWriteEnded;
    std::string announcement;
    uint64_t announcementRevision = 0;
    enum class Announcement { kAbsent, kPresent };
    Announcement announcementState = Announcement::kAbsent;
    FrameStore frames;
    std::vector<std::unique_ptr<Cursor>> cursors;
    uint64_t limitBytes = kDefaultLimitBytes;
    uint64_t heldBytes = 0;
    Store store = Store::kMemory;
    // Never reset once made, so that sink threads may wait on it without the lock.
    std::unique_ptr<SpoolJournal> journal;
    std::string spoolFailure;
    // Frames of the window that stand for journal records that could not be read back: empty,
    // already counted as dropped.
    uint64_t unreadable = 0;
    uint64_t first = 1;
    uint64_t nextSequence = 1;
    int64_t lastSpoolSyncMs = 0;
    uint64_t highestSent = 0;
    uint64_t accepted = 0;
    uint64_t sent = 0;
    uint64_t batches = 0;
    uint64_t callerBatches = 0;
    uint64_t acknowledged = 0;
    uint64_t dropped = 0;

    // A dropping episode: from the first frame dropped for the bound until a second passes
    // without one.
    enum class Dropping { kNo, kYes };
    Dropping dropping = Dropping::kNo;
    uint64_t episodeDropped = 0;
    int64_t episodeStartMs = 0;
    int64_t lastDropMs = 0;
    int64_t lastSummaryMs = 0;
};
