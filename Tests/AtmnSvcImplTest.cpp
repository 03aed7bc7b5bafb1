// The automation binding in process: initialisation failures with their trace lines and event
// codes, stop in every state, the event sink against the reference receiver, the host's
// interfaces and reference count, a stop from outside, and eight simulator threads at once.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <set>
#include <string_view>
#include <thread>

#include "Platform/NamedEvent.h"
#include "Tests/AtmnSvcTestSupport.h"
#include "Tests/FakeAtmnObjects.h"
#include "Tests/Isolation.h"
#include "Tools/RovazoRiva/Common/LinkMonitor.h"
#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnCheck.h"
#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnConfig.h"
#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnSvcImpl.h"

namespace {

using atmntest::LiveEnvironment;
using atmntest::RecordingLogSink;
using std::chrono::milliseconds;

// The services of this program get a /dev/shm of their own where they may: "AtmnStop" is one per
// machine, and a service of another test run would make them refuse to start.
const ::testing::Environment* const privateShm =
    ::testing::AddGlobalTestEnvironment(new isolation::PrivateShmEnvironment);

constexpr uint32_t kConfigEvent = 0xCE000D02u;
constexpr uint32_t kNoComponentEvent = 0xCE000D03u;

// Runs the binding's run on a thread of its own.
class RunThread {
public:
    explicit RunThread(AtmnSvcImpl& binding)
        : thread([this, &binding] {
              result = binding.run();
              finished = true;
          }) {}
    ~RunThread() {
        if (thread.joinable()) {
            thread.join();
        }
    }
    // run's result once it has returned within the time-out.
    std::optional<int32_t> wait(milliseconds timeout = milliseconds(10000)) {
        if (!eventually([&] { return finished.load(); }, timeout)) {
            return std::nullopt;
        }
        thread.join();
        return result;
    }

private:
    std::atomic<bool> finished{false};
    int32_t result = 0;
    std::thread thread;
};

struct InitCase {
    const char* what;
    std::function<void(atmntest::ServiceConfig&)> change;
    // What the file holds instead of the configuration; null: the configuration.
    const char* fileText;
    bool missingFile;
    int32_t initResult;
    // %P stands for the configuration path.
    std::vector<std::string> initTraces;
    std::vector<std::pair<uint32_t, std::string>> initEvents;
    int32_t runResult;
    std::vector<std::string> runTraces;
};

std::string withPath(std::string text, const std::string& path) {
    const size_t at = text.find("%P");
    return at == std::string::npos ? text : text.replace(at, 2, path);
}

constexpr std::string_view kComponentLine = "Automation component: ";

// The binding's trace lines without the one that names the component's DLL, which every init
// that gets as far as the component's class writes.
std::vector<std::string> tracesBesideTheComponentLine(RecordingLogSink& log) {
    std::vector<std::string> traces = log.bindingTraces();
    std::erase_if(traces, [](const std::string& t) { return t.starts_with(kComponentLine); });
    return traces;
}

TEST(AtmnSvcImplInit, FailuresReportAsTheyShouldAndStopStillReturns) {
    LiveEnvironment environment;
    const std::string incorrect = "Incorrect content or config file path: %P on";
    const std::vector<InitCase> cases = {
        {"progid preferred over a valid uuid, even when it names no class",
         [](auto& c) {
             c.progid = "Kri.NoSuchSystem";
             c.uuid = atmntest::kSimulatorUuid;
         },
         nullptr,
         false,
         -1,
         {"invalid ProgId: Kri.NoSuchSystem", incorrect},
         {{kConfigEvent, "%P"}},
         -1,
         {incorrect}},
        {"empty progid and empty uuid",
         [](auto& c) { c.progid = ""; },
         nullptr,
         false,
         -1,
         {"The configuration cannot be used: CAtmnConfig::ReadInitSettings(): \"Automation\" has "
          "neither a progid nor a uuid.",
          incorrect},
         {{kConfigEvent, "%P"}},
         -1,
         {incorrect}},
        {"malformed class identifier",
         [](auto& c) {
             c.progid = "";
             c.uuid = "{D35472C6-3643-4749-B8DA}";
         },
         nullptr,
         false,
         -1,
         {"invalid ProgId: {D35472C6-3643-4749-B8DA}", incorrect},
         {{kConfigEvent, "%P"}},
         -1,
         {incorrect}},
        {"class identifier of no registered class",
         [](auto& c) {
             c.progid = "";
             c.uuid = "{00000000-1111-2222-3333-444444444444}";
         },
         nullptr,
         false,
         -1,
         {"Unable to load Automation stub component"},
         {{kNoComponentEvent, "Playlist Automation"}},
         -1,
         {incorrect}},
        {"missing file",
         [](auto&) {},
         nullptr,
         true,
         -1,
         {"The configuration cannot be used: CAtmnConfig::CAtmnConfig(): CFileXMLSrc::ReadAll(): "
          "Unable to open file '%P': No such file or directory.",
          incorrect},
         {{kConfigEvent, "%P"}},
         -1,
         {incorrect}},
        {"file that is not XML",
         [](auto&) {},
         "<KriAtmnSvc><Automation progid=",
         false,
         -1,
         {"The configuration cannot be used: CAtmnConfig::CAtmnConfig(): CXMLDoc::Parse(): Error "
          "parsing element attribute at offset 30 of file '%P'.",
          incorrect},
         {{kConfigEvent, "%P"}},
         -1,
         {incorrect}},
        {"certificate file that cannot be read: run fails at once with init's failure",
         [](auto& c) { c.certFile = "/nonexistent/client.crt"; },
         nullptr,
         false,
         static_cast<int32_t>(0xCE000D01u),
         {},
         {{0xCE000D01u, ""}},
         static_cast<int32_t>(0xCE000D01u),
         {}},
    };
    for (const InitCase& c : cases) {
        SCOPED_TRACE(c.what);
        atmntest::ServiceConfig config = environment.config;
        c.change(config);
        const std::string path = (environment.directory / "init.xml").string();
        std::filesystem::remove(path);
        if (!c.missingFile) {
            atmntest::writeFileAtomically(path, c.fileText != nullptr ? c.fileText : config.text());
        }
        RecordingLogSink log;
        AtmnSvcImpl binding;
        EXPECT_EQ(c.initResult, binding.init(path.c_str()));
        std::vector<std::string> expected;
        for (const std::string& t : c.initTraces) {
            expected.push_back(withPath(t, path));
        }
        EXPECT_EQ(expected, tracesBesideTheComponentLine(log));
        const std::vector<RecordingLogSink::Event> events = log.allEvents();
        ASSERT_EQ(c.initEvents.size(), events.size());
        for (size_t i = 0; i < events.size(); ++i) {
            EXPECT_EQ(c.initEvents[i].first, events[i].code);
            if (!c.initEvents[i].second.empty()) {
                EXPECT_EQ(withPath(c.initEvents[i].second, path), events[i].text);
            }
        }
        log.clear();
        EXPECT_EQ(c.runResult, binding.run());
        expected.clear();
        for (const std::string& t : c.runTraces) {
            expected.push_back(withPath(t, path));
        }
        EXPECT_EQ(expected, log.bindingTraces());
        // No supervision thread runs: stop returns at once.
        EXPECT_EQ(kAtmnOk, binding.stop());
    }
    EXPECT_EQ(0u, environment.receiver->linesContaining(" connected").size());
}

TEST(AtmnSvcImplInit, ClassComesFromProgidOrFromUuidWhenProgidIsEmpty) {
    LiveEnvironment environment;
    environment.config.uuid = "not a class identifier";
    const std::string byProgId = environment.writeConfig("progid.xml");
    environment.config.progid = "";
    environment.config.uuid = atmntest::kSimulatorUuid;
    const std::string byUuid = environment.writeConfig("uuid.xml");
    for (const std::string& path : {byProgId, byUuid}) {
        SCOPED_TRACE(path);
        RecordingLogSink log;
        AtmnSvcImpl binding;
        EXPECT_EQ(kAtmnOk, binding.init(path.c_str()));
        const std::vector<std::string> traces = log.bindingTraces();
        ASSERT_EQ(1u, traces.size());
        EXPECT_TRUE(traces[0].starts_with(kComponentLine)) << traces[0];
        EXPECT_NE(std::string::npos, traces[0].find("KriAtmnSimulator")) << traces[0];
        EXPECT_NE(std::string::npos, traces[0].find("threading model Apartment")) << traces[0];
        // A stop before run makes run return at once, without connecting anything.
        EXPECT_EQ(kAtmnOk, binding.stop());
        EXPECT_EQ(kAtmnOk, binding.run());
    }
    EXPECT_EQ(0u, environment.receiver->linesContaining(" connected").size());
}

TEST(AtmnSvcImplRun, ConnectFailingEndsRunBeforeTheClientConnects) {
    LiveEnvironment environment;
    // The simulator refuses a schedule that names a playlist it does not have.
    environment.config.automationContent =
        "<Simulator speed=\"fast\"/><Scenario><Playlist id=\"1\" name=\"Main\"/>"
        "<Schedule><Time at=\"1\" playlist=\"Nowhere\"/></Schedule></Scenario>";
    RecordingLogSink log;
    AtmnSvcImpl binding;
    ASSERT_EQ(kAtmnOk, binding.init(environment.writeConfig().c_str()));
    const int32_t result = binding.run();
    EXPECT_LT(result, 0);
    EXPECT_EQ(platform::E_INVALIDARG, result);
    EXPECT_EQ(0u, log.count("Conenction to"));
    EXPECT_EQ(kAtmnOk, binding.stop());
    EXPECT_EQ(0u, environment.receiver->linesContaining(" connected").size());
}

// What "-check -connect" says of the server, and what the service's first link line says of it.
struct ServerVerdicts {
    bool checkPassed;
    std::string check;
    std::string service;
};

ServerVerdicts verdictsOn(LiveEnvironment& environment) {
    const std::string config = environment.writeConfig();
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    const bool passed = AtmnCheck(String(config.c_str()), "", true, out).run();
    std::fclose(out);
    const std::string lines(text, size);
    std::free(text);
    const std::string label = "TLS 127.0.0.1:" + std::to_string(environment.config.port) + ": ";
    const size_t at = lines.find(label);
    const std::string check =
        at == std::string::npos
            ? lines
            : lines.substr(at + label.size(), lines.find('\n', at) - at - label.size());

    RecordingLogSink log;
    AtmnSvcImpl binding;
    EXPECT_EQ(kAtmnOk, binding.init(config.c_str()));
    RunThread running(binding);
    const auto linkLines = [&] { return log.tracesOf(LinkMonitor::kTraceUnit); };
    EXPECT_TRUE(eventually([&] { return !linkLines().empty(); }));
    binding.stop();
    EXPECT_EQ(std::optional<int32_t>(kAtmnOk), running.wait());
    return {passed, check, linkLines().empty() ? "" : linkLines().front()};
}

TEST(AtmnSvcImplRun, CheckConnectAndTheServiceAgreeOnAGoodAnUntrustedAndARefusingServer) {
    LiveEnvironment environment;
    const ServerVerdicts good = verdictsOn(environment);
    EXPECT_TRUE(good.checkPassed) << good.check;
    EXPECT_EQ(good.check, "SSL connect successful");
    EXPECT_EQ(good.check, good.service);

    const testcerts::CertFiles& certs = testcerts::testCerts();
    environment.receiver = AggrReceiverProcess::start(
        {"--cert", certs.otherServerCert, "--key", certs.otherServerKey});
    environment.config.port = environment.receiver->port();
    const ServerVerdicts untrusted = verdictsOn(environment);
    EXPECT_FALSE(untrusted.checkPassed);
    EXPECT_EQ(
        untrusted.check.rfind("SSL error : -25 (the server's certificate failed verification", 0),
        0u)
        << untrusted.check;
    EXPECT_EQ(untrusted.check, untrusted.service);

    environment.receiver.reset();
    const ServerVerdicts refused = verdictsOn(environment);
    EXPECT_FALSE(refused.checkPassed);
    EXPECT_EQ(refused.check, "SSL error : -10061 (Connection refused)");
    EXPECT_EQ(refused.check, refused.service);
}

// A binding running against the receiver with a simulator that reports nothing, so that the
// test drives the sink itself.
class AtmnSvcImplLive : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(kAtmnOk, binding.init(environment.writeConfig().c_str()));
        running = std::make_unique<RunThread>(binding);
        ASSERT_TRUE(environment.receiver->waitForLine("action=AddStudio", milliseconds(10000)))
            << environment.receiver->output();
        // The component has been advised and run holds no reference or string of its own.
        ASSERT_TRUE(eventually([&] { return binding.isRunning(); }));
    }
    void TearDown() override {
        binding.stop();
        running.reset();
    }

    std::vector<std::string> transactions(size_t count) {
        EXPECT_TRUE(environment.receiver->waitForLines(" transaction ", count))
            << environment.receiver->output();
        return LiveEnvironment::transactions(*environment.receiver);
    }

    LiveEnvironment environment;
    RecordingLogSink log;
    AtmnSvcImpl binding;
    std::unique_ptr<RunThread> running;
};

