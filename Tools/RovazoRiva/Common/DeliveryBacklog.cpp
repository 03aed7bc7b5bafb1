#include "Tools/RovazoRiva/Common/DeliveryBacklog.h"

#include <algorithm>
#include <cinttypes>
#include <mutex>

#include "LibraryInterfaces/KriErr.h"
#include "Platform/Clock.h"

namespace {

constexpr char kDeliveryBacklogUnit[] = "Tools/RovazoRiva/Common/DeliveryBacklog";
// Warning severity, facility 0xE00: transactions were given up.
constexpr uint32_t kTransactionsDroppedEvent = 0x8E000D04u;
// Warning severity, facility 0xE00: the spool stopped working.
constexpr uint32_t kSpoolFailedEvent = 0x8E000D05u;
constexpr int64_t kEpisodeQuietMs = 1000;
constexpr int64_t kSummaryIntervalMs = 60000;
// How often the journal's acknowledged position is synced to the disk; in between it is written
// without a sync, which a crash of the process does not lose, but a power cut may.
constexpr int64_t kSpoolSyncIntervalMs = 1000;

}  // namespace

class DeliveryBacklog::Cursor {
public:
    explicit Cursor(uint64_t key, uint64_t start)
        : key(key),
          acknowledgedThrough(start),
          releasedThrough(start),
          writtenThrough(start),
          resendThrough(start) {}

    // One batch handed to the kernel: its last frame and the stream offset after it.
    struct Written {
        uint64_t lastSequence;
        uint64_t streamEnd;
    };
    // Frames acknowledged at one moment: the last of them and the moment (steady clock).
    struct Acknowledged {
        uint64_t lastSequence;
        int64_t atMs;
    };

    const uint64_t key;
    DeliveryWriter* writer = nullptr;
    uint64_t acknowledgedThrough;
    // The frames through this one left this cursor's resend window.
    uint64_t releasedThrough;
    uint64_t writtenThrough;
    // The frames through this one were written on an earlier connection: writing them again
    // counts as a resend.
    uint64_t resendThrough;
    std::deque<Written> inFlight;
    // The acknowledgements of frames after releasedThrough, oldest first.
    std::deque<Acknowledged> retained;
    // The last moment the connection was seen working: its acknowledgements advanced, or it had
    // nothing unacknowledged. The window counts back from here, so that the frames acknowledged
    // just before a connection stalled stay until the stall is noticed.
    int64_t workingAtMs = 0;
};

DeliveryBacklog::DeliveryBacklog() = default;

DeliveryBacklog::~DeliveryBacklog() = default;

void DeliveryBacklog::setLimit(uint64_t bytes) {
    ThreadLockGuard guard(lock);
    limitBytes = bytes;
}

void DeliveryBacklog::setResendWindow(int64_t milliseconds) {
    ThreadLockGuard guard(lock);
    resendWindowMs = milliseconds;
}

std::string DeliveryBacklog::useSpool(const SpoolJournal::Settings& settings,
                                      platform::SpoolFiles& files) {
    auto opened = std::make_unique<SpoolJournal>(files);
    if (std::string reason = opened->open(settings); !reason.empty()) {
        return reason;
    }
    ThreadLockGuard guard(lock);
    journal = std::move(opened);
    store = Store::kJournal;
    first = journal->firstSequence();
    countedThrough = first - 1;
    nextSequence = journal->endSequence();
    highestSent = first - 1;
    // What damage cost at the open counts as accepted by the earlier run and dropped now.
    const uint64_t damaged = journal->opened().damagedRecords;
    accepted += nextSequence - first + damaged;
    dropped += damaged;
    for (uint64_t sequence = first; sequence < nextSequence; ++sequence) {
        heldBytes += journal->frameLength(sequence);
    }
    fillWindow();
    if (std::string failure = journal->failure(); !failure.empty()) {
        // Its position could not be stored at open (a full disk): a failure at run time.
        leaveJournal(failure);
    }
    return "";
}

