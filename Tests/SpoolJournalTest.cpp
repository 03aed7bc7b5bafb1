// The spool journal on a real directory: what survives a killed process, how a torn tail and a
// damaged segment are repaired, the bound, and who may use a directory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "LibraryInterfaces/KriErr.h"
#include "Tests/CapturingLogSink.h"
#include "Tests/Isolation.h"
#include "Tests/TempDirectory.h"
#include "Tools/RovazoRiva/Common/SpoolJournal.h"

namespace {

std::string frameOf(uint64_t number, size_t length = 100) {
    std::string frame = "frame " + std::to_string(number) + " ";
    frame.resize(length, static_cast<char>('a' + number % 26));
    return frame;
}

SpoolJournal::Settings settingsFor(const TempDirectory& dir, uint64_t limit = 1 << 20,
                                   uint64_t segment = 1000) {
    SpoolJournal::Settings settings;
    settings.directory = dir.path();
    settings.limitBytes = limit;
    settings.segmentBytes = segment;
    return settings;
}

void appendFrames(SpoolJournal& journal, uint64_t from, uint64_t to) {
    for (uint64_t n = from; n <= to; ++n) {
        SpoolJournal::Dropped dropped;
        ASSERT_EQ(journal.append(frameOf(n), 1000 + static_cast<int64_t>(n), dropped), 0);
    }
}

// The frames from firstSequence on, which must carry the numbers given.
void expectFrames(SpoolJournal& journal, const std::vector<uint64_t>& numbers) {
    ASSERT_EQ(journal.endSequence() - journal.firstSequence(), numbers.size());
    uint64_t sequence = journal.firstSequence();
    for (const uint64_t n : numbers) {
        std::string frame;
        int64_t when = 0;
        ASSERT_EQ(journal.readFrame(sequence++, frame, when), 0);
        EXPECT_EQ(frame, frameOf(n));
        EXPECT_EQ(when, 1000 + static_cast<int64_t>(n));
    }
}

std::vector<uint64_t> range(uint64_t from, uint64_t to) {
    std::vector<uint64_t> numbers;
    for (uint64_t n = from; n <= to; ++n) {
        numbers.push_back(n);
    }
    return numbers;
}

std::vector<std::string> segmentFiles(const TempDirectory& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        if (entry.path().extension() == ".seg") {
            names.push_back(entry.path().string());
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

class SpoolJournalTest : public ::testing::Test {
protected:
    void SetUp() override { setKriLogSink(&log); }
    void TearDown() override { setKriLogSink(nullptr); }

    CapturingLogSink log;
    TempDirectory dir{"kri-spool"};
};

TEST_F(SpoolJournalTest, RecordsAndAcknowledgedPositionSurviveAKilledProcess) {
    ASSERT_EQ(isolation::inChild([&] {
                  // Never destroyed: the child ends as if killed.
                  auto* journal = new SpoolJournal;
                  bool good = journal->open(settingsFor(dir)).empty();
                  for (uint64_t n = 1; n <= 30 && good; ++n) {
                      SpoolJournal::Dropped dropped;
                      good =
                          journal->append(frameOf(n), 1000 + static_cast<int64_t>(n), dropped) == 0;
                  }
                  journal->acknowledge(12);
                  journal->persistAcknowledged(false);
                  return good ? "written" : "not written";
              }),
              "written");

    SpoolJournal journal;
    ASSERT_EQ(journal.open(settingsFor(dir)), "");
    EXPECT_EQ(journal.opened().records, 18u);
    expectFrames(journal, range(13, 30));
    // Fully acknowledged segments are gone; numbering goes on after the last record.
    EXPECT_LT(segmentFiles(dir).size(), 6u);
    appendFrames(journal, 31, 31);
    EXPECT_EQ(journal.endSequence(), 32u);
}

// What an interrupted append or a power cut leaves at the end: part of a record, part of a
// header, or zeros where the file grew but its data never reached the disk.
TEST_F(SpoolJournalTest, ATornTailIsCutWithOneWarningAndAppendsGoOn) {
    const std::string torn(SpoolJournal::kHeaderBytes + 100 - 30, 'x');
    const std::string header(10, '\x07');
    const std::string zeros(4096, '\0');
    for (const std::string* tail : {&torn, &header, &zeros}) {
        std::filesystem::remove_all(dir.path());
        log.traces.clear();
        {
            SpoolJournal journal;
            ASSERT_EQ(journal.open(settingsFor(dir, 1 << 20, 1 << 20)), "");
            appendFrames(journal, 1, 5);
        }
        const std::string segment = segmentFiles(dir).back();
        if (tail == &torn) {
            std::filesystem::resize_file(segment, std::filesystem::file_size(segment) - 30);
        } else {
            std::ofstream(segment, std::ios::app | std::ios::binary) << *tail;
        }
        const uint64_t cut = tail == &torn ? torn.size() : tail->size();
        {
            SpoolJournal journal;
            ASSERT_EQ(journal.open(settingsFor(dir, 1 << 20, 1 << 20)), "");
            EXPECT_EQ(log.count(std::to_string(cut) + " bytes of an incomplete record cut"), 1u);
            EXPECT_EQ(journal.opened().damagedSegments, 0u);
            expectFrames(journal, range(1, tail == &torn ? 4 : 5));
            appendFrames(journal, 6, 7);
        }
        SpoolJournal journal;
        ASSERT_EQ(journal.open(settingsFor(dir, 1 << 20, 1 << 20)), "");
        std::vector<uint64_t> kept = range(1, tail == &torn ? 4 : 5);
        kept.push_back(6);
        kept.push_back(7);
        expectFrames(journal, kept);
        EXPECT_EQ(log.count("incomplete record"), 1u);
        EXPECT_EQ(log.count("acknowledged position is unreadable"), 0u);
    }
}

// One damaged byte, in a record's text, its length or its number, in the newest segment (where
// the link keeps nearly all records) and in an older one: every valid record before and after
// it is kept, the lost one is counted and said once, and the repair is not counted again.
TEST_F(SpoolJournalTest, DamageLosesOnlyTheRecordItHits) {
    for (const size_t segmentBytes : {size_t{1 << 20}, size_t{1000}}) {
        for (const size_t inRecord : {size_t{60}, size_t{0}, size_t{9}}) {
            SCOPED_TRACE("segment of " + std::to_string(segmentBytes) + ", byte " +
                         std::to_string(inRecord));
            std::filesystem::remove_all(dir.path());
            log.traces.clear();
            log.events.clear();
            {
                SpoolJournal journal;
                ASSERT_EQ(journal.open(settingsFor(dir, 1 << 20, segmentBytes)), "");
                appendFrames(journal, 1, 24);  // 8 records to a segment of 1000 bytes
            }
            // Record 12: the fourth of the second small segment, or the twelfth of the one.
            const std::vector<std::string> files = segmentFiles(dir);
            const size_t index = segmentBytes == 1000 ? 3 : 11;
            {
                std::fstream file(files[segmentBytes == 1000 ? 1 : 0],
                                  std::ios::in | std::ios::out | std::ios::binary);
                file.seekg(static_cast<std::streamoff>(index * 124 + inRecord));
                const char was = static_cast<char>(file.get());
                file.seekp(static_cast<std::streamoff>(index * 124 + inRecord));
                file.put(static_cast<char>(was ^ 0x20));
            }
            std::vector<uint64_t> kept = range(1, 11);
            for (uint64_t n = 13; n <= 24; ++n) {
                kept.push_back(n);
            }
            SpoolJournal::Contents inspected;
            ASSERT_EQ(SpoolJournal::inspect(platform::linuxSpoolFiles(), dir.path(), inspected),
                      "");
            EXPECT_EQ(inspected.damagedRecords, 1u);
            EXPECT_EQ(inspected.records, 23u);
            EXPECT_EQ(segmentFiles(dir), files);  // inspecting changes nothing
            {
                SpoolJournal journal;
                ASSERT_EQ(journal.open(settingsFor(dir, 1 << 20, segmentBytes)), "");
                EXPECT_EQ(log.count("is damaged at byte " + std::to_string(index * 124)), 1u);
                EXPECT_EQ(log.countEvents(0x8E000D04u), 1u);
                EXPECT_EQ(journal.opened().damagedRecords, 1u);
                expectFrames(journal, kept);
                appendFrames(journal, 25, 25);
            }
            kept.push_back(25);
            SpoolJournal journal;
            ASSERT_EQ(journal.open(settingsFor(dir, 1 << 20, segmentBytes)), "");
            expectFrames(journal, kept);
            EXPECT_EQ(journal.opened().damagedRecords, 0u);
            EXPECT_EQ(journal.opened().repairedBefore, 1u);
            EXPECT_EQ(log.countEvents(0x8E000D04u), 1u);
        }
    }
}

// A segment another user made so that every position looks like the header of a 16 MiB record
// with a plausible number: reading it costs a few checksums, not one per position.
TEST_F(SpoolJournalTest, BytesMadeToLookLikeHeadersDoNotStallTheRead) {
    std::ofstream(dir / "journal-00072340172838076673.seg", std::ios::binary)
        << std::string(17 << 20, '\x01');
    SpoolJournal::Contents inspected;
    ASSERT_EQ(SpoolJournal::inspect(platform::linuxSpoolFiles(), dir.path(), inspected), "");
    EXPECT_EQ(inspected.damagedSegments, 1u);
    EXPECT_EQ(inspected.records, 0u);
}

// The position of a run whose last records were then cut (or lost in a power cut): it is taken
// back to the end, and what later runs append is not hidden behind it, even when the position
// that was taken back never reached the disk.
TEST_F(SpoolJournalTest, APositionBeyondTheEndIsTakenBackAndNewRecordsStayPending) {
    std::string ahead;
    {
        SpoolJournal journal;
        ASSERT_EQ(journal.open(settingsFor(dir, 1 << 20, 1 << 20)), "");
        appendFrames(journal, 1, 10);
        journal.acknowledge(10);
    }
    {
        std::ifstream file(dir / "acknowledged", std::ios::binary);
        ahead.assign(std::istreambuf_iterator<char>(file), {});
    }
    const std::string segment = segmentFiles(dir).back();
    std::filesystem::resize_file(segment, 5 * 124);
    SpoolJournal::Contents inspected;
    ASSERT_EQ(SpoolJournal::inspect(platform::linuxSpoolFiles(), dir.path(), inspected), "");
    EXPECT_EQ(inspected.position, SpoolJournal::Contents::Position::kBeyondEnd);
    {
        SpoolJournal journal;
        ASSERT_EQ(journal.open(settingsFor(dir, 1 << 20, 1 << 20)), "");
        EXPECT_EQ(log.count("acknowledged position (record 10) is beyond the last record (5)"), 1u);
        EXPECT_EQ(journal.opened().records, 0u);
        appendFrames(journal, 11, 13);
    }
    std::ofstream(dir / "acknowledged", std::ios::binary | std::ios::trunc) << ahead;
    SpoolJournal journal;
    ASSERT_EQ(journal.open(settingsFor(dir, 1 << 20, 1 << 20)), "");
    expectFrames(journal, range(11, 13));
}

TEST_F(SpoolJournalTest, AFullSpoolDropsTheOldestAndTheCountsAddUp) {
    SpoolJournal journal;
    ASSERT_EQ(journal.open(settingsFor(dir, 4000)), "");
    uint64_t dropped = 0;
    uint64_t droppedBytes = 0;
    for (uint64_t n = 1; n <= 100; ++n) {
        SpoolJournal::Dropped now;
        ASSERT_EQ(journal.append(frameOf(n), 0, now), 0);
        dropped += now.count;
        droppedBytes += now.bytes;
        if (n == 50) {
            journal.acknowledge(journal.firstSequence() + 2);  // acknowledged ones are not dropped
        }
    }
    const uint64_t held = journal.endSequence() - journal.firstSequence();
    EXPECT_GT(dropped, 0u);
    EXPECT_EQ(held + dropped + 3, 100u);
    EXPECT_EQ(droppedBytes, dropped * 100);
    uint64_t onDisk = 0;
    for (const std::string& segment : segmentFiles(dir)) {
        onDisk += std::filesystem::file_size(segment);
    }
    EXPECT_LE(onDisk, 4000u);
    EXPECT_EQ(onDisk, held * 124);
}

// The directory belongs to this process's user and no one else may write to it; in it, no name
// is followed to another file and nothing but a regular file is used.
TEST_F(SpoolJournalTest, ADirectoryHasOneOwnerAndNoFileIsUsedThroughALink) {
    SpoolJournal first;
    ASSERT_EQ(first.open(settingsFor(dir)), "");
    SpoolJournal second;
    EXPECT_EQ(second.open(settingsFor(dir)),
              "the spool directory " + dir.path() + " is in use by another process");

    SpoolJournal::Settings settings = settingsFor(dir);
    settings.directory = dir / "shared";
    ASSERT_EQ(mkdir(settings.directory.c_str(), 0770), 0);
    ASSERT_EQ(chmod(settings.directory.c_str(), 0770), 0);
    SpoolJournal groupWritable;
    EXPECT_EQ(groupWritable.open(settings), "the spool directory " + settings.directory +
                                                " cannot be used: its group or others may write "
                                                "to it");

    // Planted names: the position file a link to a file of ours, the lock a FIFO.
    settings.directory = dir / "planted";
    const std::string victim = dir / "victim";
    std::ofstream(victim) << "keep";
    ASSERT_EQ(mkdir(settings.directory.c_str(), 0700), 0);
    ASSERT_EQ(symlink(victim.c_str(), (settings.directory + "/acknowledged").c_str()), 0);
    SpoolJournal linked;
    EXPECT_NE(linked.open(settings).find("acknowledged cannot be written: Too many levels of "
                                         "symbolic links"),
              std::string::npos);
    std::filesystem::remove(settings.directory + "/acknowledged");
    std::filesystem::remove(settings.directory + "/lock");
    ASSERT_EQ(mkfifo((settings.directory + "/lock").c_str(), 0600), 0);
    SpoolJournal fifo;
    EXPECT_EQ(fifo.open(settings),
              "the spool directory " + settings.directory + " cannot be locked: Invalid argument");
    std::ifstream file(victim);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), "keep");

    if (geteuid() != 0) {
        GTEST_SKIP() << "giving a directory to another user needs root";
    }
    settings.directory = dir / "theirs";
    ASSERT_EQ(mkdir(settings.directory.c_str(), 0755), 0);
    ASSERT_EQ(chown(settings.directory.c_str(), 65534, 65534), 0);
    SpoolJournal other;
    EXPECT_EQ(other.open(settings), "the spool directory " + settings.directory +
                                        " cannot be used: it belongs to user 65534, not to this "
                                        "process's user 0");
}

}  // namespace