TEST_F(AtmnSvcImplLive, SinkOpensSessionsOnlyForEntryEventsAndReusesThem) {
    fakes::FakePlaylist main;
    fakes::FakePlaylist late;
    late.name = u"Late";
    fakes::FakeEntry ident;
    ident.id = u"M-1";
    fakes::FakeEntry news;
    news.id = u"M-2";
    news.name = u"Evening News";
    const long strings = platform::liveBstrCount();

    // A time update and a segment change for a playlist without a session open none.
    EXPECT_EQ(kAtmnOk, binding.onTimeUpdate(&late, 0));
    EXPECT_EQ(kAtmnOk, binding.onSegmentChange(&late, &news, 5));
    // Change code 4 sends nothing but opens the session.
    EXPECT_EQ(kAtmnOk, binding.onEntryChange(&main, &ident, 4));
    EXPECT_EQ(kAtmnOk, binding.onEntryChange(&main, &ident, kAtmnEntryAdded));
    EXPECT_EQ(kAtmnOk, binding.onEntryChange(&main, &news, kAtmnEntryAdded));
    EXPECT_EQ(kAtmnOk, binding.onEntryChange(&main, &ident, 0));
    EXPECT_EQ(kAtmnOk, binding.onEntryChange(&main, &ident, kAtmnEntryChanged));
    EXPECT_EQ(kAtmnOk, binding.onSegmentChange(&main, &news, 2));
    EXPECT_EQ(kAtmnOk, binding.onTimeUpdate(&main, 0));
    EXPECT_EQ(kAtmnOk, binding.onEntryChange(&main, &news, kAtmnEntryRemoved));
    EXPECT_EQ(kAtmnOk, binding.onPlaylistRemoved(&main, 0));
    // Once removed, the playlist's next entry event opens a new session.
    EXPECT_EQ(kAtmnOk, binding.onEntryChange(&main, &ident, kAtmnEntryAdded));

    const std::vector<std::string> expected = {
        R"(session=0 action=AddStudio id="7" name="Studio A")",
        R"(session=0 action=UpdateTime id="" name="")",
        R"(session=0 action=ChangeSegment id="5" name="")",
        R"(session=1 action=AddSession id="0" name="Main")",
        R"(session=1 action=AddEntry id="M-1" name="Entry")",
        R"(session=1 action=AddEntry id="M-2" name="Entry")",
        R"(session=1 action=UpdateEntry id="M-1" name="Entry")",
        R"(session=1 action=ChangeSegment id="2" name="")",
        R"(session=1 action=UpdateTime id="" name="")",
        R"(session=1 action=RemoveEntry id="M-2" name="Entry")",
        R"(session=1 action=RemoveSession id="0" name="Main")",
        R"(session=2 action=AddSession id="0" name="Main")",
        R"(session=2 action=AddEntry id="M-1" name="Entry")",
    };
    EXPECT_EQ(expected, transactions(expected.size()));
    EXPECT_EQ(1u, log.count("Fired change segment....name:Late title:Evening News segnum:5"));
    EXPECT_EQ(1u, log.count("Fired change segment....name:Main title:Evening News segnum:2"));

    // Every reference taken was given back, no call came without one, every string was freed.
    for (fakes::FakeObjectState* state : {&main.state, &late.state, &ident.state, &news.state}) {
        EXPECT_EQ(1, state->references);
        EXPECT_EQ(0, state->callsWithoutReference);
        EXPECT_EQ(0, state->excessReleases);
    }
    EXPECT_EQ(strings, platform::liveBstrCount());
}