void DeliveryBacklog::push(std::string_view framed) {
    bool episodeStarted = false;
    bool spoolFull = false;
    uint64_t bound = 0;
    uint64_t durableSequence = 0;
    {
        ThreadLockGuard guard(lock);
        const uint64_t droppedBefore = dropped;
        const bool wasDropping = dropping == Dropping::kYes;
        const int64_t now = static_cast<int64_t>(platform::tickCount64());
        if (store == Store::kJournal) {
            SpoolJournal::Dropped lost;
            if (journal->append(framed, platform::wallClockMs(), lost) == 0) {
                durableSequence = nextSequence;
                // The journal deleted the oldest records for its bound; the retained ones among
                // them were acknowledged already, and those in flight wait for their outcome.
                uint64_t counted = 0;
                const uint64_t inFlightThrough = writtenByEveryCursor();
                for (const uint64_t kept = journal->firstSequence(); first < kept; ++first) {
                    if (first <= countedThrough) {
                        ++counted;
                    } else if (first <= inFlightThrough) {
                        holdBack(first);
                        ++counted;
                    }
                    if (!frames.empty()) {
                        frames.popFront();
                    }
                }
                heldBytes -= lost.bytes;
                noteDropped(lost.count - std::min(lost.count, counted));
                if (frames.size() == nextSequence - first &&
                    frames.bytes() + framed.size() <= kWindowBytes) {
                    frames.pushBack(framed, now);
                }
            } else {
                leaveJournal(journal->failure());
            }
        }
        if (durableSequence == 0) {
            frames.pushBack(framed, now);
        }
        heldBytes += framed.size();
        ++nextSequence;
        ++accepted;
        while (store != Store::kJournal && heldBytes > limitBytes && frames.size() > 1) {
            dropOldest();
        }
        episodeStarted = !wasDropping && dropped > droppedBefore;
        spoolFull = durableSequence != 0;
        bound = spoolFull ? journal->limitBytes() : limitBytes;
        wakeWriters();
    }
    if (episodeStarted) {
        const std::string text =
            (spoolFull ? "Spool full (" : "Backlog full (") +
            (bound % (1024 * 1024) == 0 ? std::to_string(bound / (1024 * 1024)) + " MiB"
                                        : std::to_string(bound / 1024) + " KiB") +
            "): dropping the oldest transactions";
        KRI_REPORT_EVENT(kDeliveryBacklogUnit, kTransactionsDroppedEvent, "%s", text.c_str());
    }
    if (durableSequence != 0) {
        journal->waitDurable(durableSequence);
    }
}

void DeliveryBacklog::leaveJournal(const std::string& reason) {
    store = Store::kSpoolFailed;
    spoolFailure = reason;
    // The newest frames that fit the memory bound are kept; older ones that only the journal
    // held are dropped without being read.
    while (heldBytes > limitBytes && first < nextSequence) {
        dropOldest();
    }
    uint64_t lost = 0;
    for (uint64_t sequence = first + frames.size(); sequence < nextSequence; ++sequence) {
        std::string frame;
        int64_t wallMs = 0;
        if (journal->readFrame(sequence, frame, wallMs) != 0) {
            // An empty frame keeps the numbering; it writes nothing and, unless it was
            // acknowledged already, is counted as dropped.
            heldBytes -= journal->frameLength(sequence);
            frame.clear();
            wallMs = platform::wallClockMs();
            if (sequence > countedThrough) {
                ++unreadable;
                ++lost;
            }
        }
        frames.pushBack(frame, static_cast<int64_t>(platform::tickCount64()) -
                                   (platform::wallClockMs() - wallMs));
    }
    noteDropped(lost);
    KRI_REPORT_EVENT(kDeliveryBacklogUnit, kSpoolFailedEvent,
                     "Spool %s failed (%s): transactions are kept in memory only until the "
                     "service restarts",
                     journal->directory().c_str(), reason.c_str());
    if (lost > 0) {
        KRI_TRACE_WARNING(kDeliveryBacklogUnit,
                          "%" PRIu64 " transactions could not be read back from the spool\n", lost);
    }
}

uint64_t DeliveryBacklog::writtenByEveryCursor() const {
    if (cursors.empty()) {
        return 0;
    }
    uint64_t through = UINT64_MAX;
    for (const auto& cursor : cursors) {
        through = std::min(through, std::max(cursor->writtenThrough, cursor->acknowledgedThrough));
    }
    return through;
}

