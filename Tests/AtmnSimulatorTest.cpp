#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Clock.h"
#include "Platform/ComRuntime.h"
#include "Platform/Registry.h"
#include "TempRegistry.h"
#include "Tests/ChildProcess.h"
#include "Tools/AtmnSimulator/LiveObjects.h"
#include "Tools/AtmnSimulator/Scenario.h"
#include "Tools/AtmnSimulator/SimulatorClass.h"

using namespace platform;

extern char** environ;

namespace {

// One sink call as the sink saw it.
struct Call {
    std::string kind;  // "entry", "segment", "time", "removed"
    std::string playlist;
    int32_t playlistId = 0;
    std::string entryId;
    std::string entryName;
    int32_t status = 0;
    int32_t value = 0;  // change code or segment number
    AtmnTime onAirTime{};
    std::string houseTime;  // for "time": what GetHouseTime said during the call
    uint32_t thread = 0;
};

std::string bstrText(BSTR text) {
    std::string utf8 = bstrToUtf8(text);
    SysFreeString(text);
    return utf8;
}

// A host and event sink that behaves as the service's: it takes its own references on the
// objects it is given for the duration of each call, frees every string, and may be called from
// any number of threads at once.
class FakeHost final : public IAtmnHost, public IAtmnEvents {
public:
    IAtmnSystem* system = nullptr;  // asked for the house time during time updates
    bool offerEvents = true;

    HRESULT KRI_COM_CALL QueryInterface(const IID& iid, void** object) override {
        if (iid == IID_IAtmnEvents && offerEvents) {
            *object = static_cast<IAtmnEvents*>(this);
        } else if (iid == IID_IAtmnHost) {
            *object = static_cast<IAtmnHost*>(this);
        } else {
            *object = nullptr;
            return kAtmnNotSupported;
        }
        AddRef();
        return kAtmnOk;
    }
    uint32_t KRI_COM_CALL AddRef() override { return ++references; }
    uint32_t KRI_COM_CALL Release() override { return --references; }
    HRESULT KRI_COM_CALL UnnamedHostMethod1() override { return kAtmnNotSupported; }
    HRESULT KRI_COM_CALL UnnamedHostMethod2() override { return kAtmnNotSupported; }
    HRESULT KRI_COM_CALL UnnamedHostMethod3(int32_t) override { return kAtmnNotSupported; }

    HRESULT KRI_COM_CALL onEntryChange(IAtmnPlaylist* playlist, IAtmnEntry* entry,
                                       int32_t change) override {
        record(describe("entry", playlist, entry, change));
        return kAtmnOk;
    }
    HRESULT KRI_COM_CALL onPlaylistRemoved(IAtmnPlaylist* playlist, int32_t) override {
        record(describe("removed", playlist, nullptr, 0));
        return kAtmnOk;
    }
    HRESULT KRI_COM_CALL onTimeUpdate(IAtmnPlaylist* playlist, int32_t) override {
        Call call = describe("time", playlist, nullptr, 0);
        AtmnDate date{};
        AtmnTime time{};
        system->GetHouseTime(&date, &time);
        char text[64];
        std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d:%02d", date.year,
                      date.month, date.day, time.hh, time.mm, time.ss, time.ff);
        call.houseTime = text;
        record(call);
        return kAtmnOk;
    }
    HRESULT KRI_COM_CALL onSegmentChange(IAtmnPlaylist* playlist, IAtmnEntry* entry,
                                         int32_t segment) override {
        record(describe("segment", playlist, entry, segment));
        return kAtmnOk;
    }

    // Waits (at most ten seconds) until at least count calls have come.
    bool waitForCalls(std::size_t count) {
        std::unique_lock lock(mutex);
        return arrived.wait_for(lock, std::chrono::seconds(10),
                                [&] { return calls.size() >= count; });
    }
    std::vector<Call> snapshot() {
        std::lock_guard lock(mutex);
        return calls;
    }

