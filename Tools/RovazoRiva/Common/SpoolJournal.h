// SpoolJournal: the delivery backlog's transactions on disk, so that those the server has not
// acknowledged survive a restart, a crash or a power cut.
//
// The journal is a directory of segment files ("journal-<first record's number>.seg"), written
// only at their end, and the file "acknowledged" with the number of the last record the server
// acknowledged (12 bytes: the number and a CRC32C of it, little-endian; written at open, so that
// its block exists before the disk can fill, and then in place). Each record is a 24-byte header
// (the frame's length, a CRC32C of the rest of the record, the record's number and its wall-clock
// time of acceptance in milliseconds, all little-endian) followed by the framed transaction.
// Numbers rise by one from record to record; a record may carry a higher number than the one
// before it where records were lost to damage (or where a new segment starts after a position
// that was ahead of the journal's end).
//
// Repair at open, segment by segment:
// - A torn tail (fewer bytes than a header, zeros to the end, or a last record with the expected
//   number whose length runs past the end) is what an interrupted append leaves: it is cut.
// - Anything else that does not check out is damage. Reading resynchronises at the next record
//   whose length fits, whose number is higher than the last good one and whose checksum matches,
//   so every valid record before and after the damage is kept. The records lost in it are counted
//   (Contents::damagedRecords, reported as dropped with a warning and an event-log record); the
//   segment is copied aside as "*.corrupt" for inspection and rewritten without the damaged bytes,
//   so the next open does not count them again.
// - A stored acknowledged position beyond the journal's end (its records were cut, or a power cut
//   kept the position but not its records) is clamped to the end, with a warning; records appended
//   afterwards are numbered past both, in a new segment, so that no position can hide them.
// Records are numbered without gaps for the caller, in the order they were appended.
//
// Durability: while the journal works, the acknowledged position written to its file never passes
// the last record known to be on the disk, and it is synced only after the records it covers, so
// no power cut can leave it ahead of them. (After a failure the records can no longer be synced;
// the clamp at the next open covers a position that got ahead then.)
//
// The journal is bounded: an append that would take the files over the bound first deletes the
// oldest segments, and reports the unacknowledged records they held as dropped. Segments whose
// records are all acknowledged are deleted. The newest segment always stays.
//
// Owned by the delivery backlog. append, acknowledge, the reads and the queries take the
// journal's own lock (the backlog calls them with its lock held: the journal's lock comes after
// it); waitDurable, persistAcknowledged and checkFiles are called without the backlog's lock, by
// the sink threads and the loop thread respectively, because they wait for the disk.
// Requires: open succeeded before any other call; one journal per directory (the directory's
// advisory lock makes sure of it across processes).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/SpoolFiles.h"

inline constexpr char kSpoolJournalUnit[] = "Tools/RovazoRiva/Common/SpoolJournal";

class SpoolJournal {
public:
    enum class Sync {
        kAlways,  // every append is on the disk before waitDurable returns
        kBatch,   // appends share one sync; waitDurable waits for it at most kBatchWaitMs
    };
    static constexpr int64_t kBatchWaitMs = 20;
    static constexpr size_t kHeaderBytes = 24;
    static constexpr uint32_t kMaxFrameBytes = 64u * 1024 * 1024;

    struct Settings {
        std::string directory;
        uint64_t limitBytes = 1024ull * 1024 * 1024;
        Sync sync = Sync::kBatch;
        // The size at which a new segment starts; 0: an eighth of the bound, between 64 KiB
        // and 16 MiB.
        uint64_t segmentBytes = 0;
    };

    // What a directory holds, as open or inspect found it.
    struct Contents {
        uint64_t records = 0;  // records not yet acknowledged
        uint64_t bytes = 0;    // bytes of all segment files
        uint64_t segments = 0;
        int64_t oldestMs = 0;       // wall-clock time of the oldest record not acknowledged
        uint64_t acknowledged = 0;  // the acknowledged record's number, as stored
        enum class Position {
            kWhole,       // readable (or empty: nothing acknowledged yet)
            kUnreadable,  // torn, zeroed or not a file: everything held counts as not acknowledged
            kBeyondEnd,   // ahead of the last record: clamped to it
        };
        Position position = Position::kWhole;
        uint64_t damagedSegments = 0;  // segments with damage found now
        uint64_t damagedBytes = 0;     // their bytes that are not valid records
        uint64_t damagedRecords = 0;   // records lost in them and not acknowledged
        uint64_t cutBytes = 0;         // bytes of torn records cut from the segments' ends
        uint64_t repairedBefore = 0;   // "*.corrupt" copies of segments repaired at earlier opens
    };