void DeliveryBacklog::holdBack(uint64_t sequence) {
    if (!heldBack.empty() && heldBack.back().through + 1 == sequence) {
        heldBack.back().through = sequence;
    } else {
        heldBack.push_back(HeldBack{sequence, sequence});
    }
    ++heldBackCount;
}

void DeliveryBacklog::acknowledgeHeldBack(uint64_t through) {
    while (!heldBack.empty() && heldBack.front().from <= through) {
        HeldBack& range = heldBack.front();
        const uint64_t last = std::min(range.through, through);
        acknowledged += last - range.from + 1;
        heldBackCount -= last - range.from + 1;
        if (last == range.through) {
            heldBack.pop_front();
        } else {
            range.from = last + 1;
        }
    }
}

void DeliveryBacklog::dropHeldBackAfter(uint64_t through) {
    uint64_t count = 0;
    while (!heldBack.empty() && heldBack.back().through > through) {
        HeldBack& range = heldBack.back();
        const uint64_t from = std::max(range.from, through + 1);
        count += range.through - from + 1;
        if (from == range.from) {
            heldBack.pop_back();
        } else {
            range.through = from - 1;
        }
    }
    heldBackCount -= count;
    noteDropped(count);
}

void DeliveryBacklog::fillWindow() {
    if (store != Store::kJournal) {
        return;
    }
    const int64_t tickNow = static_cast<int64_t>(platform::tickCount64());
    const int64_t wallNow = platform::wallClockMs();
    std::string frame;
    for (uint64_t sequence = first + frames.size();
         sequence < nextSequence && frames.bytes() < kWindowBytes; ++sequence) {
        int64_t wallMs = 0;
        frame.clear();
        if (journal->readFrame(sequence, frame, wallMs) != 0) {
            leaveJournal("record " + std::to_string(sequence) + " cannot be read back");
            return;
        }
        frames.pushBack(frame, tickNow - std::max<int64_t>(0, wallNow - wallMs));
    }
}

bool DeliveryBacklog::appendFrame(uint64_t sequence, std::string& into) {
    if (inWindow(sequence)) {
        frames.appendFrame(sequence - first, into);
        return true;
    }
    int64_t wallMs = 0;
    if (journal->readFrame(sequence, into, wallMs) != 0) {
        leaveJournal("record " + std::to_string(sequence) + " cannot be read back");
        return false;
    }
    return true;
}

uint32_t DeliveryBacklog::frameLength(uint64_t sequence) {
    return inWindow(sequence) ? static_cast<uint32_t>(frames.frameLength(sequence - first))
                              : journal->frameLength(sequence);
}

void DeliveryBacklog::popFront() {
    if (frames.empty()) {
        heldBytes -= journal->frameLength(first);
    } else {
        if (frames.frameLength(0) == 0 && first > countedThrough) {
            --unreadable;
        }
        heldBytes -= frames.frameLength(0);
        frames.popFront();
    }
    ++first;
}

void DeliveryBacklog::refuse() {
    ThreadLockGuard guard(lock);
    ++accepted;
    ++dropped;
}

void DeliveryBacklog::wakeWriters() {
    for (const auto& cursor : cursors) {
        if (cursor->writer != nullptr) {
            cursor->writer->wake();
        }
    }
}

void DeliveryBacklog::setAnnouncement(std::string framed) {
    ThreadLockGuard guard(lock);
    if (announcementState == Announcement::kPresent && framed == announcement) {
        return;
    }
    announcement = std::move(framed);
    announcementState = Announcement::kPresent;
    ++announcementRevision;
    wakeWriters();
}

void DeliveryBacklog::clearAnnouncement() {
    ThreadLockGuard guard(lock);
    announcementState = Announcement::kAbsent;
    announcement.clear();
}

uint64_t DeliveryBacklog::takeAnnouncement(std::string& into) {
    ThreadLockGuard guard(lock);
    if (announcementState == Announcement::kAbsent) {
        return 0;
    }
    into += announcement;
    return announcementRevision;
}