TEST_F(AtmnSvcImplLive, AFailureInsideTheSinkStaysThere) {
    fakes::FakePlaylist main;
    fakes::FakeEntry entry;
    entry.state.failIn = "GetId";
    EXPECT_EQ(kAtmnOk, binding.onEntryChange(&main, &entry, kAtmnEntryAdded));
    EXPECT_EQ(1u, log.count("Failure in onEntryChange: component failed in GetId"));
    main.state.failIn = "GetName";
    EXPECT_EQ(kAtmnOk, binding.onTimeUpdate(&main, 0));
    EXPECT_EQ(kAtmnOk, binding.onPlaylistRemoved(&main, 0));
    EXPECT_EQ(kAtmnOk, binding.onSegmentChange(&main, &entry, 1));
    EXPECT_EQ(1u, log.count("Failure in onTimeUpdate: component failed in GetName"));
    EXPECT_EQ(1u, log.count("Failure in onPlaylistRemoved: component failed in GetName"));
    EXPECT_EQ(1u, log.count("Failure in onSegmentChange: component failed in GetName"));
    EXPECT_EQ(kAtmnOk, binding.onEntryChange(nullptr, &entry, kAtmnEntryAdded));
    EXPECT_EQ(kAtmnOk, binding.onTimeUpdate(nullptr, 0));
    EXPECT_EQ(1u, log.count("onEntryChange called without a playlist or entry"));
    EXPECT_EQ(1u, log.count("onTimeUpdate called without a playlist"));
    for (fakes::FakeObjectState* state : {&main.state, &entry.state}) {
        EXPECT_EQ(1, state->references);
        EXPECT_EQ(0, state->excessReleases);
    }
    // The session opened before the failure stays; the link is still usable.
    entry.state.failIn.clear();
    main.state.failIn.clear();
    EXPECT_EQ(kAtmnOk, binding.onEntryChange(&main, &entry, kAtmnEntryChanged));
    const std::vector<std::string> expected = {
        R"(session=0 action=AddStudio id="7" name="Studio A")",
        R"(session=1 action=AddSession id="0" name="Main")",
        R"(session=1 action=UpdateEntry id="E-1" name="Entry")",
    };
    EXPECT_EQ(expected, transactions(expected.size()));
}