    // What the bytes of one segment file hold, as reading them found it.
    struct Gap {
        size_t index;      // from this record on ...
        uint64_t skipped;  // ... the numbers are this much higher than their place says
    };
    struct Damage {
        uint64_t at;         // the first byte that does not check out
        uint64_t bytes;      // how many bytes up to the next valid record (or the end)
        uint64_t firstLost;  // the number of the first record lost in it
        uint64_t lost;       // how many (at least one when nothing valid follows)
    };
    struct SegmentReading {
        std::vector<uint32_t> ends;  // where each valid record ends
        std::vector<Gap> gaps;
        std::vector<Damage> damage;
        uint64_t tornBytes = 0;  // the torn tail after the last valid record
    };
    // Reads the records of one segment's bytes, whose first record carries diskFirst. nextFirst
    // is the first number of the next segment (0: none), which bounds what damage at the end lost.
    static SegmentReading readRecords(std::string_view bytes, uint64_t diskFirst,
                                      uint64_t nextFirst);
    // The largest segment file a journal writes: a full segment and one largest record.
    static constexpr uint64_t kMaxSegmentFileBytes =
        16u * 1024 * 1024 + kHeaderBytes + kMaxFrameBytes;

    // Unacknowledged records an append deleted to stay within the bound.
    struct Dropped {
        uint64_t count = 0;
        uint64_t bytes = 0;  // their frames' bytes
    };

    explicit SpoolJournal(platform::SpoolFiles& files = platform::linuxSpoolFiles());
    ~SpoolJournal();
    SpoolJournal(const SpoolJournal&) = delete;
    SpoolJournal& operator=(const SpoolJournal&) = delete;

    // Checks and locks the directory and reads it, repairing what a crash left (with a trace
    // line for each repair). "" when the journal is open, or why the directory cannot be used.
    // When the acknowledged position cannot be written (a full disk), the journal opens failed
    // (failure() says why): its records can be read, and nothing can be appended.
    std::string open(const Settings& settings);
    // Reads a directory without locking or changing it. "" or why it cannot be read.
    static std::string inspect(platform::SpoolFiles& files, const std::string& directory,
                               Contents& contents);

    const Contents& opened() const { return found; }
    const std::string& directory() const { return settings.directory; }
    uint64_t limitBytes() const { return settings.limitBytes; }

    // The number of the oldest record not acknowledged and not dropped, and of the next record.
    uint64_t firstSequence();
    uint64_t endSequence();

    // Appends one framed transaction as record endSequence(). 0, or the errno value of a failed
    // write (the journal has then failed: see failure()).
    int append(std::string_view frame, int64_t wallClockMs, Dropped& dropped);
    // Sink threads, without the backlog's lock: returns once the record is on the disk, or, with
    // Sync::kBatch, after at most kBatchWaitMs; at once when the journal has failed.
    void waitDurable(uint64_t sequence);

    // Requires: firstSequence() <= sequence < endSequence().
    uint32_t frameLength(uint64_t sequence);
    // Appends the record's frame to `into` and gives its time; 0 or an errno value (EBADMSG for
    // a record whose checksum no longer matches).
    int readFrame(uint64_t sequence, std::string& into, int64_t& wallClockMs);

    // The records up to `through` need not be sent again: their segments go once all of theirs
    // are acknowledged. Also after a failure, so that a restart does not send them again.
    void acknowledge(uint64_t through);
    // Loop thread, without the backlog's lock: writes the acknowledged position to its file when
    // it has moved, synced to the disk when `durable` is set.
    void persistAcknowledged(bool durable);

