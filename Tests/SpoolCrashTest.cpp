// A crash-consistency sweep of the spool journal: one short scenario is run through a file
// interface that fails, or stops the process at, its Nth write or sync, for every N; the
// directory is then opened again as the failure, the crash or a power cut left it.
//
// The power cut keeps of each file what its last sync saw, and only the files that existed at
// the last sync of the directory (a removal that was not yet synced is not undone).
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "LibraryInterfaces/KriErr.h"
#include "Tests/CapturingLogSink.h"
#include "Tests/TempDirectory.h"
#include "Tools/RovazoRiva/Common/SpoolJournal.h"

namespace {

enum class Fault {
    kNone,
    kFail,      // the operation fails with EIO, the process goes on
    kCrash,     // the process stops there: a write gets half its bytes out, nothing more happens
    kPowerCut,  // as kCrash, and what was not synced is lost
};

class CrashingFiles : public platform::SpoolFilesWrapper {
public:
    CrashingFiles(Fault fault, int at)
        : SpoolFilesWrapper(platform::linuxSpoolFiles()), fault(fault), at(at) {}

    class File : public platform::SpoolFileWrapper {
    public:
        File(std::unique_ptr<platform::SpoolFile> real, CrashingFiles& owner, std::string path)
            : SpoolFileWrapper(std::move(real)), owner(owner), path(std::move(path)) {}
        int append(const void* data, size_t length) override {
            const Step step = owner.step();
            if (step == Step::kCut) {
                target().append(data, length / 2);
            }
            return step == Step::kGo ? target().append(data, length) : EIO;
        }
        int writeAt(uint64_t offset, const void* data, size_t length) override {
            const Step step = owner.step();
            if (step == Step::kCut) {
                target().writeAt(offset, data, length / 2);
            }
            return step == Step::kGo ? target().writeAt(offset, data, length) : EIO;
        }
        int truncate(uint64_t length) override {
            return owner.step() == Step::kGo ? target().truncate(length) : EIO;
        }
        int sync() override {
            if (owner.step() != Step::kGo) {
                return EIO;
            }
            std::string content(target().size(), '\0');
            target().readAt(0, content.data(), content.size());
            owner.synced[path] = content;
            return 0;
        }

    private:
        CrashingFiles& owner;
        const std::string path;
    };

    int open(const std::string& path, Opening opening,
             std::unique_ptr<platform::SpoolFile>& file) override {
        std::unique_ptr<platform::SpoolFile> real;
        const int error = target().open(path, opening, real);
        if (error == 0) {
            file = std::make_unique<File>(std::move(real), *this, path);
        }
        return error;
    }
    int rename(const std::string& from, const std::string& to) override {
        return step() == Step::kGo ? target().rename(from, to) : EIO;
    }
    int remove(const std::string& path) override {
        return step() == Step::kGo ? target().remove(path) : EIO;
    }
    int syncDirectory(const std::string& d) override {
        if (step() != Step::kGo) {
            return EIO;
        }
        durableNames.clear();
        for (const auto& entry : std::filesystem::directory_iterator(d)) {
            durableNames.insert(entry.path().string());
        }
        return 0;
    }

    // The directory as the disk holds it after a power cut now.
    void cutPower(const std::string& directory) {
        for (const auto& entry : std::filesystem::directory_iterator(directory)) {
            const std::string path = entry.path().string();
            if (entry.path().filename() == "lock") {
                continue;
            }
            if (durableNames.count(path) == 0) {
                std::filesystem::remove(path);
            } else {
                std::ofstream(path, std::ios::binary | std::ios::trunc) << synced[path];
            }
        }
    }

    int operations = 0;

private:
    enum class Step { kGo, kFail, kCut };
    // Counts one write or sync and says what becomes of it.
    Step step() {
        if (stopped) {
            return Step::kFail;
        }
        if (++operations != at) {
            return Step::kGo;
        }
        stopped = fault != Fault::kFail;
        return fault == Fault::kFail ? Step::kFail : Step::kCut;
    }