TEST_F(AtmnSvcImplLive, InterfacesShareOneCountAndTheOwnersReferenceStays) {
    void* object = &object;
    EXPECT_EQ(kAtmnNotSupported, binding.QueryInterface(platform::IID_IUnknown, &object));
    EXPECT_EQ(nullptr, object);
    EXPECT_EQ(kAtmnNotSupported, binding.QueryInterface(IID_IAtmnSystem, &object));
    EXPECT_EQ(nullptr, object);

    ASSERT_EQ(kAtmnOk, binding.QueryInterface(IID_IAtmnHost, &object));
    auto* host = static_cast<IAtmnHost*>(object);
    ASSERT_EQ(kAtmnOk, host->QueryInterface(IID_IAtmnEvents, &object));
    auto* events = static_cast<IAtmnEvents*>(object);
    ASSERT_EQ(kAtmnOk, events->QueryInterface(IID_IAtmnUnknown, &object));
    auto* unknown = static_cast<IAtmnUnknown*>(object);
    const uint32_t afterQueries = unknown->AddRef() - 1;
    EXPECT_EQ(afterQueries, unknown->Release());
    EXPECT_EQ(kAtmnNotSupported, host->UnnamedHostMethod1());
    EXPECT_EQ(kAtmnNotSupported, host->UnnamedHostMethod2());
    EXPECT_EQ(kAtmnNotSupported, host->UnnamedHostMethod3(1));

    // Each thread's AddRef and Release pairs, all at once, leave the count as it was.
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 1000; ++i) {
                events->AddRef();
                events->Release();
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(afterQueries - 1, host->Release());
    EXPECT_EQ(afterQueries - 2, events->Release());
    const uint32_t beforeQueries = unknown->Release();
    EXPECT_EQ(afterQueries - 3, beforeQueries);

    // Unbalanced Releases never take the owner's reference: the object stays usable.
    for (uint32_t i = 0; i < beforeQueries + 2; ++i) {
        unknown->Release();
    }
    EXPECT_EQ(1u, unknown->Release());
    EXPECT_GE(log.count("Release without a matching AddRef ignored"), 1u);
    fakes::FakePlaylist main;
    fakes::FakeEntry entry;
    EXPECT_EQ(kAtmnOk, binding.onEntryChange(&main, &entry, kAtmnEntryAdded));
    EXPECT_EQ(3u, transactions(3).size());
}