    std::atomic<int> references{1};

private:
    Call describe(const char* kind, IAtmnPlaylist* playlist, IAtmnEntry* entry, int32_t value) {
        playlist->AddRef();
        Call call;
        call.kind = kind;
        call.value = value;
        call.thread = currentThreadId();
        BSTR text = nullptr;
        playlist->GetName(&text);
        call.playlist = bstrText(text);
        call.playlistId = playlist->GetId();
        if (entry != nullptr) {
            entry->AddRef();
            entry->GetId(&text);
            call.entryId = bstrText(text);
            entry->GetName(&text);
            call.entryName = bstrText(text);
            entry->GetStatus(&call.status);
            entry->GetOnAirTime(&call.onAirTime);
            entry->Release();
        }
        playlist->Release();
        return call;
    }
    void record(const Call& call) {
        {
            std::lock_guard lock(mutex);
            calls.push_back(call);
        }
        arrived.notify_all();
    }

    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<Call> calls;
};

// A simulator made in process, released at the end of the test.
class Simulator {
public:
    Simulator() : system(atmnsim::createSimulator()) {}
    ~Simulator() { system->Release(); }
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    HRESULT connect(const std::string& automationXml) {
        BSTR text = bstrFromUtf8(automationXml);
        const HRESULT result = system->Connect(text);
        SysFreeString(text);
        return result;
    }
    HRESULT advise(FakeHost& host) {
        host.system = system;
        void* advise = nullptr;
        HRESULT result = system->QueryInterface(IID_IAtmnAdvise, &advise);
        if (result < 0) {
            return result;
        }
        result = static_cast<IAtmnAdvise*>(advise)->Advise(&host);
        static_cast<IAtmnAdvise*>(advise)->Release();
        return result;
    }

    IAtmnSystem* system;
};

const char* const kNewsHour = R"(
<Automation progid="Kri.AtmnSimulator">
  <Simulator speed="fast" %SETTINGS%/>
  <Scenario houseDate="2024-03-09" houseTime="23:59:50:00" fps="25">
    <Playlist id="7" name="Main">
      <Entry id="E-1" name="Ident" status="Standby" time="23:59:59:00"/>
      <Entry id="E-2" name="News" segment="1" time="00:00:00:00"/>
    </Playlist>
    <Playlist id="8" name="Promos" announce="false">
      <Entry id="P-1" name="Trailer"/>
    </Playlist>
    <Schedule>
      <Time at="15" playlist="Main"/>
      <Change at="9" playlist="Main" entry="E-1" status="Running"/>
      <Segment at="20" playlist="Main" entry="E-2" segment="2"/>
      <Add at="20" playlist="Main" entry="E-3" name="Breaking" time="00:00:30:12"/>
      <Change at="21" playlist="Promos" entry="P-1" code="4" status="Skipped"/>
      <Remove at="1:00" playlist="Main" entry="E-3"/>
      <RemovePlaylist at="1:00" playlist="Promos"/>
    </Schedule>
  </Scenario>
</Automation>)";

std::string newsHour(const std::string& settings = "") {
    std::string text = kNewsHour;
    text.replace(text.find("%SETTINGS%"), 10, settings);
    return text;
}

constexpr std::size_t kNewsHourCalls = 9;  // 2 announced entries and 7 events

std::string summary(const Call& call) {
    return call.kind + " " + call.playlist + " " + call.entryId + " " + std::to_string(call.value) +
           " " + std::to_string(call.status);
}

TEST(AtmnSimulator, PlaysTheScheduleInTimeOrderWithTheDeclaredValues) {
    const long liveBefore = atmnsim::liveObjects();
    const long bstrsBefore = liveBstrCount();
    FakeHost host;
    {
        Simulator simulator;
        ASSERT_EQ(simulator.connect(newsHour()), S_OK);
        ASSERT_EQ(simulator.advise(host), S_OK);
        ASSERT_TRUE(host.waitForCalls(kNewsHourCalls));
        EXPECT_EQ(simulator.system->Disconnect(), S_OK);
    }
    const std::vector<Call> calls = host.snapshot();
    ASSERT_EQ(calls.size(), kNewsHourCalls);
    const std::vector<std::string> expected = {
        "entry Main E-1 1 5",   "entry Main E-2 1 8",   "entry Main E-1 2 2",
        "time Main  0 0",       "segment Main E-2 2 8", "entry Main E-3 1 8",
        "entry Promos P-1 4 7", "entry Main E-3 3 8",   "removed Promos  0 0",
    };
    for (std::size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(summary(calls[i]), expected[i]) << i;
    }
    EXPECT_EQ(calls[0].entryName, "Ident");
    EXPECT_EQ(calls[0].playlistId, 7);
    EXPECT_EQ(calls[6].playlistId, 8);
    EXPECT_EQ(calls[5].entryName, "Breaking");
    EXPECT_EQ(calls[5].onAirTime.ss, 30);
    EXPECT_EQ(calls[5].onAirTime.ff, 12);
    // The house clock stands at the event's time, past midnight.
    EXPECT_EQ(calls[3].houseTime, "2024-03-10 00:00:05:00");

    EXPECT_EQ(host.references, 1);
    EXPECT_EQ(atmnsim::liveObjects(), liveBefore);
    EXPECT_EQ(liveBstrCount(), bstrsBefore);
}

