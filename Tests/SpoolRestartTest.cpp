// The real service with a spool, killed (SIGKILL) and started again: what the server did not
// acknowledge before the kill arrives once and in order after the restart, and what it did
// acknowledge is not sent again.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Tests/Eventually.h"
#include "Tests/FaultSupport.h"
#include "Tests/Isolation.h"
#include "Tests/ScriptedTlsServer.h"
#include "Tests/TempDirectory.h"
#include "Tools/RovazoRiva/Common/SpoolJournal.h"

namespace {

using faults::FaultEnvironment;
using faults::LoggedProcess;
using faults::Milliseconds;

// As many events as the studio's hour, numbered segment changes 5 ms apart (the shipped hour
// takes seconds even at full speed).
constexpr size_t kHourEvents = 62;

// The services get a /dev/shm of their own where they may, as in the fault suite.
const ::testing::Environment* const privateShm =
    ::testing::AddGlobalTestEnvironment(new isolation::PrivateShmEnvironment);

uint64_t spooled(const std::string& directory) {
    SpoolJournal::Contents contents;
    SpoolJournal::inspect(platform::linuxSpoolFiles(), directory, contents);
    return contents.records;
}

// The summaries of the frames the spool holds, in order.
std::vector<std::string> spoolSummaries(const std::string& directory) {
    SpoolJournal journal;
    SpoolJournal::Settings settings;
    settings.directory = directory;
    EXPECT_EQ(journal.open(settings), "");
    std::vector<std::string> summaries;
    for (uint64_t sequence = journal.firstSequence(); sequence < journal.endSequence();
         ++sequence) {
        std::string frame;
        int64_t when = 0;
        EXPECT_EQ(journal.readFrame(sequence, frame, when), 0);
        summaries.push_back(ScriptedTlsServer::summary(frame));
    }
    return summaries;
}

void kill(LoggedProcess& service) {
    service.sendSignal(SIGKILL);
    ASSERT_EQ(service.waitForExit(), std::optional<int>(128 + SIGKILL));
}

class SpoolRestart : public ::testing::Test {
protected:
    void SetUp() override {
        environment.config.delivery = "<Delivery spoolDir=\"" + spool + "\"/>";
        hour = faults::segmentAutomation(
            environment.writeScenario("hour.xml", faults::segmentScenario(kHourEvents)), 5);
    }
    std::unique_ptr<LoggedProcess> start(const std::string& automation, uint16_t port,
                                         const std::string& log) {
        environment.config.automationContent = automation;
        environment.config.port = port;
        environment.writeConfig();
        return environment.startService(log);
    }
    void stop(LoggedProcess& service) {
        service.sendSignal(SIGINT);
        EXPECT_EQ(service.waitForExit(), std::optional<int>(0)) << service.tail();
    }

