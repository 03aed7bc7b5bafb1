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
constexpr int64_t kEpisodeQuietMs = 1000;
constexpr int64_t kSummaryIntervalMs = 60000;

}  // namespace

class DeliveryBacklog::Cursor {
public:
    explicit Cursor(uint64_t key, uint64_t start)
        : key(key), acknowledgedThrough(start), writtenThrough(start) {}

    // One batch handed to the kernel: its last frame and the stream offset after it.
    struct Written {
        uint64_t lastSequence;
        uint64_t streamEnd;
    };

    const uint64_t key;
    DeliveryWriter* writer = nullptr;
    uint64_t acknowledgedThrough;
    uint64_t writtenThrough;
    std::deque<Written> inFlight;
};

DeliveryBacklog::DeliveryBacklog() = default;

DeliveryBacklog::~DeliveryBacklog() = default;

void DeliveryBacklog::setLimit(uint64_t bytes) {
    std::lock_guard<ThreadLock> guard(lock);
    limitBytes = bytes;
}

uint64_t DeliveryBacklog::firstSequence() const {
    return nextSequence - frames.size();
}

uint64_t DeliveryBacklog::endSequence() const {
    return nextSequence;
}

void DeliveryBacklog::push(std::string_view framed) {
    bool episodeStarted = false;
    {
        std::lock_guard<ThreadLock> guard(lock);
        heldBytes += framed.size();
        frames.pushBack(framed, static_cast<int64_t>(platform::tickCount64()));
        ++nextSequence;
        ++accepted;
        while (heldBytes > limitBytes && frames.size() > 1) {
            episodeStarted |= dropping == Dropping::kNo;
            dropOldest();
        }
        wakeWriters();
    }
    if (episodeStarted) {
        const std::string bound = limitBytes % (1024 * 1024) == 0
                                      ? std::to_string(limitBytes / (1024 * 1024)) + " MiB"
                                      : std::to_string(limitBytes / 1024) + " KiB";
        KRI_REPORT_EVENT(kDeliveryBacklogUnit, kTransactionsDroppedEvent,
                         "Backlog full (%s): dropping the oldest transactions", bound.c_str());
    }
}

void DeliveryBacklog::refuse() {
    std::lock_guard<ThreadLock> guard(lock);
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
    std::lock_guard<ThreadLock> guard(lock);
    if (announcementState == Announcement::kPresent && framed == announcement) {
        return;
    }
    announcement = std::move(framed);
    announcementState = Announcement::kPresent;
    ++announcementRevision;
    wakeWriters();
}

void DeliveryBacklog::clearAnnouncement() {
    std::lock_guard<ThreadLock> guard(lock);
    announcementState = Announcement::kAbsent;
    announcement.clear();
}

uint64_t DeliveryBacklog::takeAnnouncement(std::string& into) {
    std::lock_guard<ThreadLock> guard(lock);
    if (announcementState == Announcement::kAbsent) {
        return 0;
    }
    into += announcement;
    return announcementRevision;
}

uint64_t DeliveryBacklog::announcementVersion() {
    std::lock_guard<ThreadLock> guard(lock);
    return announcementState == Announcement::kPresent ? announcementRevision : 0;
}

void DeliveryBacklog::dropOldest() {
    heldBytes -= frames.frameLength(0);
    frames.popFront();
    ++dropped;
    const int64_t now = static_cast<int64_t>(platform::tickCount64());
    if (dropping == Dropping::kNo) {
        dropping = Dropping::kYes;
        episodeDropped = 0;
        episodeStartMs = now;
        lastSummaryMs = now;
    }
    ++episodeDropped;
    lastDropMs = now;
}

DeliveryBacklog::Cursor* DeliveryBacklog::cursorFor(uint64_t key) {
    std::lock_guard<ThreadLock> guard(lock);
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
        std::lock_guard<ThreadLock> guard(lock);
        auto forgotten = std::stable_partition(cursors.begin(), cursors.end(), [&](auto& c) {
            return std::find(keys.begin(), keys.end(), c->key) != keys.end();
        });
        for (auto it = forgotten; it != cursors.end(); ++it) {
            missed += endSequence() - std::max((*it)->acknowledgedThrough + 1, firstSequence());
        }
        cursors.erase(forgotten, cursors.end());
        trimDelivered();
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
    std::lock_guard<ThreadLock> guard(lock);
    cursor->writer = writer;
    if (writer != nullptr) {
        writer->wake();
    }
}