TEST(AtmnSimulator, SettingsItCannotPlayAreRefusedWithTheReason) {
    struct Case {
        std::string xml;
        std::string reason;
    };
    auto scenario = [](const std::string& body) {
        return "<Automation><Scenario><Playlist id=\"1\" name=\"Main\"><Entry id=\"E-1\"/>"
               "</Playlist><Schedule>" +
               body + "</Schedule></Scenario></Automation>";
    };
    const Case cases[] = {
        {"<Automation><Scenario>", "offset"},
        {"<Automation/>", "has no <Scenario>"},
        {"<Automation><Scenario/></Automation>", "declares no <Playlist>"},
        {scenario("<Change at=\"1\" playlist=\"Other\" entry=\"E-1\"/>"),
         "no playlist is named \"Other\""},
        {scenario("<Change at=\"1\" playlist=\"Main\" entry=\"E-9\"/>"), "holds no entry \"E-9\""},
        {scenario("<Remove at=\"1\" playlist=\"Main\" entry=\"E-1\"/>"
                  "<Change at=\"2\" playlist=\"Main\" entry=\"E-1\"/>"),
         "Change 2: the playlist \"Main\" holds no entry \"E-1\" at that time"},
        {scenario("<Add at=\"1\" playlist=\"Main\" entry=\"E-1\"/>"), "already holds"},
        {scenario("<Change at=\"soon\" playlist=\"Main\" entry=\"E-1\"/>"), "\"at\" is \"soon\""},
        {scenario("<Change at=\"1\" playlist=\"Main\" entry=\"E-1\" status=\"Live\"/>"),
         "\"status\" is \"Live\""},
        {scenario("<Change at=\"1\" playlist=\"Main\" entry=\"E-1\" time=\"25:61:00\"/>"),
         "\"time\" is \"25:61:00\""},
        {scenario("<Segment at=\"1\" playlist=\"Main\" entry=\"E-1\"/>"), "\"segment\""},
        {scenario("<Pause at=\"1\" playlist=\"Main\"/>"), "Pause 1: is not an event"},
        {"<Automation><Simulator threads=\"0\"/></Automation>", "\"threads\" is \"0\""},
        {"<Automation><Simulator speed=\"-1\"/></Automation>", "\"speed\" is \"-1\""},
        {"<Automation><Simulator scenario=\"/nonexistent/s.xml\"/></Automation>",
         "/nonexistent/s.xml"},
    };
    for (const Case& c : cases) {
        try {
            atmnsim::parseSimulatorSettings(c.xml);
            ADD_FAILURE() << "accepted: " << c.xml;
        } catch (const atmnsim::ScenarioError& error) {
            EXPECT_NE(std::string(error.what()).find(c.reason), std::string::npos)
                << error.what() << "\nexpected: " << c.reason;
        }
    }
    Simulator simulator;
    EXPECT_EQ(simulator.connect("<Automation><Scenario>"), E_INVALIDARG);
    FakeHost host;
    EXPECT_EQ(simulator.advise(host), E_UNEXPECTED);
}

