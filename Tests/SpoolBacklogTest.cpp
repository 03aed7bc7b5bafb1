// The delivery backlog as a view of its spool journal: a large spool replayed in order while new
// transactions come, the bound, and a journal that fails under a running backlog.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "LibraryInterfaces/KriErr.h"
#include "Tests/CapturingLogSink.h"
#include "Tests/TempDirectory.h"
#include "Tools/RovazoRiva/Common/DeliveryBacklog.h"

namespace {

constexpr uint32_t kDroppedEvent = 0x8E000D04u;
constexpr uint32_t kSpoolFailedEvent = 0x8E000D05u;

std::string framed(const std::string& text) {
    const auto length = static_cast<uint32_t>(text.size());
    std::string frame{static_cast<char>(length >> 24), static_cast<char>(length >> 16),
                      static_cast<char>(length >> 8), static_cast<char>(length)};
    return frame + text;
}

std::string textOf(int number) {
    std::string text = "event " + std::to_string(number) + " ";
    text.resize(96, '.');
    return text;
}

class NoWriter : public DeliveryWriter {
public:
    void wake() override {}
};

// Takes every batch the cursor has, acknowledges it at once and returns the texts in order.
std::vector<std::string> deliverAll(DeliveryBacklog& backlog, DeliveryBacklog::Cursor* cursor,
                                    uint64_t& stream) {
    std::vector<std::string> texts;
    std::string batch;
    uint64_t last = 0;
    while (backlog.takeBatch(cursor, batch, 16 * 1024, last) > 0) {
        for (size_t at = 0; at < batch.size();) {
            const uint32_t length = (static_cast<uint8_t>(batch[at]) << 24) |
                                    (static_cast<uint8_t>(batch[at + 1]) << 16) |
                                    (static_cast<uint8_t>(batch[at + 2]) << 8) |
                                    static_cast<uint8_t>(batch[at + 3]);
            texts.push_back(batch.substr(at + 4, length));
            at += 4 + length;
        }
        stream += batch.size();
        backlog.markWritten(cursor, last, stream);
        backlog.acknowledge(cursor, stream);
        batch.clear();
    }
    return texts;
}

void expectCountsAddUp(DeliveryBacklog& backlog) {
    const DeliveryStatus s = backlog.counters();
    EXPECT_EQ(s.accepted, s.acknowledged + s.pending + s.dropped);
}

// The Linux files, with writes that fail with ENOSPC once `full` is set (a write in place within
// the file's size still works, as on a full disk), writes in place that fail with EIO once
// `positionFails` is, and reads that fail with EIO once `unreadable` is.
class FillingFiles : public platform::SpoolFilesWrapper {
public:
    class File : public platform::SpoolFileWrapper {
    public:
        File(std::unique_ptr<platform::SpoolFile> real, const FillingFiles& owner)
            : SpoolFileWrapper(std::move(real)), owner(owner) {}
        int append(const void* data, size_t length) override {
            return owner.full ? ENOSPC : target().append(data, length);
        }
        int writeAt(uint64_t offset, const void* data, size_t length) override {
            if (owner.positionFails) {
                return EIO;
            }
            return owner.full && offset + length > target().size()
                       ? ENOSPC
                       : target().writeAt(offset, data, length);
        }
        int readAt(uint64_t offset, void* into, size_t length) override {
            return owner.unreadable ? EIO : target().readAt(offset, into, length);
        }

    private:
        const FillingFiles& owner;
    };

    FillingFiles() : SpoolFilesWrapper(platform::linuxSpoolFiles()) {}

    int open(const std::string& path, Opening opening,
             std::unique_ptr<platform::SpoolFile>& file) override {
        std::unique_ptr<platform::SpoolFile> real;
        const int error = target().open(path, opening, real);
        if (error == 0) {
            file = std::make_unique<File>(std::move(real), *this);
        }
        return error;
    }

    bool full = false;
    bool positionFails = false;
    bool unreadable = false;
};

class SpoolBacklogTest : public ::testing::Test {
protected:
    void SetUp() override { setKriLogSink(&log); }
    void TearDown() override { setKriLogSink(nullptr); }

    SpoolJournal::Settings settings(uint64_t limit = 64 << 20, uint64_t segment = 0) {
        SpoolJournal::Settings s;
        s.directory = dir.path();
        s.limitBytes = limit;
        s.segmentBytes = segment;
        return s;
    }