size_t DeliveryBacklog::takeBatch(Cursor* cursor, std::string& into, size_t maxBytes,
                                  uint64_t& lastSequence) {
    std::lock_guard<ThreadLock> guard(lock);
    const uint64_t first = std::max(cursor->writtenThrough + 1, firstSequence());
    size_t taken = 0;
    for (size_t i = first - firstSequence(); i < frames.size(); ++i) {
        if (taken > 0 && into.size() + frames.frameLength(i) > maxBytes) {
            break;
        }
        frames.appendFrame(i, into);
        lastSequence = firstSequence() + i;
        ++taken;
    }
    if (taken > 0) {
        cursor->writtenThrough = lastSequence;
    }
    return taken;
}

void DeliveryBacklog::markWritten(Cursor* cursor, uint64_t lastSequence, uint64_t streamEnd) {
    std::lock_guard<ThreadLock> guard(lock);
    cursor->inFlight.push_back(Cursor::Written{lastSequence, streamEnd});
    ++batches;
    if (lastSequence > highestSent) {
        sent += lastSequence - highestSent;
        highestSent = lastSequence;
    }
}

void DeliveryBacklog::acknowledge(Cursor* cursor, uint64_t streamAcknowledged) {
    std::lock_guard<ThreadLock> guard(lock);
    bool advanced = false;
    while (!cursor->inFlight.empty() && cursor->inFlight.front().streamEnd <= streamAcknowledged) {
        cursor->acknowledgedThrough = cursor->inFlight.front().lastSequence;
        cursor->inFlight.pop_front();
        advanced = true;
    }
    if (advanced) {
        trimDelivered();
    }
}

void DeliveryBacklog::trimDelivered() {
    if (cursors.empty()) {
        return;
    }
    uint64_t deliveredThrough = UINT64_MAX;
    for (const auto& cursor : cursors) {
        deliveredThrough = std::min(deliveredThrough, cursor->acknowledgedThrough);
    }
    while (!frames.empty() && firstSequence() <= deliveredThrough) {
        heldBytes -= frames.frameLength(0);
        frames.popFront();
        ++acknowledged;
    }
}

bool DeliveryBacklog::hasUndelivered(Cursor* cursor) {
    std::lock_guard<ThreadLock> guard(lock);
    return !cursor->inFlight.empty() ||
           std::max(cursor->writtenThrough + 1, firstSequence()) < endSequence();
}

void DeliveryBacklog::connectionEnded(Cursor* cursor) {
    std::lock_guard<ThreadLock> guard(lock);
    cursor->inFlight.clear();
    cursor->writtenThrough = cursor->acknowledgedThrough;
}

void DeliveryBacklog::dropAll(const char* why) {
    uint64_t count = 0;
    {
        std::lock_guard<ThreadLock> guard(lock);
        count = frames.size();
        dropped += count;
        frames.clear();
        heldBytes = 0;
    }
    if (count > 0) {
        KRI_REPORT_EVENT(kDeliveryBacklogUnit, kTransactionsDroppedEvent,
                         "%" PRIu64 " transactions not delivered: %s", count, why);
    }
}

DeliveryStatus DeliveryBacklog::counters() {
    std::lock_guard<ThreadLock> guard(lock);
    DeliveryStatus status;
    status.accepted = accepted;
    status.sent = sent;
    status.batches = batches;
    status.acknowledged = acknowledged;
    status.dropped = dropped;
    status.pending = frames.size();
    status.pendingBytes = heldBytes;
    if (!frames.empty()) {
        status.oldestPendingAgeMs =
            static_cast<int64_t>(platform::tickCount64()) - frames.frontAcceptedMs();
    }
    return status;
}

void DeliveryBacklog::onTick(int64_t nowMs) {
    enum class Line { kNone, kEnded, kGoesOn };
    Line line = Line::kNone;
    uint64_t count = 0;
    int64_t seconds = 0;
    {
        std::lock_guard<ThreadLock> guard(lock);
        if (dropping == Dropping::kNo) {
            return;
        }
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
