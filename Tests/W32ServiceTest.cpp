// The service host, driven through a small test service run as a real process: the command
// line, the state sequence on a notify socket that the test owns, console mode, install and
// remove against a temporary unit directory and a scripted systemctl, and the event log.
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Platform/LastError.h"
#include "Platform/ServiceControlManager.h"
#include "Platform/SystemLog.h"
#include "Tests/ChildProcess.h"
#include "Tests/NotifySocket.h"
#include "W32Service.h"

namespace {

namespace fs = std::filesystem;

constexpr int kTimeoutMs = 10000;
const std::string kHelper = KRI_SERVICE_HELPER;

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const fs::path& path, const std::string& text) {
    std::ofstream(path) << text;
}

std::string usage() {
    return kHelper + " -install          to install the service\n" + kHelper +
           " -remove           to remove the service\n" + kHelper +
           " -debug <params>   to run as a console app for debugging\n" +
           "\nStartServiceCtrlDispatcher being called.\n" +
           "This may take several seconds.  Please wait.\n";
}

class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "w32svc.XXXXXX").string();
        path = mkdtemp(pattern.data());
    }
    ~TempDir() { fs::remove_all(path); }

    fs::path path;
};

// The helper service as a child process with a pipe on its standard input. It inherits neither
// the test's notify socket nor its KRI_ settings.
class ServiceProcess {
public:
    ServiceProcess(const std::vector<std::string>& arguments,
                   const std::vector<std::string>& environment)
        : child(kHelper, arguments, options(environment)) {}

    // Waits until the output holds text; false after the time-out or once the process has ended
    // without it.
    bool waitForOutput(const std::string& text, int timeoutMs = kTimeoutMs) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (child.output().find(text) == std::string::npos) {
            if (!child.running() || std::chrono::steady_clock::now() >= deadline) {
                return child.output().find(text) != std::string::npos;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }

    // Waits for the process and the end of its output: its exit status, or 128 plus the signal
    // that ended it; -1 when it has not ended in time (it is then killed).
    int waitExit(int timeoutMs = kTimeoutMs) {
        return child.waitForExit(std::chrono::milliseconds(timeoutMs)).value_or(-1);
    }

    void writeLine(const std::string& line) { EXPECT_TRUE(child.writeInput(line + "\n")); }

    void signal(int number) { child.sendSignal(number); }

    std::string text() { return child.output(); }

private:
    static ChildProcess::Options options(const std::vector<std::string>& environment) {
        ChildProcess::Options options;
        options.environment = environment;
        options.inputPipe = true;
        options.withoutInherited = {"NOTIFY_SOCKET=", "KRI_"};
        return options;
    }

    ChildProcess child;
};

const char* const kStartPending =
    "STATUS=START_PENDING checkpoint=1 waithint=3000 controls=none exitcode=0\n"
    "EXTEND_TIMEOUT_USEC=3000000";
const char* const kRunning =
    "READY=1\nSTATUS=RUNNING checkpoint=0 waithint=0 controls=STOP exitcode=0";
const char* const kStopPending =
    "STOPPING=1\nSTATUS=STOP_PENDING checkpoint=2 waithint=0 controls=STOP exitcode=0";
const char* const kStopped = "STATUS=STOPPED checkpoint=0 waithint=0 controls=STOP exitcode=0";

// systemctl stand-in: logs its arguments to "calls"; is-active answers with the first line of
// "states", which it then drops unless it is the last. With a file "fail-reload" daemon-reload
// fails.
const char* const kFakeSystemctl = R"(#!/bin/sh
dir=$(dirname "$0")
echo "$*" >> "$dir/calls"
if [ "$1" = daemon-reload ] && [ -e "$dir/fail-reload" ]; then exit 1; fi
if [ "$1" = is-active ]; then
    state=$(head -n 1 "$dir/states")
    rest=$(tail -n +2 "$dir/states")
    if [ -n "$rest" ]; then printf '%s\n' "$rest" > "$dir/states"; fi
    echo "$state"
    [ "$state" = active ]
    exit
fi
exit 0
)";

class ServiceHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directory(unitDirectory());
        writeFile(systemctl(), kFakeSystemctl);
        fs::permissions(systemctl(), fs::perms::owner_all);
        writeFile(temp.path / "states", "inactive\n");
    }

    fs::path unitDirectory() const { return temp.path / "units"; }
    fs::path unitFile() const { return unitDirectory() / "KriAtmnTest.service"; }
    fs::path systemctl() const { return temp.path / "systemctl"; }
    fs::path eventFile() const { return temp.path / "events"; }
    std::string calls() const { return readFile(temp.path / "calls"); }

    std::vector<std::string> environment() const {
        return {"KRI_SYSTEMD_UNIT_DIR=" + unitDirectory().string(),
                "KRI_SYSTEMCTL=" + systemctl().string(),
                "KRI_TEST_EVENT_FILE=" + eventFile().string()};
    }

    // Runs the helper to its end; returns what it printed and expects the exit code.
    std::string runToEnd(const std::vector<std::string>& arguments, int exitCode = 0) {
        ServiceProcess p(arguments, environment());
        EXPECT_EQ(p.waitExit(), exitCode);
        return p.text();
    }

    TempDir temp;
};

TEST_F(ServiceHostTest, SwitchWordsMatchUnderEitherPrefixInAnyCase) {
    EXPECT_EQ(runToEnd({"-INSTALL"}), "Kri Test Service installed.\n");
    EXPECT_EQ(runToEnd({"/Remove"}), "Kri Test Service removed.\n");
    EXPECT_EQ(runToEnd({"/install"}), "Kri Test Service installed.\n");
    EXPECT_EQ(runToEnd({"-rEmOvE"}), "Kri Test Service removed.\n");
    // A failing init in console mode ends the program without a word from the host, but with
    // a failing exit code.
    EXPECT_EQ(runToEnd({"/DEBUG", "-initfail"}, 1),
              "Debugging Kri Test Service.\ninit: " + kHelper + " /DEBUG -initfail\n");
    EXPECT_FALSE(fs::exists(eventFile()));
}

TEST_F(ServiceHostTest, OtherArgumentsPrintUsageAndTheDispatcherFailsWithoutServiceManager) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {"-config", "/etc/kri.xml"}, {"-installx"}, {"install"}}) {
        fs::remove(eventFile());
        EXPECT_EQ(runToEnd(args, 1), usage());
        EXPECT_EQ(readFile(eventFile()),
                  "3 KriAtmnTest StartServiceCtrlDispatcher() failed with error code 1063\n");
    }
    EXPECT_FALSE(fs::exists(unitFile()));
}

TEST_F(ServiceHostTest, ReportsTheStateSequenceAndStopsOnSigtermOrSigint) {
    for (const int stopSignal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(stopSignal);
        NotifySocket notify(temp.path / ("notify" + std::to_string(stopSignal)));
        std::vector<std::string> env = environment();
        env.push_back(notify.environment());
        ServiceProcess p({"-config", "/etc/kri.xml"}, env);

        EXPECT_EQ(notify.receive(), kStartPending);
        EXPECT_EQ(notify.receive(), kRunning);
        p.signal(stopSignal);
        EXPECT_EQ(notify.receive(), kStopPending);
        EXPECT_EQ(notify.receive(), kStopped);
        EXPECT_EQ(p.waitExit(), 0);

        // Under a service manager no usage is printed. The start parameters are the service
        // name followed by the process's own arguments.
        EXPECT_EQ(p.text().find("init: KriAtmnTest -config /etc/kri.xml\ninit returned\n"), 0u)
            << p.text();
        EXPECT_NE(p.text().find("stop\n"), std::string::npos);
        EXPECT_NE(p.text().find("run returned\n"), std::string::npos);
        // An ordinary stop leaves no event-log record.
        EXPECT_FALSE(fs::exists(eventFile()));
    }
}

