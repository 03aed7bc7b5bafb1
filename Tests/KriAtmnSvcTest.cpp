// KriAtmnSvc as a real process in console mode with the simulator and the reference receiver:
// a scenario end to end in the order on the wire, Ctrl+C, the link lost and rebuilt, the
// configuration edited and corrupted while it runs, "AtmnStop" set by another process, and where
// the configuration path comes from.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdlib>
#include <thread>

#include "Tests/AtmnSvcTestSupport.h"
#include "Tests/ChildProcess.h"
#include "Tests/Isolation.h"
#include "Tests/NotifySocket.h"
#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnService.h"

namespace {

using atmntest::LiveEnvironment;
using std::chrono::milliseconds;

const std::string kProgram = KRI_ATMNSVC_PROGRAM;
const char kConsoleStop[] = "Stopping Kri Automation Interfacing Service.";
const char kDebugging[] = "Debugging Kri Automation Interfacing Service.";
const char kLinkUp[] = "Conenction to Aggregation server complete";
// A reconnection takes up to a second to notice the lost link, then the connect and a pause of
// two seconds; a first attempt may come before the server is back.
constexpr milliseconds kReconnection(20000);

std::vector<std::string> serviceArguments(const std::string& configPath) {
    return {"-debug", "-config", configPath};
}

// Sanitizer options added to those the test runs with.
std::string withOption(const char* variable, const char* option) {
    const char* given = std::getenv(variable);
    return std::string(variable) + "=" + (given != nullptr ? given + std::string(":") : "") +
           option;
}

// Under AddressSanitizer, the leak check at the exit of a KriAtmnSvc that has rebuilt its
// connection must not scan thread-local storage: the sanitizer runtime of g++ 12 misreads a
// thread's dynamic TLS on glibc 2.36 in that process and its leak checker crashes ("Tracer caught
// signal 11"). Without the TLS scan it reports more leaks, never fewer; it is used only where
// every thread has ended, so that nothing is held from TLS at exit.
std::string leakCheckWithoutTls() {
    return withOption("LSAN_OPTIONS", "use_tls=0");
}

// KriAtmnSvc in console mode. The service host ends a console run with exit(), as the process
// ends on Windows, without destroying the service object, so the threads it has stopped are
// never joined: ThreadSanitizer is told not to report them. Data races are still reported.
class ServiceProcess : public ChildProcess {
public:
    explicit ServiceProcess(const std::vector<std::string>& arguments,
                            std::vector<std::string> environment = {})
        : ChildProcess(kProgram, arguments, withThreadLeaksAllowed(std::move(environment))) {}

private:
    static std::vector<std::string> withThreadLeaksAllowed(std::vector<std::string> environment) {
        environment.push_back(withOption("TSAN_OPTIONS", "report_thread_leaks=0"));
        return environment;
    }
};

TEST(KriAtmnSvc, ScenarioArrivesInOrderAndCtrlCStops) {
    LiveEnvironment environment;
    environment.config.automationContent = R"(
        <Simulator speed="fast"/>
        <Scenario houseDate="2024-03-09" houseTime="18:00:00:00">
          <Playlist id="1" name="Main">
            <Entry id="M-1" name="Ident" status="Standby" time="18:00:00:00"/>
            <Entry id="M-2" name="News" segment="1" time="18:00:10:00"/>
          </Playlist>
          <Playlist id="2" name="Quiet" announce="false"><Entry id="Q-1" name="Filler"/></Playlist>
          <Playlist id="3" name="Late" announce="false"><Entry id="L-1" name="Film"/></Playlist>
          <Schedule>
            <Change at="1" playlist="Main" entry="M-1" status="Running"/>
            <Change at="2" playlist="Quiet" entry="Q-1" code="4" status="Skipped"/>
            <Time at="3" playlist="Late"/>
            <Segment at="4" playlist="Late" entry="L-1" segment="2"/>
            <Change at="5" playlist="Quiet" entry="Q-1" code="0" status="Done"/>
            <Remove at="6" playlist="Main" entry="M-2"/>
            <Add at="7" playlist="Quiet" entry="Q-2" name="More"/>
            <Segment at="8" playlist="Main" entry="M-1" segment="3"/>
            <Time at="9" playlist="Main"/>
            <RemovePlaylist at="10" playlist="Main"/>
          </Schedule>
        </Scenario>)";
    ServiceProcess service(serviceArguments(environment.writeConfig()));
    const std::vector<std::string> expected = {
        R"(session=0 action=AddStudio id="7" name="Studio A")",
        R"(session=1 action=AddSession id="0" name="Main")",
        R"(session=1 action=AddEntry id="M-1" name="Entry")",
        R"(session=1 action=AddEntry id="M-2" name="Entry")",
        R"(session=1 action=UpdateEntry id="M-1" name="Entry")",
        R"(session=2 action=AddSession id="0" name="Quiet")",
        R"(session=0 action=UpdateTime id="" name="")",
        R"(session=0 action=ChangeSegment id="2" name="")",
        R"(session=1 action=RemoveEntry id="M-2" name="Entry")",
        R"(session=2 action=AddEntry id="Q-2" name="Entry")",
        R"(session=1 action=ChangeSegment id="3" name="")",
        R"(session=1 action=UpdateTime id="" name="")",
        R"(session=1 action=RemoveSession id="0" name="Main")",
    };
    AggrReceiverProcess& receiver = *environment.receiver;
    ASSERT_TRUE(receiver.waitForLines(" transaction ", expected.size())) << receiver.output();
    // Nothing more comes.
    EXPECT_FALSE(receiver.waitForLines(" transaction ", expected.size() + 1, milliseconds(500)));
    EXPECT_EQ(expected, LiveEnvironment::transactions(receiver));
    EXPECT_TRUE(receiver.linesContaining(" error: ").empty()) << receiver.output();