    // Loop thread, about once a second: fails the journal when its directory or the newest
    // segment is gone (removed, or replaced by another file), so that records do not go on into
    // a file nobody will read.
    void checkFiles();

    // Why the journal stopped taking records; empty while it works.
    std::string failure();

private:
    struct Segment {
        uint64_t first = 0;          // the caller's number of its first record
        uint64_t diskFirst = 0;      // the number its first record carries in the file
        std::vector<uint32_t> ends;  // where each record ends in the file
        std::vector<Gap> gaps;
        std::shared_ptr<platform::SpoolFile> file;
        std::string name;

        uint64_t end() const { return first + ends.size(); }
        uint64_t bytes() const { return ends.empty() ? 0 : ends.back(); }
        uint64_t start(size_t index) const { return index == 0 ? 0 : ends[index - 1]; }
        // The number the record at index carries in the file.
        uint64_t diskSequence(size_t index) const;
        // The number after the last record's.
        uint64_t diskEnd() const {
            return ends.empty() ? diskFirst : diskSequence(ends.size() - 1) + 1;
        }
        // How many of its records carry a number above diskSequence.
        size_t countAfter(uint64_t diskSequence) const;
    };
    enum class State { kClosed, kOpen, kFailed };
    enum class Scan { kRepair, kReadOnly };

    static std::string scan(platform::SpoolFiles& files, const std::string& directory, Scan mode,
                            std::deque<Segment>& segments, Contents& contents,
                            uint64_t& acknowledgedDisk);
    static uint64_t readAcknowledged(platform::SpoolFiles& files, const std::string& directory,
                                     Scan mode, Contents& contents);
    static std::string readSegment(platform::SpoolFiles& files, const std::string& directory,
                                   Segment& segment, uint64_t nextFirst, uint64_t acknowledgedDisk,
                                   Scan mode, Contents& contents);
    // Keeps a copy of the damaged segment as "*.corrupt" and replaces the segment with its valid
    // records only.
    static std::string rewriteWithoutDamage(platform::SpoolFiles& files,
                                            const std::string& directory, const std::string& name,
                                            const std::string& bytes,
                                            const SegmentReading& reading);
    std::string path(const std::string& name) const;
    const Segment* segmentOf(uint64_t sequence) const;
    int startSegment();
    // Syncs the newest segment (one thread at a time) until sequence is on the disk, or until the
    // deadline when one is given. With `lock` held through guard.
    void syncThrough(uint64_t sequence, std::unique_lock<std::mutex>& guard,
                     const std::chrono::steady_clock::time_point* deadline);
    int writeAcknowledged(uint64_t diskSequence);
    void dropOldestSegment(Dropped& dropped);
    void deleteAcknowledgedSegments();
    void fail(const std::string& what, int error);
    void failWith(const std::string& text);

    platform::SpoolFiles& files;
    Settings settings;
    Contents found;
    std::shared_ptr<void> directoryLock;

    std::mutex lock;
    std::condition_variable synced;
    State state = State::kClosed;
    std::string failureText;
    std::deque<Segment> segments;
    uint64_t totalBytes = 0;
    uint64_t nextSequence = 1;
    uint64_t nextDiskSequence = 1;
    // The next append starts a segment: its number is not the one after the newest segment's.
    bool numberingLeaps = false;
    uint64_t liveFrom = 1;
    uint64_t acknowledgedThrough = 0;
    uint64_t acknowledgedDisk = 0;  // the number acknowledgedThrough carries in its file
    // Group commit: records up to durableThrough are on the disk; one thread syncs at a time.
    enum class Syncing { kNo, kYes };
    Syncing syncing = Syncing::kNo;
    uint64_t durableThrough = 0;
    uint64_t durableDisk = 0;  // the number durableThrough carries in its file
    platform::FileIdentity directoryIdentity;

    // Serialises the writes of the acknowledged position; taken before `lock`.
    std::mutex acknowledgedFileLock;
    std::unique_ptr<platform::SpoolFile> acknowledgedFile;
    uint64_t writtenAcknowledged = 0;
    uint64_t durableAcknowledged = 0;
};