    // A spool as an earlier run leaves it: transactions 1 to count, none acknowledged.
    void leaveSpoolOf(int count) {
        SpoolJournal journal;
        ASSERT_EQ(journal.open(settings()), "");
        for (int n = 1; n <= count; ++n) {
            SpoolJournal::Dropped dropped;
            ASSERT_EQ(journal.append(framed(textOf(n)), 0, dropped), 0);
        }
    }

    CapturingLogSink log;
    TempDirectory dir{"kri-spool"};
    NoWriter writer;
    uint64_t stream = 0;
};

TEST_F(SpoolBacklogTest, ALargeSpoolIsReplayedInOrderWhileNewTransactionsCome) {
    constexpr int kHeld = 100000;
    ASSERT_NO_FATAL_FAILURE(leaveSpoolOf(kHeld));
    DeliveryBacklog backlog;
    ASSERT_EQ(backlog.useSpool(settings()), "");
    EXPECT_EQ(backlog.counters().pending, static_cast<uint64_t>(kHeld));
    DeliveryBacklog::Cursor* cursor = backlog.cursorFor(1);
    backlog.attach(cursor, &writer);

    std::vector<std::string> received;
    int next = kHeld + 1;
    std::string batch;
    uint64_t last = 0;
    // One new transaction after each batch, until the spool is replayed.
    while (backlog.takeBatch(cursor, batch, 16 * 1024, last) > 0) {
        for (size_t at = 0; at < batch.size(); at += 4 + 96) {
            received.push_back(batch.substr(at + 4, 96));
        }
        stream += batch.size();
        backlog.markWritten(cursor, last, stream);
        backlog.acknowledge(cursor, stream);
        batch.clear();
        if (next <= kHeld + 50) {
            backlog.push(framed(textOf(next++)));
        }
    }
    ASSERT_EQ(received.size(), static_cast<size_t>(next - 1));
    for (int n = 1; n < next; ++n) {
        ASSERT_EQ(received[n - 1], textOf(n)) << "at " << n;
    }
    expectCountsAddUp(backlog);
    EXPECT_EQ(backlog.counters().pending, 0u);
}

TEST_F(SpoolBacklogTest, AFullSpoolDropsTheOldestCountedAndSaysSo) {
    DeliveryBacklog backlog;
    ASSERT_EQ(backlog.useSpool(settings(16 * 1024, 2 * 1024)), "");
    for (int n = 1; n <= 400; ++n) {
        backlog.push(framed(textOf(n)));
    }
    const DeliveryStatus s = backlog.counters();
    EXPECT_GT(s.dropped, 0u);
    EXPECT_EQ(s.accepted, 400u);
    expectCountsAddUp(backlog);
    EXPECT_EQ(log.count("Spool full (16 KiB): dropping the oldest transactions"), 1u);
    EXPECT_EQ(log.countEvents(kDroppedEvent), 1u);
    // What is left is the newest, in order.
    DeliveryBacklog::Cursor* cursor = backlog.cursorFor(1);
    const std::vector<std::string> texts = deliverAll(backlog, cursor, stream);
    ASSERT_EQ(texts.size(), s.pending);
    EXPECT_EQ(texts.back(), textOf(400));
    EXPECT_EQ(texts.front(), textOf(401 - static_cast<int>(texts.size())));
}

// A slow reader: frames written and not yet acknowledged when the full spool deletes them are
// pending until their outcome is known: acknowledged when the server acknowledges them, dropped
// when their connection ends without doing so, or when the service stops first.
TEST_F(SpoolBacklogTest, FramesInFlightWhenTheFullSpoolDeletesThemWaitForTheirOutcome) {
    constexpr uint64_t kInFlight = 40;
    constexpr uint64_t kAccepted = 400;
    enum class Outcome { kAcknowledged, kConnectionEnds, kStop };
    for (const Outcome outcome :
         {Outcome::kAcknowledged, Outcome::kConnectionEnds, Outcome::kStop}) {
        SCOPED_TRACE("outcome " + std::to_string(static_cast<int>(outcome)));
        TempDirectory spool{"kri-spool"};
        SpoolJournal::Settings spoolSettings = settings(16 * 1024, 2 * 1024);
        spoolSettings.directory = spool.path();
        DeliveryBacklog backlog;
        backlog.setResendWindow(10000);
        ASSERT_EQ(backlog.useSpool(spoolSettings), "");
        DeliveryBacklog::Cursor* cursor = backlog.cursorFor(1);
        backlog.attach(cursor, &writer);
        for (uint64_t n = 1; n <= kInFlight; ++n) {
            backlog.push(framed(textOf(static_cast<int>(n))));
        }
        std::string batch;
        uint64_t last = 0;
        uint64_t written = 0;
        while (backlog.takeBatch(cursor, batch, 1024, last) > 0) {
            written += batch.size();
            backlog.markWritten(cursor, last, written);
            batch.clear();
        }
        ASSERT_EQ(last, kInFlight);
        for (uint64_t n = kInFlight + 1; n <= kAccepted; ++n) {
            backlog.push(framed(textOf(static_cast<int>(n))));
        }
        const DeliveryStatus full = backlog.counters();
        EXPECT_EQ(full.acknowledged, 0u);
        expectCountsAddUp(backlog);

        if (outcome == Outcome::kStop) {
            backlog.dropAll("the service stops");
            EXPECT_EQ(backlog.counters().dropped, full.dropped + kInFlight);
            EXPECT_EQ(log.count("40 transactions not delivered: the service stops"), 1u);
            continue;
        }
        uint64_t stream = written;
        if (outcome == Outcome::kAcknowledged) {
            backlog.acknowledge(cursor, written);
        } else {
            backlog.connectionEnded(cursor, DeliveryBacklog::Ending::kBroken, 0);
            stream = 0;
        }
        expectCountsAddUp(backlog);
        const std::vector<std::string> texts = deliverAll(backlog, cursor, stream);
        ASSERT_FALSE(texts.empty());
        EXPECT_EQ(texts.back(), textOf(static_cast<int>(kAccepted)));
        EXPECT_EQ(full.pending, kInFlight + texts.size());
        const DeliveryStatus done = backlog.counters();
        EXPECT_EQ(done.pending, 0u);
        EXPECT_EQ(done.acknowledged,
                  (outcome == Outcome::kAcknowledged ? kInFlight : 0) + texts.size());
        EXPECT_EQ(done.dropped, kAccepted - done.acknowledged);
        expectCountsAddUp(backlog);
    }
}

TEST_F(SpoolBacklogTest, AFullDiskOrARemovedDirectoryLeavesTheBacklogInMemory) {
    for (const bool removeDirectory : {false, true}) {
        SCOPED_TRACE(removeDirectory ? "directory removed" : "disk full");
        FillingFiles files;
        DeliveryBacklog backlog;
        ASSERT_EQ(backlog.useSpool(settings(64 << 20, 16 * 1024), files), "");
        DeliveryBacklog::Cursor* cursor = backlog.cursorFor(1);
        for (int n = 1; n <= 400; ++n) {
            if (n == 200) {
                if (removeDirectory) {
                    std::filesystem::remove_all(dir.path());
                } else {
                    files.full = true;
                }
            }
            backlog.push(framed(textOf(n)));
        }
        const DeliveryStatus s = backlog.counters();
        EXPECT_EQ(s.spool, SpoolState::kMemoryOnly);
        EXPECT_NE(s.spoolReason.find(removeDirectory ? "No such file" : "No space left"),
                  std::string::npos)
            << s.spoolReason;
        EXPECT_EQ(log.count("transactions are kept in memory only until the service restarts"), 1u);
        EXPECT_EQ(log.countEvents(kSpoolFailedEvent), 1u);
        const std::vector<std::string> texts = deliverAll(backlog, cursor, stream);
        ASSERT_EQ(texts.size(), 400u);
        for (int n = 1; n <= 400; ++n) {
            ASSERT_EQ(texts[n - 1], textOf(n));
        }
        expectCountsAddUp(backlog);
        log.traces.clear();
        log.events.clear();
        std::filesystem::create_directories(dir.path());
    }
}

// Records past the memory window that can no longer be read: the backlog goes on in memory,
// sends what it holds in order and counts the lost ones as dropped.
TEST_F(SpoolBacklogTest, RecordsThatCannotBeReadBackAreCountedAsDropped) {
    constexpr int kHeld = 60000;  // 6 MB of frames, more than the window
    ASSERT_NO_FATAL_FAILURE(leaveSpoolOf(kHeld));
    FillingFiles files;
    DeliveryBacklog backlog;
    ASSERT_EQ(backlog.useSpool(settings(), files), "");
    files.unreadable = true;
    const std::vector<std::string> texts = deliverAll(backlog, backlog.cursorFor(1), stream);
    ASSERT_GT(texts.size(), 0u);
    ASSERT_LT(texts.size(), static_cast<size_t>(kHeld));
    for (size_t i = 0; i < texts.size(); ++i) {
        ASSERT_EQ(texts[i], textOf(static_cast<int>(i) + 1));
    }
    const DeliveryStatus s = backlog.counters();
    EXPECT_EQ(s.spool, SpoolState::kMemoryOnly);
    EXPECT_EQ(s.dropped, kHeld - texts.size());
    EXPECT_EQ(s.pending, 0u);
    expectCountsAddUp(backlog);
    EXPECT_EQ(log.count(std::to_string(kHeld - texts.size()) +
                        " transactions could not be read back from the spool"),
              1u);
}

// Four sink threads push while the loop thread takes, writes and acknowledges: with either sync
// setting every frame arrives once and each thread's frames in the order it pushed them.
TEST_F(SpoolBacklogTest, SinkThreadsShareSyncsAndKeepTheirOrder) {
    for (const SpoolJournal::Sync sync :
         {SpoolJournal::Sync::kBatch, SpoolJournal::Sync::kAlways}) {
        constexpr int kThreads = 4;
        constexpr int kEach = 150;
        std::filesystem::remove_all(dir.path());
        DeliveryBacklog backlog;
        SpoolJournal::Settings spool = settings();
        spool.sync = sync;
        ASSERT_EQ(backlog.useSpool(spool), "");
        DeliveryBacklog::Cursor* cursor = backlog.cursorFor(1);
        std::atomic<int> done{0};
        std::vector<std::thread> sinks;
        for (int t = 0; t < kThreads; ++t) {
            sinks.emplace_back([&, t] {
                for (int n = 0; n < kEach; ++n) {
                    backlog.push(framed(std::to_string(t) + " " + std::to_string(n)));
                }
                ++done;
            });
        }
        std::vector<std::string> texts;
        while (done.load() < kThreads || backlog.hasUndelivered(cursor)) {
            const std::vector<std::string> more = deliverAll(backlog, cursor, stream);
            texts.insert(texts.end(), more.begin(), more.end());
            // The loop's tick syncs the acknowledged position meanwhile.
            backlog.onTick(static_cast<int64_t>(texts.size()) * 100);
            std::this_thread::yield();
        }
        for (std::thread& sink : sinks) {
            sink.join();
        }
        ASSERT_EQ(texts.size(), static_cast<size_t>(kThreads * kEach));
        std::map<int, int> next;
        for (const std::string& text : texts) {
            const int thread = std::stoi(text);
            EXPECT_EQ(std::stoi(text.substr(text.find(' ') + 1)), next[thread]++) << text;
        }
        expectCountsAddUp(backlog);
    }
}

// A spool of an earlier version whose position file is still empty, on a disk that is full: the
// start goes on with the spool failed, once said, and what it holds in memory up to the backlog's
// bound; what could not be marked as sent goes again at the next start. Once there is room the
// file gets its bytes at open, and from then on a full disk does not keep the position from
// being stored. A position that cannot be written at all is said once, as the spool's failure.
TEST_F(SpoolBacklogTest, APositionThatCannotBeStoredIsSaidOnceAndNothingIsLost) {
    ASSERT_NO_FATAL_FAILURE(leaveSpoolOf(50));
    std::filesystem::resize_file(dir / "acknowledged", 0);
    FillingFiles files;
    files.full = true;
    {
        DeliveryBacklog backlog;
        backlog.setLimit(30 * framed(textOf(1)).size());
        ASSERT_EQ(backlog.useSpool(settings(), files), "");
        const DeliveryStatus s = backlog.counters();
        EXPECT_EQ(s.spool, SpoolState::kMemoryOnly);
        const std::string reason = "the spool's file " + dir / "acknowledged" +
                                   " cannot be written: No space left on device";
        EXPECT_EQ(s.spoolReason, reason);
        EXPECT_EQ(log.count("Spool " + dir.path() + " failed (" + reason +
                            "): transactions are kept in memory only until the service restarts"),
                  1u);
        EXPECT_EQ(s.accepted, 50u);
        EXPECT_EQ(s.dropped, 20u);
        const std::vector<std::string> texts = deliverAll(backlog, backlog.cursorFor(1), stream);
        ASSERT_EQ(texts.size(), 30u);
        EXPECT_EQ(texts.front(), textOf(21));
        EXPECT_EQ(texts.back(), textOf(50));
        backlog.onTick(1000);
        EXPECT_EQ(log.countEvents(kSpoolFailedEvent), 1u);
        expectCountsAddUp(backlog);
    }
    files.full = false;
    {
        DeliveryBacklog backlog;
        ASSERT_EQ(backlog.useSpool(settings(), files), "");
        files.full = true;
        EXPECT_EQ(deliverAll(backlog, backlog.cursorFor(1), stream).size(), 50u);
    }
    {
        DeliveryBacklog backlog;
        ASSERT_EQ(backlog.useSpool(settings(), files), "");
        EXPECT_EQ(backlog.counters().pending, 0u);
        files.full = false;
        backlog.push(framed(textOf(51)));
        files.positionFails = true;
        EXPECT_EQ(deliverAll(backlog, backlog.cursorFor(1), stream).size(), 1u);
        backlog.onTick(1000);
        backlog.push(framed(textOf(52)));
        EXPECT_EQ(deliverAll(backlog, backlog.cursorFor(1), stream).size(), 1u);
        backlog.onTick(2000);
        const DeliveryStatus s = backlog.counters();
        EXPECT_EQ(s.spool, SpoolState::kMemoryOnly);
        EXPECT_NE(s.spoolReason.find("acknowledged cannot be written: Input/output error"),
                  std::string::npos)
            << s.spoolReason;
        EXPECT_EQ(log.countEvents(kSpoolFailedEvent), 2u);  // the first start's and this one
        expectCountsAddUp(backlog);
    }
}

// The directory removed, or the segment being written removed or replaced: the next tick (four a
// second) leaves the journal, and nothing it held is lost.
TEST_F(SpoolBacklogTest, ARemovedDirectoryOrSegmentIsNoticedAtTheNextTick) {
    for (const bool wholeDirectory : {true, false}) {
        SCOPED_TRACE(wholeDirectory ? "directory" : "segment");
        std::filesystem::remove_all(dir.path());
        log.events.clear();
        DeliveryBacklog backlog;
        ASSERT_EQ(backlog.useSpool(settings()), "");
        for (int n = 1; n <= 10; ++n) {
            backlog.push(framed(textOf(n)));
        }
        backlog.onTick(1000);
        ASSERT_EQ(backlog.counters().spool, SpoolState::kJournal);
        if (wholeDirectory) {
            std::filesystem::remove_all(dir.path());
        } else {
            for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
                if (entry.path().extension() == ".seg") {
                    std::filesystem::remove(entry.path());
                }
            }
        }
        backlog.onTick(1250);
        const DeliveryStatus s = backlog.counters();
        EXPECT_EQ(s.spool, SpoolState::kMemoryOnly);
        EXPECT_NE(s.spoolReason.find("was removed or replaced"), std::string::npos)
            << s.spoolReason;
        EXPECT_EQ(log.countEvents(kSpoolFailedEvent), 1u);
        const std::vector<std::string> texts = deliverAll(backlog, backlog.cursorFor(1), stream);
        ASSERT_EQ(texts.size(), 10u);
        EXPECT_EQ(texts.back(), textOf(10));
        expectCountsAddUp(backlog);
    }
}