    service.sendSignal(SIGINT);
    EXPECT_EQ(std::optional<int>(0), service.waitForExit()) << service.output();
    const std::vector<std::string>& lines = service.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(kDebugging, lines.front());
    const auto stopping = std::find(lines.begin(), lines.end(), kConsoleStop);
    ASSERT_NE(lines.end(), stopping) << service.output();
    // The supervision thread does not rebuild the link that stop took down.
    for (auto line = stopping; line != lines.end(); ++line) {
        EXPECT_EQ(std::string::npos, line->find(kLinkUp)) << *line;
    }
    EXPECT_EQ(1u, service.linesContaining(kLinkUp).size());
    EXPECT_EQ(1u, service.linesContaining("Conenction to Automation System complete").size());
    EXPECT_EQ(2u, service.linesContaining("Fired change segment....name:").size());
    EXPECT_TRUE(receiver.waitForLine(" closed transactions=13")) << receiver.output();
}

TEST(KriAtmnSvc, LinkComesBackAndFollowsTheEditedConfiguration) {
    LiveEnvironment environment;
    const std::string path = environment.writeConfig();
    ServiceProcess service(serviceArguments(path), {leakCheckWithoutTls()});
    const uint16_t port = environment.receiver->port();
    ASSERT_TRUE(environment.receiver->waitForLine("action=AddStudio")) << service.output();

    // The receiver goes away and comes back on the same port: the studio is announced again.
    EXPECT_EQ(std::optional<int>(0), environment.receiver->stop());
    auto restarted = std::make_unique<AggrReceiverProcess>([&] {
        std::vector<std::string> arguments = AggrReceiverProcess::testCertArguments();
        arguments.back() = std::to_string(port);
        return arguments;
    }());
    ASSERT_TRUE(restarted->waitForLine("listening on")) << restarted->output();
    ASSERT_TRUE(restarted->waitForLine("action=AddStudio", kReconnection)) << service.output();
    EXPECT_TRUE(service.waitForLines(kLinkUp, 2)) << service.output();

    // A corrupted file at reconnection: "Unable to reconnect", and the service keeps trying.
    atmntest::writeFileAtomically(path, "<KriAtmnSvc><AggrServer ip=");
    EXPECT_EQ(std::optional<int>(0), restarted->stop());
    ASSERT_TRUE(service.waitForLines("Unable to reconnect", 2)) << service.output();

    // The file now names another server and studio: they take effect at the next reconnection.
    auto other = AggrReceiverProcess::start();
    environment.config.port = other->port();
    environment.config.studioId = "8";
    environment.config.studioName = "Studio B";
    environment.writeConfig();
    ASSERT_TRUE(other->waitForLine(R"(action=AddStudio id="8" name="Studio B")", kReconnection))
        << service.output();
    EXPECT_EQ(1u, other->linesContaining(" transaction ").size());

    service.sendSignal(SIGINT);
    EXPECT_EQ(std::optional<int>(0), service.waitForExit()) << service.output();
}

