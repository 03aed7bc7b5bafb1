#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "Platform/NamedEvent.h"

using platform::NamedEvent;
using WaitResult = NamedEvent::WaitResult;

extern char** environ;

namespace {

// A name of this test process's own, so that parallel runs do not meet.
std::string testName(const char* what) {
    return std::string("KriTest") + what + "." + std::to_string(getpid());
}

// Runs KriPostEvent with name and returns its exit status.
int postFromAnotherProcess(const std::string& name) {
    std::string program = KRI_POST_EVENT_PROGRAM;
    char* argv[] = {program.data(), const_cast<char*>(name.c_str()), nullptr};
    pid_t child = 0;
    if (posix_spawn(&child, program.c_str(), nullptr, nullptr, argv, environ) != 0) {
        return -1;
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(NamedEvent, EachSetReleasesOneWait) {
    const auto event = NamedEvent::create(testName("Set"));
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(event->wait(20), WaitResult::kTimedOut);
    ASSERT_TRUE(event->set());
    ASSERT_TRUE(event->set());
    EXPECT_EQ(event->wait(0), WaitResult::kSignalled);
    EXPECT_EQ(event->wait(20), WaitResult::kTimedOut);
}

TEST(NamedEvent, IsASemaphoreOnlyItsUserMayUse) {
    const std::string name = testName("Mode");
    const auto event = NamedEvent::create(name);
    ASSERT_NE(event, nullptr);
    struct stat info {};
    ASSERT_EQ(stat(("/dev/shm/sem." + name).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST(NamedEvent, AnotherProcessThatSetsItEndsTheWait) {
    const std::string name = testName("Stop");
    const auto event = NamedEvent::create(name);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(postFromAnotherProcess(name), 0);
    EXPECT_EQ(event->wait(10000), WaitResult::kSignalled);
    EXPECT_EQ(event->wait(0), WaitResult::kTimedOut);
}

TEST(NamedEvent, AThreadThatSetsItEndsAnUnlimitedWait) {
    const std::string name = testName("Thread");
    const auto event = NamedEvent::create(name);
    ASSERT_NE(event, nullptr);
    std::thread setter([&name] {
        const auto other = NamedEvent::open(name);
        ASSERT_NE(other, nullptr);
        other->set();
    });
    EXPECT_EQ(event->wait(platform::kInfinite), WaitResult::kSignalled);
    setter.join();
}

TEST(NamedEvent, ASignalLeftFromAnEarlierRunIsDiscarded) {
    const std::string name = testName("Stale");
    const auto earlier = NamedEvent::create(name);
    ASSERT_NE(earlier, nullptr);
    earlier->set();
    const auto later = NamedEvent::create(name);
    ASSERT_NE(later, nullptr);
    EXPECT_EQ(later->wait(0), WaitResult::kTimedOut);
}

TEST(NamedEvent, OpeningNeedsALivingCreatorAndAnAllowedName) {
    const std::string name = testName("Gone");
    EXPECT_EQ(NamedEvent::open(name), nullptr);
    EXPECT_EQ(postFromAnotherProcess(name), 1);
    NamedEvent::create(name).reset();
    EXPECT_EQ(NamedEvent::open(name), nullptr);

    EXPECT_EQ(NamedEvent::create(""), nullptr);
    EXPECT_EQ(NamedEvent::create("a/b"), nullptr);
    EXPECT_EQ(NamedEvent::create(std::string(251, 'n')), nullptr);
}

}  // namespace