TEST_F(ServiceHostTest, FailingInitStopsTwiceWithItsCodeAndExitsWithFailure) {
    NotifySocket notify(temp.path / "notify");
    std::vector<std::string> env = environment();
    env.push_back(notify.environment());
    ServiceProcess p({"-initfail"}, env);

    const std::string failed =
        "STATUS=STOPPED checkpoint=0 waithint=0 controls=STOP exitcode=4294967295";
    EXPECT_EQ(notify.receive(), kStartPending);
    EXPECT_EQ(notify.receive(), failed);
    EXPECT_EQ(notify.receive(), failed);
    EXPECT_EQ(p.waitExit(), 1);
    EXPECT_EQ(p.text().find("\nrun\n"), std::string::npos);
}

TEST_F(ServiceHostTest, SigtermDuringStartPendingIsHeldUntilStopIsAccepted) {
    NotifySocket notify(temp.path / "notify");
    std::vector<std::string> env = environment();
    env.push_back(notify.environment());
    ServiceProcess p({"-initwait"}, env);

    EXPECT_EQ(notify.receive(), kStartPending);
    ASSERT_TRUE(p.waitForOutput("init: KriAtmnTest -initwait\n"));
    p.signal(SIGTERM);
    // While init runs nothing is reported and the process lives on.
    EXPECT_EQ(notify.receive(std::chrono::milliseconds(300)), "");
    EXPECT_EQ(p.text().find("stop"), std::string::npos);

    p.writeLine("go");
    EXPECT_EQ(notify.receive(), kRunning);
    EXPECT_EQ(notify.receive(), kStopPending);
    EXPECT_EQ(notify.receive(), kStopped);
    EXPECT_EQ(p.waitExit(), 0);
    const size_t initReturned = p.text().find("init returned\n");
    const size_t stopped = p.text().find("stop\n");
    ASSERT_NE(initReturned, std::string::npos);
    ASSERT_NE(stopped, std::string::npos);
    EXPECT_LT(initReturned, stopped);
}

class DebugModeTest : public ServiceHostTest, public ::testing::WithParamInterface<int> {};

TEST_P(DebugModeTest, CtrlCAndCtrlBreakPrintStoppingAndCallStop) {
    ServiceProcess p({"-debug", "-config", "x.xml"}, environment());
    ASSERT_TRUE(p.waitForOutput("run\n"));
    p.signal(GetParam());
    EXPECT_EQ(p.waitExit(), 0);
    EXPECT_EQ(p.text(), "Debugging Kri Test Service.\ninit: " + kHelper +
                            " -debug -config x.xml\ninit returned\nrun\n"
                            "Stopping Kri Test Service.\nstop\nrun returned\n");
    EXPECT_FALSE(fs::exists(eventFile()));
}

INSTANTIATE_TEST_SUITE_P(CtrlCAndCtrlBreak, DebugModeTest, ::testing::Values(SIGINT, SIGTERM));

TEST_F(ServiceHostTest, HangupInDebugModeIsLeftToTheDefaultAction) {
    ServiceProcess p({"-debug"}, environment());
    ASSERT_TRUE(p.waitForOutput("run\n"));
    p.signal(SIGHUP);
    EXPECT_EQ(p.waitExit(), 128 + SIGHUP);
    EXPECT_EQ(p.text().find("Stopping"), std::string::npos);
}