TEST(KriAtmnSvc, AtmnStopFromAnotherProcessEndsTheServiceReadingItsPathFromTheRegistry) {
    LiveEnvironment environment;
    const std::string path = environment.writeConfig();
    // The value as an operator writes it with printf: no terminating zero.
    environment.registry.writeFile("HKEY_LOCAL_MACHINE/SOFTWARE/Varnholt/KriAtmnSvc/Config", path);
    ServiceProcess service({"-debug", "-CONFIG", "/nonexistent.xml", "-config"});
    ASSERT_TRUE(environment.receiver->waitForLine("action=AddStudio")) << service.output();

    ChildProcess post(KRI_POST_EVENT_PROGRAM, {"AtmnStop"});
    EXPECT_EQ(std::optional<int>(0), post.waitForExit()) << post.output();
    EXPECT_EQ(std::optional<int>(0), service.waitForExit()) << service.output();
    EXPECT_TRUE(service.linesContaining(kConsoleStop).empty());
    EXPECT_TRUE(service.linesContaining("Incorrect content").empty()) << service.output();
}

TEST(KriAtmnSvc, ASecondInstanceRefusesToStartAndTheFirstRemovesTheEventWhenItEnds) {
    LiveEnvironment environment;
    const std::string path = environment.writeConfig();
    ServiceProcess service(serviceArguments(path));
    ASSERT_TRUE(environment.receiver->waitForLine("action=AddStudio")) << service.output();

    ServiceProcess second(serviceArguments(path));
    EXPECT_TRUE(second.waitForExit().has_value()) << second.output();
    EXPECT_EQ(1u, second
                      .linesContaining("Unable to create the stop event \"AtmnStop\": " +
                                       isolation::consoleEventFile("AtmnStop") +
                                       " is held by another running process (process " +
                                       std::to_string(service.pid()) +
                                       "): another instance runs; stop it first")
                      .size())
        << second.output();
    EXPECT_EQ(1u, environment.receiver->linesContaining("action=AddStudio").size());
    struct stat info {};
    EXPECT_EQ(0, stat(isolation::consoleEventFile("AtmnStop").c_str(), &info))
        << "the second removed the first's event";

    service.sendSignal(SIGINT);
    EXPECT_EQ(std::optional<int>(0), service.waitForExit()) << service.output();
    EXPECT_NE(0, stat(isolation::consoleEventFile("AtmnStop").c_str(), &info));
}

// A configuration error is not worth a restart (78, which the unit does not restart); a
// component that cannot be created, or another instance that runs, may be (1).
TEST(KriAtmnSvc, OnlyConfigurationErrorsExitWith78) {
    LiveEnvironment environment;
    const std::string path = environment.writeConfig();
    ServiceProcess service(serviceArguments(path));
    ASSERT_TRUE(environment.receiver->waitForLine("action=AddStudio")) << service.output();
    ServiceProcess second(serviceArguments(path));
    EXPECT_EQ(std::optional<int>(1), second.waitForExit()) << second.output();
    service.sendSignal(SIGINT);
    EXPECT_EQ(std::optional<int>(0), service.waitForExit()) << service.output();

    environment.config.progid = "";
    environment.config.uuid = "{00000000-1111-2222-3333-444444444444}";
    ServiceProcess noComponent(serviceArguments(environment.writeConfig("unregistered.xml")));
    EXPECT_EQ(std::optional<int>(1), noComponent.waitForExit()) << noComponent.output();

    environment.config = atmntest::ServiceConfig{};
    environment.config.certFile = "/nonexistent/client.crt";
    ServiceProcess noCertificate(serviceArguments(environment.writeConfig("nocert.xml")));
    EXPECT_EQ(std::optional<int>(78), noCertificate.waitForExit()) << noCertificate.output();
}

// The service with standard error marked as the journal's stream, as systemd starts it.
class JournalServiceProcess : public ChildProcess {
public:
    explicit JournalServiceProcess(const std::vector<std::string>& arguments)
        : ChildProcess("/bin/sh", withJournalStream(arguments)) {}

private:
    static std::vector<std::string> withJournalStream(const std::vector<std::string>& arguments) {
        std::vector<std::string> words = {
            "-c", R"(JOURNAL_STREAM=$(stat -L -c %d:%i /proc/self/fd/2) exec "$0" "$@")", kProgram};
        words.insert(words.end(), arguments.begin(), arguments.end());
        return words;
    }
};