TEST_F(AtmnSvcImplLive, AtmnStopFromOutsideEndsRunAndLeavesTheLinkUp) {
    std::unique_ptr<platform::NamedEvent> stop =
        platform::NamedEvent::open(AtmnSvcImpl::kStopEventName);
    ASSERT_NE(nullptr, stop);
    ASSERT_TRUE(stop->set());
    EXPECT_EQ(std::optional<int32_t>(kAtmnOk), running->wait());
    EXPECT_TRUE(binding.aggregationClient().isConnected());
    fakes::FakePlaylist main;
    fakes::FakeEntry entry;
    EXPECT_EQ(kAtmnOk, binding.onEntryChange(&main, &entry, kAtmnEntryAdded));
    EXPECT_EQ(3u, transactions(3).size());
}

TEST(AtmnSvcImplTrust, AGroupWritablePluginDirectoryOrConfigurationIsRefused) {
    namespace fs = std::filesystem;
    LiveEnvironment environment;
    RecordingLogSink log;
    const fs::path plugins = environment.directory / "plugins";
    fs::create_directory(plugins);
    const fs::path plugin = plugins / "libKriAtmnSimulator.so";
    fs::copy_file(KRI_SIMULATOR_PLUGIN, plugin);
    ASSERT_GE(platform::registerServer(plugin.string()), 0);
    const std::string config = environment.writeConfig();
    auto initResult = [&] {
        AtmnSvcImpl binding;
        return binding.init(config.c_str());
    };

    fs::permissions(plugins, static_cast<fs::perms>(0775));
    EXPECT_EQ(kAtmnConfigFailed, initResult());
    const std::string refusal = "Refusing the automation component: " + plugins.string() +
                                " is writable by group or others";
    ASSERT_EQ(1u, log.allEvents().size());
    EXPECT_EQ(kNoComponentEvent, log.allEvents()[0].code);
    EXPECT_EQ(refusal, log.allEvents()[0].text);

    log.clear();
    fs::permissions(config, static_cast<fs::perms>(0664));
    EXPECT_EQ(kAtmnConfigFailed, initResult());
    ASSERT_EQ(1u, log.allEvents().size());
    EXPECT_EQ(kConfigEvent, log.allEvents()[0].code);
    EXPECT_EQ("Refusing the configuration file: " + config + " is writable by group or others",
              log.allEvents()[0].text);

    log.clear();
    fs::permissions(plugins, static_cast<fs::perms>(0755));
    fs::permissions(config, static_cast<fs::perms>(0644));
    EXPECT_EQ(kAtmnOk, initResult());
    EXPECT_EQ(0u, log.count("Refusing"));
}