TEST_F(ServiceHostTest, InstallWritesAVerifiableUnitOnceAndReloads) {
    EXPECT_EQ(runToEnd({"-install"}), "Kri Test Service installed.\n");
    const std::string unit = readFile(unitFile());
    EXPECT_EQ(unit,
              "[Unit]\nDescription=Kri Test Service\n\n[Service]\nType=notify\nNotifyAccess=main\n"
              "ExecStart=\"" +
                  kHelper + "\"\n");
    EXPECT_EQ(calls(), "daemon-reload\n");

    EXPECT_EQ(runToEnd({"-install"}, 1),
              "CreateService failed - The specified service already exists. (0x431)\n");
    EXPECT_EQ(readFile(unitFile()), unit);

    if (ChildProcess("/bin/sh", {"-c", "command -v systemd-analyze"}).waitForExit() != 0) {
        GTEST_SKIP() << "systemd-analyze is not installed; only the unit text was checked";
    }
    ChildProcess verify("/bin/sh", {"-c", "systemd-analyze verify \"$0\"", unitFile().string()});
    EXPECT_EQ(verify.waitForExit(std::chrono::seconds(60)), 0) << unit << verify.tail();
}

// -install takes one option, -auto (a start at boot, delayed), which only Windows can express:
// a unit is started at boot by systemctl enable.
TEST_F(ServiceHostTest, InstallTakesOnlyAutoWhichAUnitCannotExpress) {
    EXPECT_EQ(runToEnd({"-install", "-now"}, 1),
              "Unexpected argument \"-now\": -install takes only -auto\n");
    EXPECT_EQ(runToEnd({"-install", "-auto"}, 1),
              "CreateService failed - The parameter is incorrect. (0x57)\n");
    EXPECT_FALSE(fs::exists(unitFile()));
    EXPECT_EQ(calls(), "");
}

TEST_F(ServiceHostTest, WithoutAUnitDirectoryTheManagerCannotBeOpened) {
    fs::remove(unitDirectory());
    EXPECT_EQ(runToEnd({"-install"}, 1),
              "OpenSCManager failed - No such file or directory (0x2)\n");
    EXPECT_EQ(runToEnd({"-remove"}, 1), "OpenSCManager failed - No such file or directory (0x2)\n");
}

TEST_F(ServiceHostTest, AFailingDaemonReloadFailsInstallAndRemove) {
    writeFile(temp.path / "fail-reload", "");
    EXPECT_EQ(runToEnd({"-install"}, 1),
              "CreateService failed - The RPC server is unavailable. (0x6ba)\n");
    // Nothing is left that systemd has not taken in.
    EXPECT_FALSE(fs::exists(unitFile()));

    fs::remove(temp.path / "fail-reload");
    runToEnd({"-install"});
    writeFile(temp.path / "fail-reload", "");
    EXPECT_EQ(runToEnd({"-remove"}, 1),
              "DeleteService failed - The RPC server is unavailable. (0x6ba)\n");
}

TEST_F(ServiceHostTest, RemovingAServiceThatIsNotRunningSkipsStopping) {
    runToEnd({"-install"});
    EXPECT_EQ(runToEnd({"-remove"}), "Kri Test Service removed.\n");
    EXPECT_FALSE(fs::exists(unitFile()));
    EXPECT_EQ(calls().find("stop"), std::string::npos) << calls();
    EXPECT_EQ(runToEnd({"-remove"}, 1),
              "OpenService failed - The specified service does not exist as an installed "
              "service. (0x424)\n");
}

TEST_F(ServiceHostTest, RemovingARunningServicePollsEverySecondWhileItStops) {
    runToEnd({"-install"});
    writeFile(temp.path / "states", "active\ndeactivating\ndeactivating\ninactive\n");
    EXPECT_EQ(
        runToEnd({"-remove"}),
        "Stopping Kri Test Service..\nKri Test Service stopped.\nKri Test Service removed.\n");
    EXPECT_NE(calls().find("stop --no-block KriAtmnTest.service\n"), std::string::npos);
    EXPECT_FALSE(fs::exists(unitFile()));

    runToEnd({"-install"});
    writeFile(temp.path / "states", "active\ndeactivating\nactive\n");
    EXPECT_EQ(runToEnd({"-remove"}, 1),
              "Stopping Kri Test Service.\nKri Test Service failed to stop.\n"
              "Kri Test Service removed.\n");
}