    FaultEnvironment environment;
    const std::string spool = environment.file("spool").string();
    std::string hour;
};

// Three runs: the hour with the server down, killed; the hour again with the server up, which
// gets the spooled hour first and then the new one, killed once all is acknowledged; a quiet run,
// which sends nothing again.
TEST_F(SpoolRestart, KilledRunsLoseNothingAndSendNothingTwice) {
    ScriptedTlsServer aggr({});
    const uint16_t port = aggr.server->port();
    aggr.server->shutDown();
    std::unique_ptr<LoggedProcess> first = start(hour, port, "first.log");
    ASSERT_TRUE(eventually([&] { return spooled(spool) >= kHourEvents; }, Milliseconds(20000)))
        << first->tail();
    kill(*first);
    const std::vector<std::string> held = spoolSummaries(spool);
    ASSERT_EQ(held.size(), kHourEvents);
    LoggedProcess check(KRI_ATMNSVC_PROGRAM, {"-spool-check", spool},
                        environment.file("check.log"));
    EXPECT_EQ(check.waitForExit(), std::optional<int>(0)) << check.tail();
    EXPECT_EQ(check.count("transactions to send:  62"), 1u) << check.tail();

    aggr.start(TlsTestServer::Options{.port = port});
    std::unique_ptr<LoggedProcess> second = start(hour, port, "second.log");
    ASSERT_TRUE(eventually([&] { return aggr.eventsReceived().size() >= 2 * kHourEvents; },
                           Milliseconds(20000)))
        << second->tail();
    ASSERT_TRUE(eventually([&] { return spooled(spool) == 0; }, Milliseconds(5000)));
    kill(*second);
    std::vector<std::string> twice = held;
    twice.insert(twice.end(), held.begin(), held.end());
    EXPECT_EQ(aggr.eventsReceived(), twice);

    std::unique_ptr<LoggedProcess> third = start(atmntest::kQuietScenario, port, "third.log");
    // The studio is announced a moment after the connection; frames sent again would follow it.
    const size_t connections = aggr.connections().size();
    ASSERT_TRUE(eventually([&] { return aggr.framesOn(connections) >= 1; }, Milliseconds(20000)))
        << third->tail();
    std::this_thread::sleep_for(Milliseconds(500));
    stop(*third);
    EXPECT_EQ(aggr.eventsReceived(), twice);
    for (const std::vector<std::string>& frames : aggr.connections()) {
        if (!frames.empty()) {
            EXPECT_EQ(frames.front(), "AddStudio");
        }
    }
    EXPECT_EQ(spooled(spool), 0u);
}

TEST_F(SpoolRestart, ASpoolDirectoryOpenToOtherUsersStopsTheStart) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "giving a directory to another user needs root";
    }
    std::filesystem::create_directory(spool);
    ASSERT_EQ(chown(spool.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(spool.c_str(), 0770), 0);
    std::unique_ptr<LoggedProcess> service = start(hour, 1, "refused.log");
    const std::optional<int> status = service->waitForExit();
    ASSERT_TRUE(status.has_value());
    EXPECT_NE(*status, 0);
    // The trust check of the configured paths refuses it before the spool is opened.
    EXPECT_EQ(service->count("Refusing the spool directory: " + spool + " belongs to user 65534"),
              1u)
        << service->tail();
}

// The spool directory removed under a running service: it says so at once (within a tick) and
// goes on in memory, instead of writing into a file nobody will read.
TEST_F(SpoolRestart, ARemovedSpoolDirectoryIsNoticedAtOnce) {
    ScriptedTlsServer aggr({});
    const uint16_t port = aggr.server->port();
    aggr.server->shutDown();
    std::unique_ptr<LoggedProcess> service = start(hour, port, "removed.log");
    ASSERT_TRUE(eventually([&] { return spooled(spool) >= 10; }, Milliseconds(20000)))
        << service->tail();
    std::filesystem::remove_all(spool);
    EXPECT_TRUE(eventually(
        [&] {
            return service->count("spool directory " + spool + " was removed or replaced") == 1;
        },
        Milliseconds(3000)))
        << service->tail();
    EXPECT_EQ(service->count("transactions are kept in memory only until the service restarts"),
              1u);
    stop(*service);
}