TEST(KriAtmnSvc, AFailedStartExitsWithFailureAndErrorLinesAtErrPriority) {
    TempRegistry registry;
    JournalServiceProcess noPath({"-debug", "--config", "/tmp/x.xml"});
    EXPECT_EQ(std::optional<int>(78), noPath.waitForExit()) << noPath.output();
    const std::vector<std::string> noPathLines = noPath.linesContaining("No configuration file");
    ASSERT_EQ(1u, noPathLines.size()) << noPath.output();
    // The journal stamps the time; the line carries the priority instead.
    EXPECT_EQ(0u, noPathLines[0].rfind("<3>[", 0)) << noPathLines[0];

    JournalServiceProcess missing({"-debug", "-config", "/nonexistent/KriAtmnSvc.xml"});
    EXPECT_EQ(std::optional<int>(78), missing.waitForExit()) << missing.output();
    EXPECT_EQ(1u, missing.linesContaining("Incorrect content").size()) << missing.output();
    EXPECT_EQ(1u, missing.linesContaining("No such file or directory").size()) << missing.output();
    // The error line and the event's text line, at the priority of the event's code.
    for (const std::string& line : missing.lines()) {
        if (line != kDebugging) {
            EXPECT_EQ(0u, line.rfind("<3>[", 0)) << line;
        }
    }
}

TEST(KriAtmnSvc, UnderAServiceManagerReadyComesOnlyOnceTheStudioIsAnnounced) {
    LiveEnvironment environment;
    {
        NotifySocket notify(environment.directory / "failed.sock");
        ServiceProcess failed({"-config", "/nonexistent/KriAtmnSvc.xml"}, {notify.environment()});
        EXPECT_EQ(std::optional<int>(78), failed.waitForExit()) << failed.output();
        EXPECT_EQ((std::vector<std::string>{"START_PENDING", "STOPPED"}), notify.states());
        for (const std::string& message : notify.messages()) {
            EXPECT_EQ(std::string::npos, message.find("READY=1")) << message;
        }
        EXPECT_NE(std::string::npos, notify.messages().back().find("exitcode=78"));
        // No usage text under a service manager.
        EXPECT_TRUE(failed.linesContaining("-install").empty()) << failed.output();
    }
    NotifySocket notify(environment.directory / "ok.sock");
    const std::string statusDir = "KRI_STATUS_DIR=" + environment.directory.string();
    ServiceProcess service({"-config", environment.writeConfig()},
                           {notify.environment(), "WATCHDOG_USEC=900000", statusDir});
    ASSERT_TRUE(notify.waitFor("READY=1")) << service.output();
    // The event loop and the supervision thread turn, so the watchdog is fed.
    EXPECT_TRUE(notify.waitFor("WATCHDOG=1")) << service.output();
    // The link in plain words, for systemctl status and for -status.
    const std::string linkUp =
        "Link up to 127.0.0.1:" + std::to_string(environment.receiver->port()) + " since ";
    EXPECT_TRUE(notify.waitFor("STATUS=" + linkUp)) << service.output();
    ASSERT_TRUE(eventually([&] {
        ChildProcess status(kProgram, {"-status"}, {statusDir});
        return status.waitForExit() == std::optional<int>(0) && status.lines().size() == 1 &&
               status.lines()[0].rfind(linkUp, 0) == 0;
    }));
    // READY=1 came after the link was up and the studio announced, not with RUNNING.
    EXPECT_TRUE(service.waitForLines(kLinkUp)) << service.output();
    EXPECT_TRUE(environment.receiver->waitForLine("action=AddStudio"));
    for (const std::string& message : notify.messages()) {
        if (message.find("STATUS=RUNNING") != std::string::npos) {
            EXPECT_EQ(std::string::npos, message.find("READY=1")) << message;
        }
    }
    service.sendSignal(SIGTERM);
    EXPECT_EQ(std::optional<int>(0), service.waitForExit()) << service.output();
}