uint64_t DeliveryBacklog::announcementVersion() {
    ThreadLockGuard guard(lock);
    return announcementState == Announcement::kPresent ? announcementRevision : 0;
}

void DeliveryBacklog::dropOldest() {
    // A retained frame was acknowledged, and an empty one counted as dropped, already.
    const bool counted = first <= countedThrough || (!frames.empty() && frames.frameLength(0) == 0);
    popFront();
    noteDropped(counted ? 0 : 1);
}

void DeliveryBacklog::noteDropped(uint64_t count) {
    if (count == 0) {
        return;
    }
    dropped += count;
    const int64_t now = static_cast<int64_t>(platform::tickCount64());
    if (dropping == Dropping::kNo) {
        dropping = Dropping::kYes;
        episodeDropped = 0;
        episodeStartMs = now;
        lastSummaryMs = now;
    }
    episodeDropped += count;
    lastDropMs = now;
}

DeliveryBacklog::Cursor* DeliveryBacklog::cursorFor(uint64_t key) {
    ThreadLockGuard guard(lock);
    for (const auto& cursor : cursors) {
        if (cursor->key == key) {
            return cursor.get();
        }
    }
    cursors.push_back(std::make_unique<Cursor>(key, firstSequence() - 1));
    return cursors.back().get();
}

void DeliveryBacklog::keepCursors(const std::vector<uint64_t>& keys) {
    uint64_t missed = 0;
    {
        ThreadLockGuard guard(lock);
        auto forgotten = std::stable_partition(cursors.begin(), cursors.end(), [&](auto& c) {
            return std::find(keys.begin(), keys.end(), c->key) != keys.end();
        });
        for (auto it = forgotten; it != cursors.end(); ++it) {
            missed += endSequence() - std::max((*it)->acknowledgedThrough + 1, firstSequence());
        }
        cursors.erase(forgotten, cursors.end());
        trimDelivered();
        if (cursors.empty()) {
            // No address is left to acknowledge them.
            dropHeldBackAfter(0);
        }
    }
    if (missed > 0) {
        KRI_TRACE_WARNING(kDeliveryBacklogUnit,
                          "%" PRIu64
                          " pending transactions will not reach an address the server's host "
                          "no longer has\n",
                          missed);
    }
}

void DeliveryBacklog::attach(Cursor* cursor, DeliveryWriter* writer) {
    ThreadLockGuard guard(lock);
    cursor->writer = writer;
    if (writer != nullptr) {
        writer->wake();
    }
}

size_t DeliveryBacklog::takeBatch(Cursor* cursor, std::string& into, size_t maxBytes,
                                  uint64_t& lastSequence) {
    ThreadLockGuard guard(lock);
    size_t taken = 0;
    uint64_t sequence = std::max(cursor->writtenThrough + 1, first);
    while (sequence < nextSequence) {
        if (taken > 0 && into.size() + frameLength(sequence) > maxBytes) {
            break;
        }
        if (!appendFrame(sequence, into)) {
            // The journal failed: every frame still held is in memory now.
            sequence = std::max(sequence, first);
            continue;
        }
        resent += sequence <= cursor->resendThrough ? 1 : 0;
        lastSequence = sequence++;
        ++taken;
    }
    if (taken > 0) {
        cursor->writtenThrough = lastSequence;
    }
    return taken;
}

void DeliveryBacklog::markWritten(Cursor* cursor, uint64_t lastSequence, uint64_t streamEnd) {
    ThreadLockGuard guard(lock);
    cursor->inFlight.push_back(Cursor::Written{lastSequence, streamEnd});
    ++batches;
    if (lastSequence > highestSent) {
        sent += lastSequence - highestSent;
        highestSent = lastSequence;
    }
}

void DeliveryBacklog::acknowledge(Cursor* cursor, uint64_t streamAcknowledged) {
    acknowledge(cursor, streamAcknowledged, static_cast<int64_t>(platform::tickCount64()));
}

