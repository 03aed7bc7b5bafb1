#include <fcntl.h>
#include <gtest/gtest.h>
#include <semaphore.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "Platform/NamedEvent.h"
#include "Tests/ChildProcess.h"
#include "Tests/Isolation.h"

using platform::NamedEvent;
using WaitResult = NamedEvent::WaitResult;

namespace {

// A name of this test process's own, so that parallel runs do not meet.
std::string testName(const char* what) {
    return std::string("KriTest") + what + "." + std::to_string(getpid());
}

// Runs KriPostEvent with the arguments and returns its exit status.
int postFromAnotherProcess(const std::vector<std::string>& arguments) {
    ChildProcess post(KRI_POST_EVENT_PROGRAM, arguments);
    return post.waitForExit().value_or(-1);
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
    ASSERT_EQ(stat(isolation::consoleEventFile(name).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST(NamedEvent, AnotherProcessThatSetsItEndsTheWait) {
    const std::string name = testName("Stop");
    const auto event = NamedEvent::create(name);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(postFromAnotherProcess({name}), 0);
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

TEST(NamedEvent, HasOneOwnerAndASecondCreateIsRefused) {
    const std::string name = testName("Twice");
    const auto first = NamedEvent::create(name);
    ASSERT_NE(first, nullptr);
    std::string refusal;
    EXPECT_EQ(NamedEvent::create(name, &refusal), nullptr);
    EXPECT_NE(refusal.find("another instance runs"), std::string::npos) << refusal;
    ASSERT_NE(NamedEvent::open(name), nullptr);
}

TEST(NamedEvent, AFileLeftByAnOwnerThatDiedIsReplacedWithoutItsSignal) {
    const std::string name = testName("Stale");
    // The owner dies without removing the name, with the event set.
    EXPECT_EQ(isolation::inChild([&] {
                  NamedEvent* event = NamedEvent::create(name).release();
                  return event != nullptr && event->set() ? "set" : "failed";
              }),
              "set");
    ASSERT_NE(NamedEvent::open(name), nullptr);
    const auto later = NamedEvent::create(name);
    ASSERT_NE(later, nullptr);
    EXPECT_EQ(later->wait(0), WaitResult::kTimedOut);
}

TEST(NamedEvent, AnOwnerThatEndsThroughExitRemovesTheName) {
    const std::string name = testName("Exit");
    ASSERT_EQ(postFromAnotherProcess({"-create", name}), 0);
    struct stat info {};
    EXPECT_NE(stat(isolation::consoleEventFile(name).c_str(), &info), 0);
}

TEST(NamedEvent, OpeningNeedsALivingCreatorAndAnAllowedName) {
    const std::string name = testName("Gone");
    EXPECT_EQ(NamedEvent::open(name), nullptr);
    EXPECT_EQ(postFromAnotherProcess({name}), 1);
    NamedEvent::create(name).reset();
    EXPECT_EQ(NamedEvent::open(name), nullptr);

    EXPECT_EQ(NamedEvent::create(""), nullptr);
    EXPECT_EQ(NamedEvent::create("a/b"), nullptr);
    EXPECT_EQ(NamedEvent::create(std::string(251, 'n')), nullptr);
}

// "AtmnStop" as the service makes it, in a /dev/shm of its own, against files another user
// planted there before the service started and against that user's attempts once it runs.
class PlantedStopEvent : public ::testing::Test {
protected:
    void SetUp() override {
        if (!isolation::available()) {
            GTEST_SKIP() << "needs root and mount namespaces";
        }
    }

    // What create says after plant ran as "nobody" in a fresh /dev/shm: "created" or the
    // refusal.
    static std::string createAfter(const std::function<bool()>& plant) {
        return isolation::inChild([&]() -> std::string {
            if (!isolation::enterPrivateShm()) {
                return "no private /dev/shm";
            }
            if (isolation::inChild([&] {
                    return isolation::becomeNobody() && plant() ? "planted" : "not planted";
                }) != "planted") {
                return "the plant failed";
            }
            std::string refusal;
            return NamedEvent::create("AtmnStop", &refusal) ? "created" : refusal;
        });
    }
};

TEST_F(PlantedStopEvent, AnotherUsersFilesInSharedMemoryDoNotKeepTheServiceFromStarting) {
    const std::string result = createAfter([] {
        sem_t* planted = sem_open("/AtmnStop", O_CREAT, 0666, 0);
        return planted != SEM_FAILED && symlink("/etc/passwd", "/dev/shm/AtmnStop") == 0;
    });
    EXPECT_EQ(result, "created");
}

TEST_F(PlantedStopEvent, AnotherUsersDirectoryIsRefusedOutsideTheUnitAndNeverUsedUnderIt) {
    const std::string directory = "/dev/shm/kriatmnsvc-" + std::to_string(geteuid());
    const std::string squatted = createAfter([&] { return mkdir(directory.c_str(), 0777) == 0; });
    EXPECT_NE(squatted.find(directory + " belongs to user"), std::string::npos) << squatted;
    const std::string linked = createAfter([&] { return symlink("/tmp", directory.c_str()) == 0; });
    EXPECT_NE(linked.find(directory + " is not a directory"), std::string::npos) << linked;

    // Under the unit the event is in the runtime directory, which only the service may change.
    ASSERT_EQ(0, setenv("RUNTIME_DIRECTORY", "/dev/shm/runtime", 1));
    const std::string underUnit = createAfter([&] { return mkdir(directory.c_str(), 0777) == 0; });
    unsetenv("RUNTIME_DIRECTORY");
    EXPECT_EQ(underUnit, "created");
}

TEST_F(PlantedStopEvent, OwnFilesOfTheWrongModeOrSizeAreRefused) {
    struct Case {
        mode_t mode;
        off_t size;
        const char* reason;
    };
    for (const Case& c : {Case{0666, 40, "has mode 0666, not 0600"}, Case{0600, 0, "has 0 bytes"},
                          Case{0600, 4, "has 4 bytes"}}) {
        const std::string refusal = isolation::inChild([&]() -> std::string {
            const std::string path = isolation::consoleEventFile("AtmnStop");
            if (!isolation::enterPrivateShm() ||
                mkdir(path.substr(0, path.rfind('/')).c_str(), 0700) != 0) {
                return "no private /dev/shm";
            }
            const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY, 0600);
            if (fd < 0 || fchmod(fd, c.mode) != 0 || ftruncate(fd, c.size) != 0) {
                return "not planted";
            }
            close(fd);
            std::string why;
            return NamedEvent::create("AtmnStop", &why) ? "created" : why;
        });
        EXPECT_NE(refusal.find(c.reason), std::string::npos) << refusal;
    }
}

TEST_F(PlantedStopEvent, AnotherUserCannotOpenOrReplaceTheServicesEvent) {
    const std::string result = isolation::inChild([]() -> std::string {
        if (!isolation::enterPrivateShm()) {
            return "no private /dev/shm";
        }
        const auto event = NamedEvent::create("AtmnStop");
        if (!event) {
            return "not created";
        }
        const std::string attack = isolation::inChild([]() -> std::string {
            if (!isolation::becomeNobody()) {
                return "not nobody";
            }
            if (NamedEvent::open("AtmnStop") != nullptr) {
                return "opened";
            }
            if (unlink(isolation::consoleEventFile("AtmnStop").c_str()) == 0) {
                return "removed";
            }
            return "kept out";
        });
        return attack + (event->wait(0) == WaitResult::kTimedOut ? ", not set" : ", set");
    });
    EXPECT_EQ(result, "kept out, not set");
}

}  // namespace