TEST(AtmnSvcImplLink, TheServerNameIsCheckedWhenConfiguredAndItsAbsenceIsWarned) {
    LiveEnvironment environment;
    RecordingLogSink log;
    const std::string unchecked = "Warning: the server's name is not checked";
    // The receiver's certificate is for 127.0.0.1 and localhost.
    for (const char* name : {"", "aggr.example.net", "127.0.0.1"}) {
        SCOPED_TRACE(name);
        log.clear();
        environment.config.serverName = name;
        AtmnSvcImpl binding;
        ASSERT_EQ(kAtmnOk, binding.init(environment.writeConfig().c_str()));
        EXPECT_EQ(*name == '\0' ? 1u : 0u, log.count(unchecked));
        AggrReceiverProcess& receiver = *environment.receiver;
        const size_t before = receiver.linesContaining(" transaction ").size();
        RunThread running(binding);
        ASSERT_TRUE(eventually([&] { return binding.isRunning(); }, milliseconds(10000)));
        if (std::string(name) != "aggr.example.net") {
            EXPECT_TRUE(receiver.waitForLines(" transaction ", before + 1));
        } else {
            EXPECT_TRUE(eventually([&] { return log.count("SSL error : -25") > 0; }));
            EXPECT_EQ(before, receiver.linesContaining(" transaction ").size());
        }
        EXPECT_EQ(kAtmnOk, binding.stop());
        EXPECT_EQ(std::optional<int32_t>(kAtmnOk), running.wait());
    }
}