TEST(AtmnSimulator, ShipsAStudioHourThatPlaysFromItsFile) {
    const std::string file = KRI_SIMULATOR_SCENARIOS "/studio-hour.xml";
    std::ifstream in(file);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::map<std::string, std::size_t> declared;
    for (const char* tag :
         {"<Entry ", "<Add ", "<Change ", "<Remove ", "<Time ", "<Segment ", "<RemovePlaylist "}) {
        for (std::size_t at = text.find(tag); at != std::string::npos;
             at = text.find(tag, at + 1)) {
            ++declared[tag];
        }
    }
    const atmnsim::SimulatorSettings settings = atmnsim::parseSimulatorSettings(
        "<Automation><Simulator speed=\"fast\" scenario=\"" + file + "\"/></Automation>");
    EXPECT_EQ(settings.scenario.lengthMs, 3600 * 1000);

    FakeHost host;
    Simulator simulator;
    ASSERT_EQ(simulator.connect("<Automation><Simulator speed=\"fast\" scenario=\"" + file +
                                "\"/></Automation>"),
              S_OK);
    ASSERT_EQ(simulator.advise(host), S_OK);
    std::size_t total = 0;
    for (const auto& [tag, count] : declared) {
        total += count;
    }
    ASSERT_TRUE(host.waitForCalls(total));
    simulator.system->Disconnect();
    std::map<std::string, std::size_t> played;
    for (const Call& call : host.snapshot()) {
        ++played[call.kind];
    }
    EXPECT_EQ(played["entry"], declared["<Entry "] + declared["<Add "] + declared["<Change "] +
                                   declared["<Remove "]);
    EXPECT_EQ(played["time"], declared["<Time "]);
    EXPECT_EQ(played["segment"], declared["<Segment "]);
    EXPECT_EQ(played["removed"], declared["<RemovePlaylist "]);
}

TEST(AtmnSimulator, SeveralThreadsCallTheSinkAtOnceEachWithItsOwnPlaylists) {
    const long liveBefore = atmnsim::liveObjects();
    constexpr int kThreads = 8;
    constexpr int kRepeat = 20;
    FakeHost host;
    {
        Simulator simulator;
        ASSERT_EQ(simulator.connect(newsHour("threads=\"8\" repeat=\"20\"")), S_OK);
        ASSERT_EQ(simulator.advise(host), S_OK);
        ASSERT_TRUE(host.waitForCalls(kThreads * kRepeat * kNewsHourCalls));
        EXPECT_EQ(simulator.system->Disconnect(), S_OK);
    }
    const std::vector<Call> calls = host.snapshot();
    EXPECT_EQ(calls.size(), static_cast<std::size_t>(kThreads * kRepeat * kNewsHourCalls));
    std::map<std::string, std::vector<std::string>> byPlaylist;
    std::map<std::string, std::set<uint32_t>> threadsByPlaylist;
    std::set<uint32_t> threads;
    for (const Call& call : calls) {
        byPlaylist[call.playlist].push_back(call.kind + call.entryId);
        threadsByPlaylist[call.playlist].insert(call.thread);
        threads.insert(call.thread);
    }
    EXPECT_EQ(threads.size(), static_cast<std::size_t>(kThreads));
    EXPECT_EQ(byPlaylist.size(), static_cast<std::size_t>(2 * kThreads));
    for (int n = 1; n <= kThreads; ++n) {
        const std::string main = "Main#" + std::to_string(n);
        ASSERT_EQ(byPlaylist[main].size(), static_cast<std::size_t>(kRepeat * 7)) << main;
        EXPECT_EQ(threadsByPlaylist[main].size(), 1u) << main;
        // Each pass starts again from the declared playlist, in the same order.
        for (int pass = 1; pass < kRepeat; ++pass) {
            EXPECT_TRUE(std::equal(byPlaylist[main].begin(), byPlaylist[main].begin() + 7,
                                   byPlaylist[main].begin() + pass * 7));
        }
    }
    EXPECT_EQ(host.references, 1);
    EXPECT_EQ(atmnsim::liveObjects(), liveBefore);
}

TEST(AtmnSimulator, DisconnectStopsPlayersThatWouldRunForeverAndAdviseStartsAgain) {
    FakeHost host;
    Simulator simulator;
    ASSERT_EQ(simulator.connect(newsHour("threads=\"4\" repeat=\"forever\"")), S_OK);
    ASSERT_EQ(simulator.advise(host), S_OK);
    ASSERT_TRUE(host.waitForCalls(100));
    EXPECT_EQ(simulator.system->Disconnect(), S_OK);
    EXPECT_EQ(host.references, 1);
    const std::size_t stoppedAt = host.snapshot().size();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(host.snapshot().size(), stoppedAt);

    ASSERT_EQ(simulator.advise(host), S_OK);
    EXPECT_TRUE(host.waitForCalls(stoppedAt + 100));
    // Releasing the component while it plays stops it as well.
}