void DeliveryBacklog::acknowledge(Cursor* cursor, uint64_t streamAcknowledged, int64_t nowMs) {
    {
        ThreadLockGuard guard(lock);
        const uint64_t firstBefore = first;
        bool advanced = false;
        while (!cursor->inFlight.empty() &&
               cursor->inFlight.front().streamEnd <= streamAcknowledged) {
            const uint64_t through = cursor->inFlight.front().lastSequence;
            cursor->inFlight.pop_front();
            // A frame written again was acknowledged before: it keeps its place.
            if (through > cursor->acknowledgedThrough) {
                cursor->acknowledgedThrough = through;
                advanced = true;
            }
            if (through > cursor->releasedThrough &&
                (cursor->retained.empty() || through > cursor->retained.back().lastSequence)) {
                cursor->retained.push_back(Cursor::Acknowledged{through, nowMs});
            }
            cursor->workingAtMs = nowMs;
        }
        if (cursor->inFlight.empty()) {
            cursor->workingAtMs = nowMs;
        }
        if (!advanced && resendWindowMs == 0) {
            return;
        }
        trimDelivered();
        if (first == firstBefore) {
            return;
        }
    }
    if (journal) {
        journal->persistAcknowledged(false);
    }
}

void DeliveryBacklog::trimDelivered() {
    if (cursors.empty()) {
        return;
    }
    uint64_t acknowledgedThrough = UINT64_MAX;
    uint64_t releasedThrough = UINT64_MAX;
    for (const auto& cursor : cursors) {
        while (!cursor->retained.empty() &&
               cursor->workingAtMs - cursor->retained.front().atMs >= resendWindowMs) {
            cursor->releasedThrough = cursor->retained.front().lastSequence;
            cursor->retained.pop_front();
        }
        acknowledgedThrough = std::min(acknowledgedThrough, cursor->acknowledgedThrough);
        releasedThrough = std::min(releasedThrough, cursor->releasedThrough);
    }
    acknowledgeHeldBack(acknowledgedThrough);
    for (uint64_t sequence = firstPending(); sequence <= acknowledgedThrough; ++sequence) {
        if (sequence >= nextSequence) {
            break;
        }
        if (inWindow(sequence) && frames.frameLength(sequence - first) == 0) {
            --unreadable;  // counted as dropped when it could not be read
        } else {
            ++acknowledged;
        }
        countedThrough = sequence;
    }
    const uint64_t releasedBefore = first;
    while (first < nextSequence && first <= releasedThrough && first <= countedThrough) {
        popFront();
    }
    if (journal && first > releasedBefore) {
        journal->acknowledge(first - 1);
        fillWindow();
    }
}

bool DeliveryBacklog::hasUndelivered(Cursor* cursor) {
    ThreadLockGuard guard(lock);
    return !cursor->inFlight.empty() ||
           std::max(cursor->writtenThrough + 1, firstSequence()) < endSequence();
}

DeliveryBacklog::Resend DeliveryBacklog::connectionEnded(Cursor* cursor, Ending ending,
                                                         int64_t endMs) {
    ThreadLockGuard guard(lock);
    cursor->inFlight.clear();
    // What this connection did not acknowledge of the frames held back cannot be written again.
    dropHeldBackAfter(cursor->acknowledgedThrough);
    uint64_t from = cursor->acknowledgedThrough;
    if (ending == Ending::kBroken && resendWindowMs > 0) {
        // The frames acknowledged within the window before the end go again: back to the last
        // frame acknowledged before it.
        from = cursor->releasedThrough;
        for (const Cursor::Acknowledged& ack : cursor->retained) {
            if (ack.atMs >= endMs - resendWindowMs) {
                break;
            }
            from = ack.lastSequence;
        }
        while (!cursor->retained.empty() && cursor->retained.back().lastSequence > from) {
            cursor->retained.pop_back();
        }
    }
    from = std::max(from, first - 1);
    Resend resend;
    if (cursor->writtenThrough > from) {
        resend.frames = cursor->writtenThrough - from;
        resend.acknowledged =
            cursor->acknowledgedThrough > from ? cursor->acknowledgedThrough - from : 0;
        cursor->resendThrough = std::max(cursor->resendThrough, cursor->writtenThrough);
        cursor->writtenThrough = from;
    }
    return resend;
}

