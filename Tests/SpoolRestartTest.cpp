// The real service with a spool, killed (SIGKILL) and started again: what the server did not
// acknowledge before the kill arrives once and in order after the restart, and what it did
// acknowledge is not sent again.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Tests/Eventually.h"
#include "Tests/FaultSupport.h"
#include "Tests/Isolation.h"
#include "Tests/ScriptedTlsServer.h"
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
    EXPECT_EQ(service->count("Unable to use the spool: the spool directory " + spool +
                             " cannot be used: it belongs to user 65534"),
              1u)
        << service->tail();
}

}  // namespace