    const Fault fault;
    const int at;
    bool stopped = false;
    std::map<std::string, std::string> synced;
    std::set<std::string> durableNames;
};

std::string frameOf(int number) {
    std::string frame = "frame " + std::to_string(number) + " ";
    frame.resize(100, '.');
    return frame;
}

SpoolJournal::Settings settingsFor(const TempDirectory& dir) {
    SpoolJournal::Settings settings;
    settings.directory = dir.path();
    settings.limitBytes = 1 << 20;
    settings.segmentBytes = 500;  // four records to a segment
    return settings;
}

// What the scenario was told: the frames whose records are on the disk, and the last frame it
// acknowledged.
struct Told {
    std::vector<int> durable;
    int acknowledged = 0;
};

// Twelve frames; every other one is acknowledged before it is synced (a frame can be sent and
// acknowledged within the batch wait); every third acknowledges, every sixth syncs that.
Told runScenario(const TempDirectory& dir, platform::SpoolFiles& files) {
    Told told;
    SpoolJournal journal(files);
    if (!journal.open(settingsFor(dir)).empty()) {
        return told;
    }
    for (int n = 1; n <= 12; ++n) {
        SpoolJournal::Dropped dropped;
        const uint64_t sequence = journal.endSequence();
        if (journal.append(frameOf(n), n, dropped) != 0) {
            break;
        }
        if (n % 2 == 1) {
            journal.waitDurable(sequence);
            if (journal.failure().empty()) {
                told.durable.push_back(n);
            }
        }
        if (n % 3 == 0) {
            journal.acknowledge(sequence);
            told.acknowledged = n;
            journal.persistAcknowledged(n % 6 == 0);
        }
    }
    return told;
}

// The numbers of the frames a directory holds for sending.
std::vector<int> pendingFrames(const TempDirectory& dir, SpoolJournal& journal) {
    EXPECT_EQ(journal.open(settingsFor(dir)), "");
    std::vector<int> numbers;
    for (uint64_t s = journal.firstSequence(); s < journal.endSequence(); ++s) {
        std::string frame;
        int64_t when = 0;
        EXPECT_EQ(journal.readFrame(s, frame, when), 0);
        numbers.push_back(std::stoi(frame.substr(6)));
    }
    return numbers;
}

TEST(SpoolCrashSweep, NoSyncedRecordIsLostAndNothingUnacknowledgedCountsAsDone) {
    CapturingLogSink log;
    setKriLogSink(&log);
    int operations = 0;
    {
        TempDirectory dir{"kri-spool-sweep"};
        CrashingFiles counting(Fault::kNone, 0);
        runScenario(dir, counting);
        operations = counting.operations;
    }
    ASSERT_GT(operations, 30);
    for (const Fault fault : {Fault::kFail, Fault::kCrash, Fault::kPowerCut}) {
        for (int at = 1; at <= operations; ++at) {
            SCOPED_TRACE("fault " + std::to_string(static_cast<int>(fault)) + " at operation " +
                         std::to_string(at));
            TempDirectory dir{"kri-spool-sweep"};
            CrashingFiles files(fault, at);
            const Told told = runScenario(dir, files);
            if (fault == Fault::kPowerCut) {
                files.cutPower(dir.path());
            }
            std::vector<int> pending;
            {
                SpoolJournal journal;
                pending = pendingFrames(dir, journal);
                SpoolJournal::Dropped dropped;
                ASSERT_EQ(journal.append(frameOf(99), 99, dropped), 0);
            }
            for (size_t i = 1; i < pending.size(); ++i) {
                ASSERT_LT(pending[i - 1], pending[i]);
            }
            for (const int n : told.durable) {
                if (n > told.acknowledged) {
                    EXPECT_NE(std::find(pending.begin(), pending.end(), n), pending.end())
                        << "frame " << n << " was synced and not acknowledged";
                }
            }
            // What is appended after the open is never hidden behind the stored position.
            SpoolJournal again;
            const std::vector<int> after = pendingFrames(dir, again);
            ASSERT_FALSE(after.empty());
            EXPECT_EQ(after.back(), 99);
            EXPECT_EQ(after.size(), pending.size() + 1);
        }
    }
    setKriLogSink(nullptr);
}

}  // namespace