TEST_F(ServiceHostTest, ASecondInstanceEndsTheProcessWithAnErrorEvent) {
    EXPECT_EQ(runToEnd({"-twice"}), "");
    EXPECT_EQ(readFile(eventFile()),
              "3 KriAtmnTest Unable to create multiple instances of W32Service in a single "
              "application\n");
}

// The test program's own instance, for the operations that need no process of their own.
class InProcessService : public W32Service {
public:
    InProcessService() : W32Service("KriAtmnInProcess", "In-process Service", "") {}
    int run(int, char**) override { return 0; }
    int stop() override { return 0; }
};

InProcessService& inProcessService() {
    static InProcessService service;
    return service;
}

std::mutex capturedMutex;
std::vector<platform::SystemLogRecord> captured;

void capture(const platform::SystemLogRecord& record) {
    std::lock_guard<std::mutex> guard(capturedMutex);
    captured.push_back(record);
}

TEST(W32ServiceInProcess, LastErrorTextNeedsRoomForTheTextAndFourteenMore) {
    char buffer[256];
    // "No such file or directory\r\n" has 27 characters.
    platform::setLastError(2);
    EXPECT_STREQ(inProcessService().lastErrorText(buffer, 41), "No such file or directory (0x2)");
    platform::setLastError(2);
    EXPECT_STREQ(inProcessService().lastErrorText(buffer, 40), "");
    platform::setLastError(platform::kErrorServiceExists);
    EXPECT_STREQ(inProcessService().lastErrorText(buffer, 256),
                 "The specified service already exists. (0x431)");
    platform::setLastError(5000);
    EXPECT_STREQ(inProcessService().lastErrorText(buffer, 256), "");
}

TEST(W32ServiceInProcess, EventsCarryTheSourceAPriorityByTypeAndNoBlankLines) {
    {
        std::lock_guard<std::mutex> guard(capturedMutex);
        captured.clear();
    }
    platform::setSystemLogWriterForTesting(capture);
    KRIString error("boom");
    inProcessService().reportEvent(error, platform::kEventLogErrorType, 0, nullptr, 0);
    KRIString information("fine");
    const unsigned char raw[] = {0x01, 0xff};
    inProcessService().reportEvent(information, platform::kEventLogInformationType, 0, raw, 2);
    platform::setSystemLogWriterForTesting(nullptr);

    EXPECT_STREQ(error.c_str(), "\n\nboom");
    std::lock_guard<std::mutex> guard(capturedMutex);
    ASSERT_EQ(captured.size(), 2u);
    EXPECT_EQ(captured[0].ident, "KriAtmnInProcess");
    EXPECT_EQ(captured[0].type, platform::SystemLogType::Error);
    // The two line feeds in front of the caller's text would be blank lines in the journal.
    EXPECT_EQ(captured[0].text, "boom");
    EXPECT_EQ(captured[1].type, platform::SystemLogType::Information);
    EXPECT_EQ(captured[1].text, "fine\nData: 01 ff");
}

TEST(ServiceControlManagerTest, UnitTextQuotesThePathAndEscapesSpecifiers) {
    platform::ServiceConfig config{"KriAtmn",
                                   "Kri 100% Service",
                                   platform::kServiceWin32OwnProcess,
                                   platform::kServiceDemandStart,
                                   platform::kServiceErrorNormal,
                                   "/opt/kri 1%/$svc\"x",
                                   "network-online dbus"};
    EXPECT_EQ(platform::ServiceControlManager::unitText(config),
              "[Unit]\nDescription=Kri 100%% Service\n"
              "Requires=network-online.service\nAfter=network-online.service\n"
              "Requires=dbus.service\nAfter=dbus.service\n\n"
              "[Service]\nType=notify\nNotifyAccess=main\n"
              "ExecStart=\"/opt/kri 1%%/$$svc\\\"x\"\n");

    config.dependencies = "../evil";
    EXPECT_EQ(platform::ServiceControlManager::unitText(config), "");
    EXPECT_EQ(platform::lastError(), platform::kErrorInvalidName);
    config.dependencies = "";
    config.displayName = "two\nlines";
    EXPECT_EQ(platform::ServiceControlManager::unitText(config), "");
    config.displayName = "Kri";
    config.startType = 2;
    EXPECT_EQ(platform::ServiceControlManager::unitText(config), "");
    EXPECT_EQ(platform::lastError(), platform::kErrorInvalidParameter);
}

