// The spool journal on a real directory: what survives a killed process, how a torn tail and a
// damaged segment are repaired, the bound, and who may use a directory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "LibraryInterfaces/KriErr.h"
#include "Tests/CapturingLogSink.h"
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
    const pid_t child = fork();
    if (child == 0) {
        SpoolJournal journal;
        bool good = journal.open(settingsFor(dir)).empty();
        for (uint64_t n = 1; n <= 30 && good; ++n) {
            SpoolJournal::Dropped dropped;
            good = journal.append(frameOf(n), 1000 + static_cast<int64_t>(n), dropped) == 0;
        }
        journal.acknowledge(12);
        journal.persistAcknowledged(false);
        _exit(good ? 0 : 1);  // no destructor: as if killed
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_EQ(WEXITSTATUS(status), 0);

    SpoolJournal journal;
    ASSERT_EQ(journal.open(settingsFor(dir)), "");
    EXPECT_EQ(journal.opened().records, 18u);
    expectFrames(journal, range(13, 30));
    // Fully acknowledged segments are gone; numbering goes on after the last record.
    EXPECT_LT(segmentFiles(dir).size(), 6u);
    appendFrames(journal, 31, 31);
    EXPECT_EQ(journal.endSequence(), 32u);
}

TEST_F(SpoolJournalTest, ATornTailIsCutWithOneWarningAndAppendsGoOn) {
    {
        SpoolJournal journal;
        ASSERT_EQ(journal.open(settingsFor(dir, 1 << 20, 1 << 20)), "");
        appendFrames(journal, 1, 5);
    }
    const std::string segment = segmentFiles(dir).back();
    std::filesystem::resize_file(segment, std::filesystem::file_size(segment) - 30);
    {
        SpoolJournal journal;
        ASSERT_EQ(journal.open(settingsFor(dir, 1 << 20, 1 << 20)), "");
        EXPECT_EQ(log.count("bytes of an incomplete record cut"), 1u);
        EXPECT_EQ(log.count(std::to_string(SpoolJournal::kHeaderBytes + 100 - 30) + " bytes"), 1u);
        expectFrames(journal, range(1, 4));
        appendFrames(journal, 5, 6);
    }
    SpoolJournal journal;
    ASSERT_EQ(journal.open(settingsFor(dir, 1 << 20, 1 << 20)), "");
    expectFrames(journal, range(1, 6));
    EXPECT_EQ(log.count("incomplete record"), 1u);
    EXPECT_EQ(log.count("acknowledged position is unreadable"), 0u);
}

TEST_F(SpoolJournalTest, ADamagedOlderSegmentIsSetAsideAndTheRestIsKept) {
    {
        SpoolJournal journal;
        ASSERT_EQ(journal.open(settingsFor(dir)), "");
        appendFrames(journal, 1, 24);  // eight records to a segment of 1000 bytes
    }
    const std::vector<std::string> before = segmentFiles(dir);
    ASSERT_EQ(before.size(), 3u);
    {
        std::fstream file(before[1], std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(3 * 124 + 60);
        file.put('#');
    }
    SpoolJournal::Contents inspected;
    ASSERT_EQ(SpoolJournal::inspect(platform::linuxSpoolFiles(), dir.path(), inspected), "");
    EXPECT_EQ(inspected.lostRecords, 8u);
    EXPECT_EQ(inspected.records, 16u);
    EXPECT_TRUE(std::filesystem::exists(before[1]));  // inspecting changes nothing

    SpoolJournal journal;
    ASSERT_EQ(journal.open(settingsFor(dir)), "");
    EXPECT_EQ(log.count("is damaged at byte 372"), 1u);
    EXPECT_TRUE(std::filesystem::exists(before[1] + ".corrupt"));
    std::vector<uint64_t> kept = range(1, 8);
    for (uint64_t n = 17; n <= 24; ++n) {
        kept.push_back(n);
    }
    expectFrames(journal, kept);
    EXPECT_EQ(journal.opened().corruptParts, 1u);
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

TEST_F(SpoolJournalTest, ADirectoryHasOneOwnerAndMustNotBeOpenToOthers) {
    SpoolJournal first;
    ASSERT_EQ(first.open(settingsFor(dir)), "");
    SpoolJournal second;
    EXPECT_EQ(second.open(settingsFor(dir)),
              "the spool directory " + dir.path() + " is in use by another process");

    const std::string shared = dir / "shared";
    ASSERT_EQ(mkdir(shared.c_str(), 0770), 0);
    if (geteuid() != 0) {
        GTEST_SKIP() << "giving a directory to another user needs root";
    }
    ASSERT_EQ(chown(shared.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(shared.c_str(), 0770), 0);
    SpoolJournal::Settings settings = settingsFor(dir);
    settings.directory = shared;
    SpoolJournal other;
    EXPECT_EQ(other.open(settings),
              "the spool directory " + shared +
                  " cannot be used: it is owned by another user and its group or others may "
                  "write to it");
}

}  // namespace