// "-spool-check": 0 when nothing held is at risk, 1 while something is damaged (until a start
// repairs it), a note only for the copies earlier repairs kept, 2 when the spool cannot be read.
TEST_F(SpoolRestart, SpoolCheckSaysWhetherAnythingIsAtRiskNow) {
    SpoolJournal::Settings settings;
    settings.directory = spool;
    {
        SpoolJournal journal;
        ASSERT_EQ(journal.open(settings), "");
        for (int n = 1; n <= 10; ++n) {
            SpoolJournal::Dropped dropped;
            ASSERT_EQ(journal.append(std::string(100, static_cast<char>('a' + n)), n, dropped), 0);
        }
        journal.acknowledge(3);
    }
    const std::string segment = spool + "/journal-00000000000000000001.seg";
    int runs = 0;
    const auto check = [&](const char* what, int code, const std::string& line) {
        SCOPED_TRACE(what);
        LoggedProcess process(KRI_ATMNSVC_PROGRAM, {"-spool-check", spool},
                              environment.file("check" + std::to_string(++runs) + ".log"));
        EXPECT_EQ(process.waitForExit(), std::optional<int>(code)) << process.tail();
        EXPECT_EQ(process.count(line), 1u) << process.tail();
    };
    check("whole", 0, "transactions to send:  7");
    {
        std::fstream file(segment, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(5 * 124 + 60);  // inside record 6
        file.put('#');
    }
    check("damaged", 1, "damaged:               124 bytes in 1 segments (1 transactions lost");
    {
        SpoolJournal repairing;
        ASSERT_EQ(repairing.open(settings), "");
    }
    check("repaired", 0, "note: 1 copies of segments repaired at earlier starts");
    std::filesystem::resize_file(segment, 2 * 124);
    check("cut below the position", 1, "(beyond the last record");
    std::ofstream(spool + "/acknowledged", std::ios::binary | std::ios::trunc)
        << std::string(12, '\0');
    check("zeroed position", 1, "(unreadable");
    std::filesystem::remove_all(spool);
    check("gone", 2, "cannot be read: No such file or directory");
}

// Another user's spool, with what that user can plant in it: -spool-check reads, follows no link,
// does not wait on a FIFO and reads no more of the position file than it can hold.
TEST_F(SpoolRestart, SpoolCheckOnlyReadsAnotherUsersSpool) {
    if (!isolation::available()) {
        GTEST_SKIP() << "needs root to act as another user";
    }
    TempDirectory place{"kri-foreign-spool"};
    ASSERT_EQ(chmod(place.path().c_str(), 0755), 0);
    const std::string victim = place / "victim";
    std::ofstream(victim) << "root's";
    const std::string theirs = place / "theirs";
    ASSERT_EQ(mkdir(theirs.c_str(), 0755), 0);
    ASSERT_EQ(chown(theirs.c_str(), 65534, 65534), 0);
    const auto plant = [&](bool fifo) {
        return isolation::inChild([&]() -> std::string {
            if (!isolation::becomeNobody()) {
                return "not nobody";
            }
            std::filesystem::remove_all(theirs + "/acknowledged");
            std::filesystem::remove_all(theirs + "/journal-00000000000000000001.seg");
            if (fifo) {
                const bool made =
                    symlink(victim.c_str(), (theirs + "/acknowledged").c_str()) == 0 &&
                    mkfifo((theirs + "/journal-00000000000000000001.seg").c_str(), 0666) == 0;
                return made ? "planted" : "cannot plant";
            }
            std::ofstream(theirs + "/journal-00000000000000000001.seg");
            std::ofstream(theirs + "/acknowledged");
            std::filesystem::resize_file(theirs + "/acknowledged", 1ull << 40);
            return "planted";
        });
    };
    ASSERT_EQ(plant(true), "planted");
    LoggedProcess fifo(KRI_ATMNSVC_PROGRAM, {"-spool-check", theirs}, environment.file("fifo.log"));
    EXPECT_EQ(fifo.waitForExit(), std::optional<int>(2)) << fifo.tail();
    EXPECT_EQ(fifo.count("journal-00000000000000000001.seg cannot be opened: Invalid argument"), 1u)
        << fifo.tail();

    ASSERT_EQ(plant(false), "planted");
    LoggedProcess sparse(KRI_ATMNSVC_PROGRAM, {"-spool-check", theirs},
                         environment.file("sparse.log"));
    EXPECT_EQ(sparse.waitForExit(), std::optional<int>(1)) << sparse.tail();
    EXPECT_EQ(sparse.count("(unreadable"), 1u) << sparse.tail();
    std::ifstream file(victim);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), "root's");
}

}  // namespace