TEST(ServiceControlManagerTest, ATemplateIsFilledAndItsAccountMustExist) {
    TempDir temp;
    fs::create_directory(temp.path / "units");
    setenv("KRI_SYSTEMD_UNIT_DIR", (temp.path / "units").c_str(), 1);
    setenv("KRI_SYSTEMCTL", "true", 1);
    std::unique_ptr<platform::ServiceControlManager> manager =
        platform::ServiceControlManager::open();
    unsetenv("KRI_SYSTEMD_UNIT_DIR");
    ASSERT_TRUE(manager);
    std::string unitTemplate =
        "[Unit]\nDescription=@KRI_UNIT_DESCRIPTION@\n@KRI_UNIT_DEPENDENCIES@\n[Service]\n"
        "ExecStart=@KRI_UNIT_EXEC_START@\nUser=kri-no-such-account\n";
    platform::ServiceConfig config{"KriAtmnTemplate",
                                   "Kri 5%",
                                   platform::kServiceWin32OwnProcess,
                                   platform::kServiceDemandStart,
                                   platform::kServiceErrorNormal,
                                   "/bin/true",
                                   "dbus",
                                   unitTemplate.c_str()};
    EXPECT_EQ(platform::ServiceControlManager::unitText(config),
              "[Unit]\nDescription=Kri 5%%\nRequires=dbus.service\nAfter=dbus.service\n"
              "[Service]\nExecStart=\"/bin/true\"\nUser=kri-no-such-account\n");
    EXPECT_FALSE(manager->createService(config));
    EXPECT_EQ(platform::lastError(), platform::kErrorInvalidServiceAccount);
    EXPECT_FALSE(fs::exists(temp.path / "units/KriAtmnTemplate.service"));

    unitTemplate.replace(unitTemplate.find("kri-no-such-account"), 19, "root");
    config.unitTemplate = unitTemplate.c_str();
    EXPECT_TRUE(manager->createService(config));
    EXPECT_TRUE(fs::exists(temp.path / "units/KriAtmnTemplate.service"));
    unsetenv("KRI_SYSTEMCTL");

    // Each placeholder must be there once.
    config.unitTemplate = "[Service]\nExecStart=@KRI_UNIT_EXEC_START@\n";
    EXPECT_EQ(platform::ServiceControlManager::unitText(config), "");
    EXPECT_EQ(platform::lastError(), platform::kErrorInvalidParameter);
}

TEST(ServiceControlManagerTest, ServiceNamesThatAreNoUnitNamesAreRefused) {
    TempDir temp;
    fs::create_directory(temp.path / "units");
    setenv("KRI_SYSTEMD_UNIT_DIR", (temp.path / "units").c_str(), 1);
    std::unique_ptr<platform::ServiceControlManager> manager =
        platform::ServiceControlManager::open();
    unsetenv("KRI_SYSTEMD_UNIT_DIR");
    ASSERT_TRUE(manager);
    platform::ServiceConfig config{"../escape",
                                   "Kri",
                                   platform::kServiceWin32OwnProcess,
                                   platform::kServiceDemandStart,
                                   platform::kServiceErrorNormal,
                                   "/bin/true",
                                   ""};
    EXPECT_FALSE(manager->createService(config));
    EXPECT_EQ(platform::lastError(), platform::kErrorInvalidName);
    EXPECT_FALSE(fs::exists(temp.path / "escape.service"));
    EXPECT_FALSE(manager->openService("a/b"));
    EXPECT_EQ(platform::lastError(), platform::kErrorInvalidName);
}

}  // namespace