TEST(KriAtmnSvc, StopDuringASlowConnectEndsWithinFiveSeconds) {
    LiveEnvironment environment;
    environment.config.automationContent = atmntest::quietScenarioWith("connectDelay=\"30000\"");
    const std::string path = environment.writeConfig();
    for (const int stopSignal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(stopSignal);
        NotifySocket notify(environment.directory / ("slow" + std::to_string(stopSignal)));
        const bool console = stopSignal == SIGINT;
        ServiceProcess service(
            console ? serviceArguments(path) : std::vector<std::string>{"-config", path},
            console ? std::vector<std::string>{} : std::vector<std::string>{notify.environment()});
        if (console) {
            ASSERT_TRUE(service.waitForLines(kDebugging)) << service.output();
        } else {
            ASSERT_TRUE(notify.waitFor("STATUS=RUNNING")) << service.output();
        }
        std::this_thread::sleep_for(milliseconds(500));
        const auto stopAt = std::chrono::steady_clock::now();
        service.sendSignal(stopSignal);
        EXPECT_EQ(std::optional<int>(0), service.waitForExit(milliseconds(5000)))
            << service.output();
        EXPECT_LT(std::chrono::steady_clock::now() - stopAt, milliseconds(5000));
        EXPECT_TRUE(service.linesContaining("Conenction to").empty()) << service.output();
        if (!console) {
            EXPECT_EQ(
                (std::vector<std::string>{"START_PENDING", "RUNNING", "STOP_PENDING", "STOPPED"}),
                notify.states());
            EXPECT_FALSE(notify.waitFor("READY=1", milliseconds(0)));
        }
    }
    EXPECT_EQ(0u, environment.receiver->linesContaining(" connected").size());
}

TEST(KriAtmnSvc, ADisconnectThatThrowsIsAnErrorLineAndTheServiceStillStops) {
    LiveEnvironment environment;
    environment.config.automationContent = atmntest::quietScenarioWith("disconnectThrows=\"true\"");
    NotifySocket notify(environment.directory / "notify");
    ServiceProcess service({"-config", environment.writeConfig()}, {notify.environment()});
    ASSERT_TRUE(notify.waitFor("READY=1")) << service.output();
    service.sendSignal(SIGTERM);
    EXPECT_EQ(std::optional<int>(0), service.waitForExit()) << service.output();
    EXPECT_EQ(1u, service.linesContaining("The automation component's Disconnect failed").size())
        << service.output();
    EXPECT_EQ("STOPPED", notify.states().back());
}

TEST(KriAtmnSvc, SighupReloadsTheStudioAndABadFileLeavesTheRunningLinkAlone) {
    LiveEnvironment environment;
    const std::string path = environment.writeConfig();
    NotifySocket notify(environment.directory / "notify");
    ServiceProcess service({"-config", path}, {notify.environment()});
    ASSERT_TRUE(notify.waitFor("READY=1")) << service.output();
    AggrReceiverProcess& receiver = *environment.receiver;
    ASSERT_TRUE(receiver.waitForLine(R"(action=AddStudio id="7" name="Studio A")"));

    environment.config.studioName = "Studio A2";
    environment.writeConfig();
    const auto readies = [&] {
        const std::vector<std::string>& m = notify.messages();
        return std::count(m.begin(), m.end(), "READY=1");
    };
    service.sendSignal(SIGHUP);
    ASSERT_TRUE(receiver.waitForLine(R"(action=AddStudio id="7" name="Studio A2")"))
        << service.output();
    ASSERT_TRUE(notify.waitFor("RELOADING=1\nMONOTONIC_USEC="));
    // The reload ends with READY=1 once the studio is announced again.
    EXPECT_TRUE(eventually([&] { return readies() == 2; })) << service.output();
    const size_t connections = receiver.linesContaining(" connected").size();

    atmntest::writeFileAtomically(path, "<KriAtmnSvc><AggrServer ip=");
    service.sendSignal(SIGHUP);
    ASSERT_TRUE(service.waitForLines("Reload refused, the running configuration stays"))
        << service.output();
    // The link was left as it was: no new connection, no new announcement.
    EXPECT_FALSE(receiver.waitForLines("action=AddStudio", 3, milliseconds(1500)));
    EXPECT_EQ(connections, receiver.linesContaining(" connected").size());
    EXPECT_EQ(3, readies());

    // Certificates that do not load are refused the same way.
    environment.config.certFile = (environment.directory / "missing.crt").string();
    environment.writeConfig();
    service.sendSignal(SIGHUP);
    ASSERT_TRUE(service.waitForLines("does not load")) << service.output();
    EXPECT_EQ(connections, receiver.linesContaining(" connected").size());

    service.sendSignal(SIGTERM);
    EXPECT_EQ(std::optional<int>(0), service.waitForExit()) << service.output();
}