TEST(AtmnSimulator, TimedPlayKeepsTheOrderAndEnds) {
    FakeHost host;
    Simulator simulator;
    // One pass of a minute of scenario time at 2000 times real time.
    ASSERT_EQ(simulator.connect(
                  newsHour("").replace(newsHour("").find("speed=\"fast\""), 12, "speed=\"2000\"")),
              S_OK);
    ASSERT_EQ(simulator.advise(host), S_OK);
    ASSERT_TRUE(host.waitForCalls(kNewsHourCalls));
    simulator.system->Disconnect();
    const std::vector<Call> calls = host.snapshot();
    ASSERT_EQ(calls.size(), kNewsHourCalls);
    EXPECT_EQ(summary(calls.back()), "removed Promos  0 0");
}

TEST(AtmnSimulator, AnswersTheInterfacesTheServiceAsksFor) {
    Simulator simulator;
    void* object = nullptr;
    EXPECT_EQ(simulator.system->QueryInterface(IID_IAtmnEvents, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    ASSERT_EQ(simulator.system->QueryInterface(IID_IUnknown, &object), S_OK);
    EXPECT_EQ(object, static_cast<void*>(simulator.system));
    simulator.system->Release();
    EXPECT_LT(simulator.system->UnnamedSystemMethod(), 0);
    AtmnDate date{};
    AtmnTime time{};
    EXPECT_EQ(simulator.system->GetHouseTime(&date, &time), S_OK);
    EXPECT_GE(date.year, 2024);

    ASSERT_EQ(simulator.connect(newsHour()), S_OK);
    FakeHost noSink;
    noSink.offerEvents = false;
    EXPECT_LT(simulator.advise(noSink), 0);
    EXPECT_EQ(noSink.references, 1);
}

int runProgram(const std::string& program, const std::vector<std::string>& arguments) {
    ChildProcess child(program, arguments);
    const std::optional<int> status = child.waitForExit(std::chrono::seconds(30));
    EXPECT_TRUE(status) << child.tail();
    return status.value_or(-1);
}

TEST(AtmnSimulatorPlugin, RegisteredWithTheToolAndCreatedByProgId) {
    TempRegistry registry;
    ASSERT_EQ(runProgram(KRI_REGISTER_PROGRAM, {KRI_SIMULATOR_PLUGIN}), 0);
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromProgID(u"Kri.AtmnSimulator", &clsid), S_OK);
    EXPECT_EQ(clsid, atmnsim::CLSID_AtmnSimulator);

    ASSERT_GE(CoInitialize(nullptr), 0);
    void* object = nullptr;
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IAtmnSystem, &object),
              S_OK);
    auto* system = static_cast<IAtmnSystem*>(object);
    BSTR settings = bstrFromUtf8(newsHour());
    EXPECT_EQ(system->Connect(settings), S_OK);
    SysFreeString(settings);
    FakeHost host;
    host.system = system;
    ASSERT_EQ(system->QueryInterface(IID_IAtmnAdvise, &object), S_OK);
    EXPECT_EQ(static_cast<IAtmnAdvise*>(object)->Advise(&host), S_OK);
    static_cast<IAtmnAdvise*>(object)->Release();
    EXPECT_TRUE(host.waitForCalls(kNewsHourCalls));
    EXPECT_EQ(system->Disconnect(), S_OK);
    EXPECT_EQ(system->Release(), 0u);
    EXPECT_EQ(host.references, 1);
    CoUninitialize();

    ASSERT_EQ(runProgram(KRI_REGISTER_PROGRAM, {"-u", KRI_SIMULATOR_PLUGIN}), 0);
    EXPECT_EQ(CLSIDFromProgID(u"Kri.AtmnSimulator", &clsid), CO_E_CLASSSTRING);
    EXPECT_NE(runProgram(KRI_REGISTER_PROGRAM, {"/nonexistent/libNone.so"}), 0);
}

}  // namespace