TEST(AtmnSvcImplStop, StopEndsRunWithoutSettingTheNamedEventAndASecondInstanceIsRefused) {
    LiveEnvironment environment;
    RecordingLogSink log;
    AtmnSvcImpl binding;
    ASSERT_EQ(kAtmnOk, binding.init(environment.writeConfig().c_str()));
    {
        AtmnSvcImpl second;
        EXPECT_EQ(kAtmnConfigFailed, second.init(environment.writeConfig().c_str()));
        EXPECT_EQ(kAtmnConfigFailed, second.run());
        EXPECT_EQ(1u, log.count("Unable to create the stop event \"AtmnStop\": " +
                                isolation::consoleEventFile("AtmnStop") +
                                " is held by another running process (process " +
                                std::to_string(getpid()) + ")"));
        EXPECT_EQ(0u, log.count("Incorrect content"));
    }
    // Whoever else waits on the event must not take our stop: stop leaves the event alone.
    std::unique_ptr<platform::NamedEvent> shared =
        platform::NamedEvent::open(AtmnSvcImpl::kStopEventName);
    ASSERT_NE(nullptr, shared);
    RunThread running(binding);
    ASSERT_TRUE(eventually([&] { return binding.isRunning(); }, milliseconds(10000)));
    EXPECT_EQ(kAtmnOk, binding.stop());
    EXPECT_EQ(std::optional<int32_t>(kAtmnOk), running.wait(milliseconds(5000)));
    EXPECT_EQ(platform::NamedEvent::WaitResult::kTimedOut, shared->wait(0));
}

TEST(AtmnSvcImplLoad, EightSimulatorThreadsEveryTransactionArrivesWhole) {
    LiveEnvironment environment;
    environment.config.automationContent = R"(
        <Simulator speed="fast" threads="8"/>
        <Scenario houseDate="2024-03-09" houseTime="18:00:00:00">
          <Playlist id="1" name="Main">
            <Entry id="M-1" name="Ident &amp; Promo" time="18:00:00:00" duration="00:00:10:00"/>
            <Entry id="M-2" name="News" segment="1" time="18:00:10:00"/>
          </Playlist>
          <Schedule>
            <Change at="1" playlist="Main" entry="M-1" status="Running"/>
            <Segment at="2" playlist="Main" entry="M-2" segment="2"/>
            <Time at="3" playlist="Main"/>
            <Remove at="4" playlist="Main" entry="M-1"/>
            <RemovePlaylist at="5" playlist="Main"/>
          </Schedule>
        </Scenario>)";
    // Per thread: AddSession, 2 AddEntry, UpdateEntry, ChangeSegment, UpdateTime, RemoveEntry,
    // RemoveSession.
    constexpr size_t kPerThread = 8;
    constexpr size_t kTotal = 1 + 8 * kPerThread;
    RecordingLogSink log;
    AtmnSvcImpl binding;
    ASSERT_EQ(kAtmnOk, binding.init(environment.writeConfig().c_str()));
    RunThread running(binding);
    ASSERT_TRUE(environment.receiver->waitForLines(" transaction ", kTotal, milliseconds(15000)))
        << environment.receiver->output();
    EXPECT_EQ(kAtmnOk, binding.stop());
    EXPECT_EQ(std::optional<int32_t>(kAtmnOk), running.wait());

    const std::vector<std::string> lines = LiveEnvironment::transactions(*environment.receiver);
    ASSERT_EQ(kTotal, lines.size());
    EXPECT_EQ(R"(session=0 action=AddStudio id="7" name="Studio A")", lines[0]);
    EXPECT_TRUE(environment.receiver->linesContaining(" error: ").empty())
        << environment.receiver->output();
    // Each playlist copy has a session of its own, opened before its first entry transaction,
    // and carries all its transactions.
    std::map<std::string, std::vector<std::string>> bySession;
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::string session = lines[i].substr(0, lines[i].find(' '));
        bySession[session].push_back(lines[i].substr(lines[i].find("action=")));
    }
    ASSERT_EQ(8u, bySession.size());
    std::set<std::string> names;
    for (const auto& [session, actions] : bySession) {
        SCOPED_TRACE(session);
        ASSERT_EQ(kPerThread, actions.size());
        EXPECT_EQ(0u, actions.front().rfind("action=AddSession", 0));
        EXPECT_EQ(0u, actions.back().rfind("action=RemoveSession", 0));
        names.insert(actions.front());
    }
    EXPECT_EQ(8u, names.size());
    EXPECT_EQ(8u * 1, log.count("Fired change segment....name:Main#"));
}

}  // namespace