TEST(KriAtmnSvc, AReloadChecksTheServerNameTheReloadedFileGives) {
    LiveEnvironment environment;
    environment.config.serverName = "localhost";
    NotifySocket notify(environment.directory / "notify");
    ServiceProcess service({"-config", environment.writeConfig()}, {notify.environment()});
    AggrReceiverProcess& receiver = *environment.receiver;
    ASSERT_TRUE(receiver.waitForLine("action=AddStudio")) << service.output();

    environment.config.serverName = "aggr.example.net";
    environment.writeConfig();
    service.sendSignal(SIGHUP);
    ASSERT_TRUE(service.waitForLines("SSL error : -25")) << service.output();
    EXPECT_FALSE(receiver.waitForLines("action=AddStudio", 2, milliseconds(1500)));

    service.sendSignal(SIGTERM);
    EXPECT_EQ(std::optional<int>(0), service.waitForExit()) << service.output();
}

// argv as main gets it.
struct CommandLine {
    explicit CommandLine(std::vector<std::string> words) : texts(std::move(words)) {
        for (std::string& t : texts) {
            pointers.push_back(t.data());
        }
        pointers.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(texts.size()); }
    char** argv() { return pointers.data(); }

    std::vector<std::string> texts;
    std::vector<char*> pointers;
};

TEST(AtmnServiceConfigPath, CommandLineRules) {
    struct Case {
        std::vector<std::string> words;
        const char* path;  // null: none
    };
    const std::vector<Case> cases = {
        {{"KriAtmnSvc", "-debug", "-config", "/a.xml"}, "/a.xml"},
        {{"KriAtmnSvc", "-debug", "/config", "/b.xml"}, "/b.xml"},
        {{"KriAtmnSvc", "-debug", "xconfig", "/c.xml"}, "/c.xml"},
        {{"KriAtmnSvc", "-debug", "-config", "/first.xml", "-config", "/second.xml"}, "/first.xml"},
        {{"KriAtmnSvc", "-config", "-config"}, "-config"},
        {{"KriAtmnSvc", "-debug", "-CONFIG", "/a.xml"}, nullptr},
        {{"KriAtmnSvc", "-debug", "-Config", "/a.xml"}, nullptr},
        {{"KriAtmnSvc", "-debug", "--config", "/a.xml"}, nullptr},
        {{"KriAtmnSvc", "-debug", "", "config"}, nullptr},
        {{"KriAtmnSvc", "-debug", "-config"}, nullptr},
        {{"-config", "/argv0.xml"}, nullptr},
        {{"KriAtmn", "-debug", "/a.xml", "-config"}, nullptr},
    };
    for (const Case& c : cases) {
        CommandLine line(c.words);
        String path("unchanged");
        const bool found = AtmnService::configPathFromCommandLine(line.argc(), line.argv(), path);
        EXPECT_EQ(c.path != nullptr, found) << ::testing::PrintToString(c.words);
        EXPECT_EQ(std::string(c.path != nullptr ? c.path : "unchanged"), path.c_str());
    }
}

TEST(AtmnServiceConfigPath, RegistryRules) {
    TempRegistry registry;
    const std::string value = "HKEY_LOCAL_MACHINE/SOFTWARE/Varnholt/KriAtmnSvc/Config";
    String path;
    EXPECT_FALSE(AtmnService::configPathFromRegistry(path)) << "no key";
    std::filesystem::create_directories(registry.root() / "HKEY_LOCAL_MACHINE/SOFTWARE/Varnholt" /
                                        "KriAtmnSvc");
    EXPECT_FALSE(AtmnService::configPathFromRegistry(path)) << "no value";

    registry.writeFile(value, std::string("/etc/kri/KriAtmnSvc.xml\0", 24));
    EXPECT_TRUE(AtmnService::configPathFromRegistry(path));
    EXPECT_EQ(std::string("/etc/kri/KriAtmnSvc.xml"), path.c_str());

    const std::string longest = "/" + std::string(259, 'a');
    registry.writeFile(value, longest);
    EXPECT_TRUE(AtmnService::configPathFromRegistry(path)) << "260 bytes without a zero";
    EXPECT_EQ(longest, path.c_str());

    registry.writeFile(value, longest + std::string(1, '\0'));
    EXPECT_FALSE(AtmnService::configPathFromRegistry(path)) << "261 bytes";
    registry.writeFile(value, longest + "b");
    EXPECT_FALSE(AtmnService::configPathFromRegistry(path)) << "261 bytes";
}

}  // namespace