void DeliveryBacklog::dropAll(const char* why) {
    uint64_t count = 0;
    uint64_t lost = 0;
    bool kept = false;
    {
        ThreadLockGuard guard(lock);
        kept = store == Store::kJournal;
        count = nextSequence - firstPending() - unreadable;
        if (kept) {
            // Acknowledged frames that a connection's bad end left to be written again stay in
            // the journal for the next start; the others need not wait there.
            uint64_t settled = countedThrough;
            for (const auto& cursor : cursors) {
                settled = std::min({settled, cursor->acknowledgedThrough, cursor->writtenThrough});
            }
            if (settled >= first) {
                journal->acknowledge(settled);
            }
            count = nextSequence - std::max(first, settled + 1);
        } else {
            dropped += count;
        }
        // The frames held back are no longer in the journal.
        lost = (kept ? 0 : count) + heldBackCount;
        dropped += heldBackCount;
        heldBack.clear();
        heldBackCount = 0;
        frames.clear();
        unreadable = 0;
        first = nextSequence;
        countedThrough = nextSequence - 1;
        heldBytes = 0;
    }
    if (kept) {
        journal->persistAcknowledged(true);
        if (count > 0) {
            KRI_TRACE(kDeliveryBacklogUnit,
                      "%" PRIu64 " transactions kept in the spool %s for the next start\n", count,
                      journal->directory().c_str());
        }
    }
    if (lost > 0) {
        KRI_REPORT_EVENT(kDeliveryBacklogUnit, kTransactionsDroppedEvent,
                         "%" PRIu64 " transactions not delivered: %s", lost, why);
    }
}

DeliveryStatus DeliveryBacklog::counters() {
    ThreadLockGuard guard(lock);
    DeliveryStatus status;
    status.accepted = accepted;
    status.sent = sent;
    status.batches = batches;
    status.resent = resent;
    status.acknowledged = acknowledged;
    status.dropped = dropped;
    status.pending = nextSequence - firstPending() - unreadable + heldBackCount;
    status.pendingBytes = heldBytes;
    if (store != Store::kMemory) {
        status.spool = store == Store::kJournal ? SpoolState::kJournal : SpoolState::kMemoryOnly;
        status.spoolReason = spoolFailure;
    }
    if (firstPending() < nextSequence && inWindow(firstPending())) {
        status.oldestPendingAgeMs = static_cast<int64_t>(platform::tickCount64()) -
                                    frames.acceptedMs(firstPending() - first);
    }
    return status;
}

void DeliveryBacklog::onTick(int64_t nowMs) {
    enum class Line { kNone, kEnded, kGoesOn };
    Line line = Line::kNone;
    uint64_t count = 0;
    int64_t seconds = 0;
    bool syncSpool = false;
    if (journal) {
        journal->checkFiles();
    }
    {
        ThreadLockGuard guard(lock);
        if (store == Store::kJournal) {
            if (std::string failure = journal->failure(); !failure.empty()) {
                leaveJournal(failure);
            }
        }
        if (journal && nowMs - lastSpoolSyncMs >= kSpoolSyncIntervalMs) {
            lastSpoolSyncMs = nowMs;
            syncSpool = true;
        }
        if (dropping == Dropping::kYes) {
            count = episodeDropped;
            seconds = (nowMs - episodeStartMs) / 1000;
            if (nowMs - lastDropMs >= kEpisodeQuietMs) {
                dropping = Dropping::kNo;
                line = Line::kEnded;
            } else if (nowMs - lastSummaryMs >= kSummaryIntervalMs) {
                lastSummaryMs = nowMs;
                line = Line::kGoesOn;
            }
        }
    }
    if (syncSpool) {
        journal->persistAcknowledged(true);
    }
    if (line == Line::kEnded) {
        KRI_TRACE_WARNING(kDeliveryBacklogUnit,
                          "Backlog below its bound again: %" PRIu64
                          " transactions dropped in %" PRId64 " s\n",
                          count, seconds);
    } else if (line == Line::kGoesOn) {
        KRI_TRACE_WARNING(kDeliveryBacklogUnit,
                          "Backlog still full: %" PRIu64 " transactions dropped in %" PRId64 " s\n",
                          count, seconds);
    }
}