// A restart takes up a spool whose first records were acknowledged and one of whose records is
// damaged: what the earlier run left counts as accepted, the damaged one as dropped, and only
// what is written now as sent.
TEST_F(SpoolBacklogTest, CountersAddUpAfterARestartWithDamage) {
    ASSERT_NO_FATAL_FAILURE(leaveSpoolOf(100));
    {
        SpoolJournal journal;
        ASSERT_EQ(journal.open(settings()), "");
        journal.acknowledge(60);
    }
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        if (entry.path().extension() == ".seg") {
            std::fstream file(entry.path(), std::ios::in | std::ios::out | std::ios::binary);
            file.seekp(79 * (24 + 100) + 50);  // inside record 80
            file.put('#');
        }
    }
    DeliveryBacklog backlog;
    ASSERT_EQ(backlog.useSpool(settings()), "");
    EXPECT_EQ(log.countEvents(kDroppedEvent), 1u);
    const std::vector<std::string> texts = deliverAll(backlog, backlog.cursorFor(1), stream);
    ASSERT_EQ(texts.size(), 39u);
    EXPECT_EQ(texts.front(), textOf(61));
    EXPECT_EQ(texts.back(), textOf(100));
    const DeliveryStatus s = backlog.counters();
    EXPECT_EQ(s.accepted, 40u);
    EXPECT_EQ(s.dropped, 1u);
    EXPECT_EQ(s.sent, 39u);
    expectCountsAddUp(backlog);
}

}  // namespace
