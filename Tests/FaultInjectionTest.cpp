// The fault-injection suite: KriAtmnSvc as a real process in console mode (or as a systemd
// service) with the simulator and the reference receiver on 127.0.0.1, a fault injected, and
// what must hold afterwards checked. Each test prints its figures in one closing line that
// starts with "figures ".
//
// The order checks use a scenario of numbered segment changes: every "ChangeSegment" carries
// its number as Param id, so a receiver's connection must show consecutive numbers, and every
// number the service fired while the link was up must be among them.
//
// Random moments come from a seed printed in each closing line; KRI_FAULT_SEED repeats a run.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <thread>

#include "ServerSockets.h"
#include "Tests/AggrReceiverProcess.h"
#include "Tests/Eventually.h"
#include "Tests/FaultSupport.h"
#include "Tests/Isolation.h"
#include "Tests/NotifySocket.h"
#include "Tests/ScriptedTlsServer.h"
#include "Tests/TestCerts.h"
#include "Tools/RovazoRiva/Common/AggrSvrConn.h"

namespace {

using faults::Clock;
using faults::FaultEnvironment;
using faults::LoggedProcess;
using faults::Milliseconds;
using faults::millisecondsBetween;

// The services get a /dev/shm of their own where they may: "AtmnStop" is one per machine, and a
// service of another test run would make them refuse to start.
const ::testing::Environment* const privateShm =
    ::testing::AddGlobalTestEnvironment(new isolation::PrivateShmEnvironment);

constexpr int kRounds = 20;
// Under ThreadSanitizer the service runs several times slower beside the other threaded tests;
// those runs check the same behaviour with the time limits doubled, and the other builds hold
// the real ones.
#if defined(__SANITIZE_THREAD__)
constexpr long kSlowdown = 2;
#else
constexpr long kSlowdown = 1;
#endif
constexpr long kLinkBackLimitMs = 5000 * kSlowdown;
constexpr long kStopLimitMs = 5000 * kSlowdown;
// The first announcement comes after the service's start-up (the plug-in, the TLS context, the
// link's first connect) and the pause before "AddStudio".
constexpr long kFirstAnnouncementLimitMs = 15000;
// Enough numbered segments for the longest test at one every 20 ms.
constexpr int kSegments = 12000;
constexpr int kSegmentIntervalMs = 20;
// Descriptors and resident memory after the last round against the first.
constexpr int kDescriptorMargin = 2;
constexpr long kResidentMarginKb = 2048;

const char kLinkUp[] = "accepted client";
const char kAddStudio[] = "action=AddStudio";
const char kConsoleStop[] = "Stopping Kri Automation Interfacing Service.";
const char kReconnectAttempt[] = "Conenction to Aggregation server complete";

// Sanitizers keep freed memory in quarantine and shadow it, so resident memory says nothing
// about the service's own use there; the memory figures are printed but not checked.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kMemoryChecked = false;
#else
constexpr bool kMemoryChecked = true;
#endif

uint32_t seedForTest() {
    const char* fixed = std::getenv("KRI_FAULT_SEED");
    return fixed != nullptr ? static_cast<uint32_t>(std::strtoul(fixed, nullptr, 10))
                            : std::random_device()();
}

Milliseconds randomMs(std::mt19937& random, int from, int to) {
    return Milliseconds(std::uniform_int_distribution<int>(from, to)(random));
}

void closingLine(const std::string& figures) {
    std::printf("figures %s\n", figures.c_str());
    std::fflush(stdout);
    ::testing::Test::RecordProperty("figures", figures);
}

// The service's last lines, and who else holds the stop event, for failure messages.
std::string diagnose(LoggedProcess& service) {
    return service.tail(120) + "processes with \"AtmnStop\" open:" + faults::stopEventUsers();
}

// The highest segment number in the service's "Fired change segment" trace lines so far.
long lastFiredSegment(LoggedProcess& service) {
    const std::vector<std::string>& lines = service.lines();
    for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
        const size_t at = line->find("segnum:");
        if (at != std::string::npos) {
            return std::stol(line->substr(at + 7));
        }
    }
    return 0;
}

// The highest segment number the receiver has reported.
long lastReceivedSegment(LoggedProcess& receiver) {
    long highest = 0;
    for (const faults::ReceivedConnection& c : faults::receivedConnections(receiver.lines())) {
        for (long s : c.segments) {
            highest = std::max(highest, s);
        }
    }
    return highest;
}

// The peer of the receiver's most recent accepted connection.
std::string lastAcceptedPeer(LoggedProcess& receiver) {
    const std::vector<std::string>& lines = receiver.lines();
    for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
        if (line->find(kLinkUp) != std::string::npos) {
            const size_t from = line->find(' ') + 1;
            return line->substr(from, line->find(' ', from) - from);
        }
    }
    return std::string();
}

// One round's link as the test saw it: the segments the service fired between the moment the
// receiver had the studio announced and a moment before the fault, all of which must arrive.
struct RoundLink {
    int round;
    std::string peer;
    long firstUp;  // fired before the link was known to be up; not required
    long lastUp;
};

// Checks one round's connection in the receiver's log: whole transactions in order, the
// studio announced, and every segment fired while the link was up.
void checkRoundLink(const std::vector<faults::ReceivedConnection>& connections,
                    const RoundLink& link, long& transactions) {
    const auto found = std::find_if(connections.begin(), connections.end(),
                                    [&](const auto& c) { return c.peer == link.peer; });
    ASSERT_NE(connections.end(), found) << "round " << link.round << ": " << link.peer;
    const faults::ReceivedConnection& c = *found;
    transactions += static_cast<long>(c.actions.size());
    EXPECT_EQ(std::string(), faults::sequenceBreak(c)) << "round " << link.round;
    EXPECT_NE(c.actions.end(), std::find(c.actions.begin(), c.actions.end(), "AddStudio"))
        << "round " << link.round;
    ASSERT_FALSE(c.segments.empty()) << "round " << link.round;
    EXPECT_LE(c.segments.front(), link.firstUp + 1) << "round " << link.round;
    EXPECT_GE(c.segments.back(), link.lastUp) << "round " << link.round;
}

// Lets segments flow for a random time, then waits until the receiver has every segment the
// service had fired by then; fills in the round's link figures.
void streamAndCatchUp(LoggedProcess& service, LoggedProcess& receiver, std::mt19937& random,
                      RoundLink& link) {
    link.firstUp = lastFiredSegment(service);
    std::this_thread::sleep_for(randomMs(random, 100, 1200));
    link.lastUp = lastFiredSegment(service);
    ASSERT_GT(link.lastUp, link.firstUp) << "no segments while the link was up\n"
                                         << diagnose(service);
    ASSERT_TRUE(eventually([&] { return lastReceivedSegment(receiver) >= link.lastUp; },
                           Milliseconds(5000 * kSlowdown)))
        << "segment " << link.lastUp << " did not arrive\n"
        << receiver.tail();
    link.peer = lastAcceptedPeer(receiver);
}

struct ProcessFigures {
    int descriptors = 0;
    long residentKb = 0;
};

ProcessFigures figuresOf(LoggedProcess& process) {
    return {process.openDescriptors(), process.residentKilobytes()};
}

void expectSameFigures(const ProcessFigures& first, const ProcessFigures& last) {
    EXPECT_LE(std::abs(last.descriptors - first.descriptors), kDescriptorMargin)
        << first.descriptors << " descriptors after round 1, " << last.descriptors << " after "
        << kRounds;
    if (kMemoryChecked) {
        EXPECT_LE(last.residentKb - first.residentKb, kResidentMarginKb)
            << first.residentKb << " kB after round 1, " << last.residentKb << " kB after "
            << kRounds;
    }
}

std::string roundFigures(uint32_t seed, const std::vector<long>& linkBack, long transactions,
                         const ProcessFigures& first, const ProcessFigures& last) {
    long total = 0;
    for (long ms : linkBack) {
        total += ms;
    }
    const long mean = linkBack.empty() ? 0 : total / static_cast<long>(linkBack.size());
    const long worst = linkBack.empty() ? 0 : *std::max_element(linkBack.begin(), linkBack.end());
    return "rounds=" + std::to_string(kRounds) + " seed=" + std::to_string(seed) +
           " link-back-ms mean=" + std::to_string(mean) + " max=" + std::to_string(worst) +
           " transactions=" + std::to_string(transactions) +
           " fds=" + std::to_string(first.descriptors) + "->" + std::to_string(last.descriptors) +
           " rss-kB=" + std::to_string(first.residentKb) + "->" + std::to_string(last.residentKb);
}

// A service whose simulator fires numbered segments, against `port`.
std::unique_ptr<LoggedProcess> startSegmentService(FaultEnvironment& environment, uint16_t port) {
    const std::string scenario =
        environment.writeScenario("segments.xml", faults::segmentScenario(kSegments));
    environment.config.automationContent = faults::segmentAutomation(scenario, kSegmentIntervalMs);
    environment.config.port = port;
    environment.writeConfig();
    return environment.startService();
}

void stopService(LoggedProcess& service) {
    service.sendSignal(SIGINT);
    EXPECT_EQ(std::optional<int>(0), service.waitForExit(Milliseconds(kStopLimitMs)))
        << diagnose(service);
}

// Every fourth round the receiver is also killed once before the studio is announced, during
// the pause between the link coming up and "AddStudio"; the link must come back from that too.
TEST(FaultInjection, ReceiverKilledAndRestartedTwentyTimes) {
    const uint32_t seed = seedForTest();
    std::mt19937 random(seed);
    FaultEnvironment environment;
    std::unique_ptr<LoggedProcess> receiver = environment.startReceiver("receiver-1.log");
    const uint16_t port = FaultEnvironment::listeningPort(*receiver);
    std::unique_ptr<LoggedProcess> service = startSegmentService(environment, port);

    std::vector<long> linkBack;
    long transactions = 0;
    int earlyKills = 0;
    ProcessFigures first;
    ProcessFigures last;
    auto killReceiver = [&] {
        receiver->sendSignal(SIGKILL);
        ASSERT_TRUE(receiver->waitForExit(Milliseconds(5000)));
        EXPECT_EQ(0u, receiver->count(" error: ")) << receiver->tail();
        for (const faults::ReceivedConnection& c : faults::receivedConnections(receiver->lines())) {
            EXPECT_EQ(std::string(), faults::sequenceBreak(c));
        }
    };
    auto restartAndAwaitLink = [&](const std::string& logName) {
        std::this_thread::sleep_for(randomMs(random, 0, 800));
        receiver = environment.startReceiver(logName, port);
        const Clock::time_point listening = Clock::now();
        ASSERT_TRUE(receiver->waitForLines(kLinkUp, 1, Milliseconds(15000))) << logName << "\n"
                                                                             << diagnose(*service);
        linkBack.push_back(millisecondsBetween(listening, Clock::now()));
        EXPECT_LE(linkBack.back(), kLinkBackLimitMs) << logName;
    };
    for (int round = 1; round <= kRounds; ++round) {
        const std::string name = "receiver-" + std::to_string(round);
        if (round > 1) {
            ASSERT_NO_FATAL_FAILURE(restartAndAwaitLink(name + ".log"));
        }
        if (round % 4 == 0) {
            std::this_thread::sleep_for(randomMs(random, 0, 1800));
            ASSERT_NO_FATAL_FAILURE(killReceiver());
            ++earlyKills;
            ASSERT_NO_FATAL_FAILURE(restartAndAwaitLink(name + "-again.log"));
        }
        ASSERT_TRUE(receiver->waitForLines(
            kAddStudio, 1, Milliseconds(round == 1 ? kFirstAnnouncementLimitMs : 5000 * kSlowdown)))
            << "round " << round << "\n"
            << receiver->tail();
        RoundLink link{round, "", 0, 0};
        ASSERT_NO_FATAL_FAILURE(streamAndCatchUp(*service, *receiver, random, link));
        std::this_thread::sleep_for(randomMs(random, 0, 300));
        if (round == 1) {
            first = figuresOf(*service);
        } else if (round == kRounds) {
            last = figuresOf(*service);
        }
        ASSERT_NO_FATAL_FAILURE(killReceiver());
        checkRoundLink(faults::receivedConnections(receiver->lines()), link, transactions);
        ASSERT_TRUE(service->running()) << diagnose(*service);
    }
    expectSameFigures(first, last);
    stopService(*service);
    closingLine("receiver-killed " + roundFigures(seed, linkBack, transactions, first, last) +
                " early-kills=" + std::to_string(earlyKills));
}

TEST(FaultInjection, ConnectionsResetMidStream) {
    const uint32_t seed = seedForTest();
    std::mt19937 random(seed);
    FaultEnvironment environment;
    std::unique_ptr<LoggedProcess> receiver = environment.startReceiver("receiver.log");
    faults::CuttingProxy proxy(FaultEnvironment::listeningPort(*receiver));
    std::unique_ptr<LoggedProcess> service = startSegmentService(environment, proxy.port());

    std::vector<long> linkBack;
    std::vector<RoundLink> links;
    ProcessFigures first;
    ProcessFigures last;
    Clock::time_point cut = Clock::now();
    for (int round = 1; round <= kRounds; ++round) {
        ASSERT_TRUE(
            receiver->waitForLines(kLinkUp, static_cast<size_t>(round), Milliseconds(15000)))
            << "round " << round << "\n"
            << diagnose(*service);
        if (round > 1) {
            linkBack.push_back(millisecondsBetween(cut, Clock::now()));
            EXPECT_LE(linkBack.back(), kLinkBackLimitMs) << "round " << round;
        }
        ASSERT_TRUE(receiver->waitForLines(kAddStudio, static_cast<size_t>(round),
                                           Milliseconds(5000 * kSlowdown)))
            << "round " << round << "\n"
            << receiver->tail();
        RoundLink link{round, "", 0, 0};
        ASSERT_NO_FATAL_FAILURE(streamAndCatchUp(*service, *receiver, random, link));
        links.push_back(link);
        std::this_thread::sleep_for(randomMs(random, 0, 300));
        if (round == 1) {
            first = figuresOf(*service);
        } else if (round == kRounds) {
            last = figuresOf(*service);
        }
        EXPECT_EQ(1, proxy.cutAll()) << "round " << round;
        cut = Clock::now();
        ASSERT_TRUE(service->running()) << diagnose(*service);
    }
    const std::vector<faults::ReceivedConnection> connections =
        faults::receivedConnections(receiver->lines());
    long transactions = 0;
    for (const RoundLink& link : links) {
        checkRoundLink(connections, link, transactions);
    }
    // A cut connection ends in a TLS error at the receiver; what it did receive was well formed.
    EXPECT_EQ(0u, receiver->count("malformed")) << receiver->tail();
    expectSameFigures(first, last);
    stopService(*service);
    closingLine("connections-reset " + roundFigures(seed, linkBack, transactions, first, last) +
                " proxied=" + std::to_string(proxy.connections()));
}

// An Automation element whose simulator threads fire segment changes one every `intervalMs`,
// each carrying an entry document of a few kilobytes (the entry's identifier is long). With
// entry changes, every tenth event changes the entry instead, which the service answers after
// its pause of 200 ms.
std::string floodAutomation(int threads, int intervalMs, bool entryChanges = false) {
    const std::string id(3000, 'f');
    std::string schedule;
    for (int i = 1; i <= 50; ++i) {
        const std::string n = std::to_string(i);
        const bool change = entryChanges && i % 10 == 0;
        schedule += std::string(change ? "<Change" : "<Segment") + " at=\"" + n +
                    "\" playlist=\"Flood\" entry=\"" + id + "\" " +
                    (change ? std::string("status=\"") + (i % 20 == 0 ? "Running" : "Done")
                            : "segment=\"" + n) +
                    "\"/>";
    }
    return "<Simulator threads=\"" + std::to_string(threads) + "\" interval=\"" +
           std::to_string(intervalMs) +
           "\" repeat=\"forever\"/>"
           "<Scenario houseDate=\"2024-03-09\" houseTime=\"18:00:00:00\">"
           "<Playlist id=\"1\" name=\"Flood\" announce=\"false\"><Entry id=\"" +
           id + "\" name=\"Flood\"/></Playlist><Schedule>" + schedule + "</Schedule></Scenario>";
}

// Samples the service's resident memory every 20 ms until `done` holds or the time runs out;
// the highest value seen.
long peakResidentWhile(LoggedProcess& service, const std::function<bool()>& done,
                       Milliseconds timeout) {
    long peak = 0;
    eventually(
        [&] {
            peak = std::max(peak, service.residentKilobytes());
            return done();
        },
        timeout);
    return peak;
}

TEST(FaultInjection, ReceiverThatStopsReading) {
    FaultEnvironment environment;
    std::unique_ptr<LoggedProcess> receiver =
        environment.startReceiver("receiver.log", 0, {"--stop-reading"});
    environment.config.automationContent = floodAutomation(2, 1);
    environment.config.port = FaultEnvironment::listeningPort(*receiver);
    environment.config.delivery = "<Delivery backlogMB=\"8\" deadPeerSeconds=\"3\"/>";
    environment.writeConfig();
    std::unique_ptr<LoggedProcess> service = environment.startService();
    // The flood starts once the studio is announced, two seconds after the link is up.
    ASSERT_TRUE(receiver->waitForLines(kLinkUp, 1, Milliseconds(10000))) << diagnose(*service);
    const long baselineKb = service->residentKilobytes();
    const Clock::time_point start = Clock::now();

    // The stall check or the kernel's user time-out, whichever comes first, ends the connection.
    const char kStalled[] = "SSL error : -10060 (";
    Clock::time_point firstStall{};
    const long peakKb = peakResidentWhile(
        *service,
        [&] {
            if (firstStall == Clock::time_point{} && service->count(kStalled) > 0) {
                firstStall = Clock::now();
            }
            return receiver->count(kLinkUp) >= 3 || !service->running();
        },
        Milliseconds(30000));
    ASSERT_TRUE(service->running()) << diagnose(*service);
    // The stalled connection is given up after deadPeerSeconds and the link rebuilt; the new
    // link stalls in the same way. The backlog keeps the flood within its bound meanwhile.
    ASSERT_NE(Clock::time_point{}, firstStall) << diagnose(*service);
    EXPECT_GE(receiver->count(kLinkUp), 3u) << receiver->tail();
    // Rate-limited: one line per reason a minute.
    EXPECT_LE(service->count(kStalled), 2u) << diagnose(*service);
    const long boundKb = 2 * 8 * 1024 + 16 * 1024;
    if (kMemoryChecked) {
        EXPECT_LE(peakKb - baselineKb, boundKb);
    }
    const size_t linkLines = service->count("SSL ");
    const size_t backlogFull = service->count("Backlog full (8 MiB)");
    stopService(*service);
    closingLine("stalled-receiver stall-noticed-after-ms=" +
                std::to_string(millisecondsBetween(start, firstStall)) +
                " links=" + std::to_string(receiver->count(kLinkUp)) + " link-lines=" +
                std::to_string(linkLines) + " backlog-full-lines=" + std::to_string(backlogFull) +
                " rss-kB baseline=" + std::to_string(baselineKb) +
                " peak=" + std::to_string(peakKb) + " bound=+" + std::to_string(boundKb));
}

TEST(FaultInjection, ReceiverWithACertificateFromAnotherCa) {
    FaultEnvironment environment;
    const testcerts::CertFiles& certs = testcerts::testCerts();
    const std::string received = environment.file("received.txt").string();
    std::unique_ptr<LoggedProcess> receiver =
        environment.startReceiver("receiver.log", 0,
                                  {"--cert", certs.otherServerCert, "--key", certs.otherServerKey,
                                   "--transactions", received});
    environment.config.port = FaultEnvironment::listeningPort(*receiver);
    environment.writeConfig();
    std::unique_ptr<LoggedProcess> service = environment.startService();

    const Clock::time_point start = Clock::now();
    ASSERT_TRUE(receiver->waitForLines(" connected", 3, Milliseconds(15000))) << diagnose(*service);
    const long elapsed = millisecondsBetween(start, Clock::now());
    EXPECT_TRUE(service->running());
    // Every attempt fails the same way: one line says so, the repeats are counted for the
    // minute's summary.
    EXPECT_EQ(1u, service->count("SSL error : -25 (the server's certificate failed verification"))
        << diagnose(*service);
    // The receiver may see its side of the handshake complete (the service checks the server's
    // certificate once the handshake is over), but it never gets a message, not even empty.
    EXPECT_EQ(0u, receiver->count(" transaction ")) << receiver->tail();
    EXPECT_EQ(0u, receiver->count("empty frame")) << receiver->tail();
    EXPECT_EQ(0u, std::filesystem::file_size(received));
    EXPECT_EQ(0u, service->count("SSL connect successful")) << diagnose(*service);
    stopService(*service);
    closingLine(
        "other-ca verification-failures=" + std::to_string(service->count("SSL error : -25")) +
        " attempts=" + std::to_string(receiver->count(" connected")) +
        " in-ms=" + std::to_string(elapsed) +
        " application-bytes=" + std::to_string(std::filesystem::file_size(received)));
}

struct RogueCase {
    faults::RogueServer::Behaviour behaviour;
    const char* name;
    const char* serviceSees;  // a trace line the misbehaviour must cause
};

void PrintTo(const RogueCase& c, std::ostream* out) {
    *out << c.name;
}

class MisbehavingServer : public ::testing::TestWithParam<RogueCase> {};

TEST_P(MisbehavingServer, NeitherCrashesNorGrowsAndRebuildsTheLink) {
    const RogueCase& c = GetParam();
    FaultEnvironment environment;
    faults::RogueServer rogue(c.behaviour, testcerts::testCerts());
    environment.config.port = rogue.port();
    environment.writeConfig();
    std::unique_ptr<LoggedProcess> service = environment.startService();
    ASSERT_TRUE(service->waitForLines("Conenction to Automation System complete", 1))
        << diagnose(*service);
    const long baselineKb = service->residentKilobytes();

    const long peakKb = peakResidentWhile(
        *service, [&] { return rogue.connections() >= 3 || !service->running(); },
        Milliseconds(30000));
    ASSERT_TRUE(service->running()) << diagnose(*service);
    EXPECT_GE(rogue.connections(), 3) << diagnose(*service);
    EXPECT_GT(service->count(c.serviceSees), 0u) << diagnose(*service);
    // The largest message the service takes in, plus room for the process's own variation.
    const long boundKb = ConnectedSocket::kMaxMessageSize / 1024 + 16 * 1024;
    if (kMemoryChecked) {
        EXPECT_LE(peakKb - baselineKb, boundKb);
    }
    if (c.behaviour == faults::RogueServer::Behaviour::EndlessStream) {
        // The service kept writing while it was flooded: its announcement got through.
        EXPECT_GT(rogue.bytesReceived(), 0u);
    }
    stopService(*service);
    closingLine(std::string("misbehaving-server ") + c.name +
                " connections=" + std::to_string(rogue.connections()) +
                " handshakes=" + std::to_string(rogue.handshakes()) +
                " bytes-sent=" + std::to_string(rogue.bytesSent()) +
                " bytes-received=" + std::to_string(rogue.bytesReceived()) +
                " rss-kB baseline=" + std::to_string(baselineKb) +
                " peak=" + std::to_string(peakKb) + " bound=+" + std::to_string(boundKb));
}

INSTANTIATE_TEST_SUITE_P(
    FaultInjection, MisbehavingServer,
    ::testing::Values(
        // The library gives up on the handshake, and the socket treats that as a close.
        RogueCase{faults::RogueServer::Behaviour::PlainGarbage, "plain-garbage",
                  "SSL error : -10053"},
        // What the server sends (random application data, a 4 GiB header) is dropped; the
        // server's close then ends the link.
        RogueCase{faults::RogueServer::Behaviour::TlsGarbage, "tls-garbage",
                  "(the server closed the connection)"},
        RogueCase{faults::RogueServer::Behaviour::HugeHeader, "header-ffffffff",
                  "(the server closed the connection)"},
        RogueCase{faults::RogueServer::Behaviour::EndlessStream, "endless-stream",
                  "SSL connect successful"}),
    [](const ::testing::TestParamInfo<RogueCase>& info) {
        std::string name = info.param.name;
        std::replace(name.begin(), name.end(), '-', '_');
        return name;
    });

// A name that fails inside this machine's resolver: its first label is longer than the 63
// characters a DNS label may have, so the resolver refuses it before it would send a query, and
// no hosts file names it.
const std::string kUnresolvableHost = std::string(64, 'a') + ".invalid";

TEST(FaultInjection, HostUnresolvableAtStartThenResolvable) {
    FaultEnvironment environment;
    std::unique_ptr<LoggedProcess> receiver = environment.startReceiver("receiver.log");
    environment.config.port = FaultEnvironment::listeningPort(*receiver);
    environment.config.ip = kUnresolvableHost;
    environment.writeConfig();
    std::unique_ptr<LoggedProcess> service = environment.startService();

    ASSERT_TRUE(service->waitForLines("Unable to resolve host", 2, Milliseconds(15000)))
        << diagnose(*service);
    EXPECT_EQ(0u, receiver->count(" connected"));
    environment.config.ip = "127.0.0.1";
    environment.writeConfig();
    const Clock::time_point edited = Clock::now();
    ASSERT_TRUE(receiver->waitForLines(kAddStudio, 1, Milliseconds(10000))) << diagnose(*service);
    const long connectedAfter = millisecondsBetween(edited, Clock::now());
    EXPECT_TRUE(service->running());
    const size_t failures = service->count("Unable to resolve host");
    stopService(*service);
    closingLine("unresolvable-host resolve-failures=" + std::to_string(failures) +
                " studio-announced-ms-after-edit=" + std::to_string(connectedAfter));
}

TEST(FaultInjection, ConfigurationEditedAndCorruptedWhileRunning) {
    FaultEnvironment environment;
    std::unique_ptr<LoggedProcess> first = environment.startReceiver("receiver-a.log");
    std::unique_ptr<LoggedProcess> second = environment.startReceiver("receiver-b.log");
    environment.config.port = FaultEnvironment::listeningPort(*first);
    environment.writeConfig();
    std::unique_ptr<LoggedProcess> service = environment.startService();
    ASSERT_TRUE(first->waitForLines(kAddStudio, 1)) << diagnose(*service);

    // A new port takes effect at the next reconnection, not before.
    environment.config.port = FaultEnvironment::listeningPort(*second);
    environment.writeConfig();
    std::this_thread::sleep_for(Milliseconds(1500));
    EXPECT_EQ(0u, second->count(" connected"));
    first->sendSignal(SIGKILL);
    const Clock::time_point lost = Clock::now();
    ASSERT_TRUE(second->waitForLines(kAddStudio, 1)) << diagnose(*service);
    const long switchedMs = millisecondsBetween(lost, Clock::now());

    // A file that cannot be read or parsed gives "Unable to reconnect" at every attempt, and no
    // connection is tried; the service keeps trying.
    second->sendSignal(SIGTERM);
    ASSERT_TRUE(second->waitForExit(Milliseconds(5000)));
    const std::string good = environment.config.text();
    const std::vector<std::pair<std::string, std::string>> corruptions = {
        {"truncated", good.substr(0, good.size() / 2)},
        {"empty", ""},
        {"not-xml", "\x01\x02 KriAtmnSvc \xff\xfe"},
        {"removed", ""},
    };
    // The link to the stopped receiver may still be tried once with the good file; the line of
    // that attempt is not written when one was written less than a minute before.
    ASSERT_TRUE(service->waitForLines(kReconnectAttempt, 2)) << diagnose(*service);
    for (const auto& [name, text] : corruptions) {
        if (name == "removed") {
            std::filesystem::remove(environment.configPath());
        } else {
            environment.writeConfigText(text);
        }
        const size_t attempts = service->count(kReconnectAttempt);
        const size_t unable = service->count("Unable to reconnect");
        ASSERT_TRUE(service->waitForLines("Unable to reconnect", unable + 2, Milliseconds(10000)))
            << name << "\n"
            << diagnose(*service);
        EXPECT_LE(service->count(kReconnectAttempt), attempts + 1) << name;
        ASSERT_TRUE(service->running()) << name;
    }
    // A well-formed file without the server's element is not an error: its empty host is tried.
    environment.writeConfigText("<KriAtmnSvc><Studio id=\"7\" name=\"Studio A\"/></KriAtmnSvc>");
    ASSERT_TRUE(service->waitForLines("Unable to resolve host", 1, Milliseconds(10000)))
        << diagnose(*service);

    // A good file again, naming a third receiver: the link follows it.
    std::unique_ptr<LoggedProcess> third = environment.startReceiver("receiver-c.log");
    environment.config.port = FaultEnvironment::listeningPort(*third);
    environment.writeConfig();
    const Clock::time_point repaired = Clock::now();
    ASSERT_TRUE(third->waitForLines(kAddStudio, 1, Milliseconds(10000))) << diagnose(*service);
    const long repairedMs = millisecondsBetween(repaired, Clock::now());
    const size_t unable = service->count("Unable to reconnect");
    stopService(*service);
    closingLine("configuration new-port-used-ms-after-loss=" + std::to_string(switchedMs) +
                " corruptions=" + std::to_string(corruptions.size()) +
                " unable-to-reconnect=" + std::to_string(unable) +
                " studio-announced-ms-after-repair=" + std::to_string(repairedMs));
}

// A port of 127.0.0.1 on which nothing listens.
uint16_t closedPort() {
    const int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    close(probe);
    return ntohs(address.sin_port);
}

enum class StopMoment { BeforeLinkUp, DuringReconnection, DuringBurst };
enum class StopWay { CtrlC, SystemdStop };

struct StopCase {
    StopMoment moment;
    StopWay way;
    const char* name;
};

void PrintTo(const StopCase& c, std::ostream* out) {
    *out << c.name;
}

class StopDuring : public ::testing::TestWithParam<StopCase> {};

TEST_P(StopDuring, EndsWithinFiveSecondsInOrderWithNothingLeft) {
    const StopCase& c = GetParam();
    const uint32_t seed = seedForTest();
    std::mt19937 random(seed);
    FaultEnvironment environment;
    std::unique_ptr<NotifySocket> notify;
    std::vector<std::string> serviceEnvironment;
    if (c.way == StopWay::SystemdStop) {
        notify = std::make_unique<NotifySocket>(environment.file("notify"));
        serviceEnvironment.push_back(notify->environment());
    }
    const bool console = c.way == StopWay::CtrlC;
    std::unique_ptr<LoggedProcess> receiver;
    std::unique_ptr<LoggedProcess> service;
    switch (c.moment) {
        case StopMoment::BeforeLinkUp:
            environment.config.port = closedPort();
            environment.writeConfig();
            service = environment.startService("service.log", serviceEnvironment, console);
            std::this_thread::sleep_for(randomMs(random, 300, 3500));
            break;
        case StopMoment::DuringReconnection:
            receiver = environment.startReceiver("receiver.log");
            environment.config.port = FaultEnvironment::listeningPort(*receiver);
            environment.writeConfig();
            service = environment.startService("service.log", serviceEnvironment, console);
            ASSERT_TRUE(receiver->waitForLines(kAddStudio, 1)) << diagnose(*service);
            receiver->sendSignal(SIGKILL);
            ASSERT_TRUE(receiver->waitForExit());
            receiver.reset();
            // The reconnection has begun and pauses before it announces the studio.
            ASSERT_TRUE(service->waitForLines(kReconnectAttempt, 2)) << diagnose(*service);
            std::this_thread::sleep_for(randomMs(random, 0, 1500));
            break;
        case StopMoment::DuringBurst:
            receiver = environment.startReceiver("receiver.log");
            environment.config.port = FaultEnvironment::listeningPort(*receiver);
            environment.config.automationContent = floodAutomation(8, 1, true);
            environment.writeConfig();
            service = environment.startService("service.log", serviceEnvironment, console);
            ASSERT_TRUE(receiver->waitForLines(" transaction ", 300)) << diagnose(*service);
            break;
    }
    ASSERT_TRUE(service->running()) << diagnose(*service);

    const Clock::time_point stopAt = Clock::now();
    service->sendSignal(console ? SIGINT : SIGTERM);
    const std::optional<int> exitStatus = service->waitForExit(Milliseconds(15000));
    const long stoppedMs = millisecondsBetween(stopAt, Clock::now());
    ASSERT_EQ(std::optional<int>(0), exitStatus) << diagnose(*service);
    EXPECT_LE(stoppedMs, kStopLimitMs);
    EXPECT_FALSE(service->groupAlive());

    const std::vector<std::string>& lines = service->lines();
    std::string order;
    if (console) {
        const auto stopping = std::find(lines.begin(), lines.end(), kConsoleStop);
        ASSERT_NE(lines.end(), stopping) << diagnose(*service);
        // Nothing is connected again once the stop has begun.
        for (auto line = stopping; line != lines.end(); ++line) {
            EXPECT_EQ(std::string::npos, line->find(kReconnectAttempt)) << *line;
            EXPECT_EQ(std::string::npos, line->find("SSL connect successful")) << *line;
        }
        order = "console-stop-line";
    } else {
        const std::vector<std::string> states = notify->states();
        const std::vector<std::string> expected = {"START_PENDING", "RUNNING", "STOP_PENDING",
                                                   "STOPPED"};
        EXPECT_EQ(expected, states);
        for (const std::string& state : states) {
            order += (order.empty() ? "" : ",") + state;
        }
    }
    if (c.moment == StopMoment::BeforeLinkUp) {
        EXPECT_EQ(0u, service->count("SSL connect successful")) << diagnose(*service);
    }
    if (receiver) {
        // The service's end of every link is closed.
        EXPECT_TRUE(eventually(
            [&] { return receiver->count("closed transactions") == receiver->count(" connected"); },
            Milliseconds(5000)))
            << receiver->tail();
    }
    closingLine(std::string("stop ") + c.name + " seed=" + std::to_string(seed) +
                " stopped-in-ms=" + std::to_string(stoppedMs) +
                " exit=" + std::to_string(*exitStatus) + " order=" + order +
                " trace-lines=" + std::to_string(lines.size()));
}

INSTANTIATE_TEST_SUITE_P(
    FaultInjection, StopDuring,
    ::testing::Values(
        StopCase{StopMoment::BeforeLinkUp, StopWay::CtrlC, "before-link-up ctrl-c"},
        StopCase{StopMoment::BeforeLinkUp, StopWay::SystemdStop, "before-link-up sigterm"},
        StopCase{StopMoment::DuringReconnection, StopWay::CtrlC, "reconnection ctrl-c"},
        StopCase{StopMoment::DuringReconnection, StopWay::SystemdStop, "reconnection sigterm"},
        StopCase{StopMoment::DuringBurst, StopWay::CtrlC, "burst ctrl-c"},
        StopCase{StopMoment::DuringBurst, StopWay::SystemdStop, "burst sigterm"}),
    [](const ::testing::TestParamInfo<StopCase>& info) {
        std::string name = info.param.name;
        for (char& ch : name) {
            ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
        }
        return name;
    });

// Events keep coming while the server cannot be reached; an orderly stop says how many it
// leaves undelivered, although the process ends without running the client's destructor.
TEST(FaultInjection, AnOrderlyStopWithPendingEventsSaysWhatItLeaves) {
    FaultEnvironment environment;
    environment.config.port = closedPort();
    environment.config.automationContent = floodAutomation(1, 20);
    environment.writeConfig();
    std::unique_ptr<LoggedProcess> service = environment.startService();
    ASSERT_TRUE(service->waitForLines("Fired change segment", 20)) << diagnose(*service);
    service->sendSignal(SIGTERM);
    ASSERT_EQ(std::optional<int>(0), service->waitForExit(Milliseconds(15000)))
        << diagnose(*service);
    const std::vector<std::string> left = service->linesContaining(
        " transactions not delivered: the service stopped before the "
        "server acknowledged them");
    ASSERT_EQ(1u, left.size()) << diagnose(*service);
    const size_t end = left[0].find(" transactions not delivered");
    const size_t start = left[0].find_last_not_of("0123456789", end - 1) + 1;
    EXPECT_GE(std::atol(left[0].substr(start, end - start).c_str()), 20) << left[0];
}

}  // namespace

namespace {

using Connection = TlsTestServer::Connection;
constexpr size_t kHourEvents = 62;

// The events of all connections, each connection's "AddStudio" left out, and so the frames the
// server saw twice: those the service wrote again at the start of the next connection after
// one ended badly (as many as its lines "N transactions go again" say, in order; one such end
// per run here) that repeat the end of what the connection before received. The rest of them
// the server had not read.
std::vector<std::string> eventsOnce(const std::vector<std::vector<std::string>>& connections,
                                    LoggedProcess& service) {
    std::vector<size_t> resent;
    for (const std::string& line : service.linesContaining(" transactions go again ")) {
        size_t count = 0;
        if (std::sscanf(line.c_str() + line.find_first_of("0123456789"), "%zu", &count) == 1) {
            resent.push_back(count);
        }
    }
    std::vector<std::string> events;
    std::vector<std::string> previous;
    for (size_t c = 0; c < connections.size(); ++c) {
        const std::vector<std::string>& frames = connections[c];
        const std::vector<std::string> current(frames.begin() + (frames.empty() ? 0 : 1),
                                               frames.end());
        size_t repeated = c == 0 || c - 1 >= resent.size()
                              ? 0
                              : std::min({resent[c - 1], current.size(), previous.size()});
        while (repeated > 0 && !std::equal(current.begin(), current.begin() + repeated,
                                           previous.end() - repeated)) {
            --repeated;
        }
        events.insert(events.end(), current.begin() + repeated, current.end());
        previous = current;
    }
    return events;
}

// The shipped studio hour at 200 times its speed against a scripted server; returns the
// events the server received over all connections, less those it saw twice, once there are
// `expected` and no more come (or the time-out passed), after checking that every connection
// opened with "AddStudio".
std::vector<std::string> playHour(std::vector<ScriptedTlsServer::Script> scripts, size_t expected,
                                  const char* delivery,
                                  std::function<void(ScriptedTlsServer&)> duringRun = {}) {
    FaultEnvironment environment;
    ScriptedTlsServer aggr(std::move(scripts));
    environment.config.automationContent = std::string("<Simulator speed=\"200\" scenario=\"") +
                                           KRI_SIMULATOR_SCENARIOS "/studio-hour.xml\"/>";
    environment.config.port = aggr.server->port();
    environment.config.delivery = delivery;
    environment.writeConfig();
    std::unique_ptr<LoggedProcess> service = environment.startService();
    if (duringRun) {
        duringRun(aggr);
    }
    // Duplicates count towards `expected`, so the hour is over once that many came and then no
    // more for a while (it sends an event every few hundred milliseconds).
    size_t received = 0;
    auto lastArrival = std::chrono::steady_clock::now();
    EXPECT_TRUE(eventually(
        [&] {
            const size_t now = aggr.eventsReceived().size();
            if (now != received) {
                received = now;
                lastArrival = std::chrono::steady_clock::now();
            }
            return received >= expected &&
                   std::chrono::steady_clock::now() - lastArrival >= Milliseconds(2000);
        },
        Milliseconds(60000)))
        << diagnose(*service);
    stopService(*service);
    aggr.release.store(true);
    for (const auto& frames : aggr.connections()) {
        if (!frames.empty()) {
            EXPECT_EQ("AddStudio", frames.front()) << diagnose(*service);
        }
    }
    return eventsOnce(aggr.connections(), *service);
}

// Each entry's (and each action's) events in the order they came: the order the server must
// keep. Playlists run on threads of their own, so only events of one entry are ordered.
std::map<std::string, std::vector<std::string>> byEntry(const std::vector<std::string>& events) {
    std::map<std::string, std::vector<std::string>> entries;
    for (const std::string& event : events) {
        const size_t space = event.find(' ');
        entries[space == std::string::npos ? event : event.substr(space + 1)].push_back(event);
    }
    return entries;
}

}  // namespace

// The hour, 62 events, with the server ending its TLS session politely after 20 frames, going
// away for 3 s after 20 frames, and dying silently after 20 frames: every event arrives, each
// entry's in order, and every connection opens with AddStudio.
TEST(FaultInjection, ShippedHourArrivesWholeAcrossLinkFaults) {
    const std::vector<std::string> healthy = playHour({}, kHourEvents, "");
    ASSERT_EQ(kHourEvents, healthy.size());

    const auto politeClose = [](Connection& c, ScriptedTlsServer& s) {
        s.readFrames(c, 21);
        c.sendCloseNotify();
        // A polite server still reads what was on its way until the client's close.
        s.readAll(c);
    };
    const std::vector<std::string> afterClose = playHour({politeClose}, kHourEvents, "");
    EXPECT_EQ(byEntry(healthy), byEntry(afterClose));

    // The server handles what it received, goes away and is back 3 s later.
    const std::vector<std::string> afterOutage = playHour(
        {[](Connection& c, ScriptedTlsServer& s) {
            s.readFrames(c, 21);
            s.readUntilQuiet(c, 50);
            s.release.store(true);
        }},
        kHourEvents, "", [](ScriptedTlsServer& aggr) {
            ASSERT_TRUE(eventually([&] { return aggr.release.load(); }, Milliseconds(30000)));
            const uint16_t port = aggr.server->port();
            aggr.server->shutDown();
            std::this_thread::sleep_for(Milliseconds(3000));
            aggr.start(TlsTestServer::Options{.port = port});
        });
    EXPECT_EQ(byEntry(healthy), byEntry(afterOutage));

    // The host stays dead for longer than deadPeerSeconds; then its connection goes, and what
    // its TCP acknowledged just before it died goes again.
    const auto silentDeath = [](Connection& c, ScriptedTlsServer& s) {
        s.readFrames(c, 21);
        s.readUntilQuiet(c, 50);
        c.blackhole();
        std::this_thread::sleep_for(Milliseconds(8000));
    };
    const std::vector<std::string> afterDeath =
        playHour({silentDeath}, kHourEvents, "<Delivery deadPeerSeconds=\"5\"/>");
    EXPECT_EQ(byEntry(healthy), byEntry(afterDeath));
    closingLine("shipped-hour events healthy=" + std::to_string(healthy.size()) +
                " polite-close=" + std::to_string(afterClose.size()) +
                " outage-3s=" + std::to_string(afterOutage.size()) +
                " silent-death=" + std::to_string(afterDeath.size()));
}

namespace {

enum class NewLink { kReload, kRestart };

void PrintTo(NewLink link, std::ostream* out) {
    *out << (link == NewLink::kReload ? "reload" : "restart");
}

class SlowLinkThen : public ::testing::TestWithParam<NewLink> {};

std::unique_ptr<CAggrSvrClient> slowLinkClient(uint16_t port) {
    const testcerts::CertFiles& certs = testcerts::testCerts();
    auto client = std::make_unique<CAggrSvrClient>();
    client->setupSsl(certs.clientCert.c_str(), certs.clientKey.c_str(), certs.caCert.c_str());
    client->connect("127.0.0.1", port);
    client->addStudio("Studio", "1");
    return client;
}

// The peer of the n-th "AddStudio" the receiver logged, and that line's place among its lines.
std::pair<std::string, size_t> announcement(const std::vector<std::string>& lines, int n) {
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].find(" action=AddStudio ") != std::string::npos && n-- == 0) {
            const size_t peer = lines[i].find(' ') + 1;
            return {lines[i].substr(peer, lines[i].find(' ', peer) - peer), i};
        }
    }
    return {"", lines.size()};
}

}  // namespace

// A link of 400 kbit/s with much to carry; then the link is rebuilt, by a reload (the same
// client connects again) or a restart (a new client). Nothing of the old connection reaches the
// server after the new connection's AddStudio: the old connection is reset, and its kernel held
// only a bounded tail.
TEST_P(SlowLinkThen, NothingOfTheOldConnectionArrivesAfterTheNewAddStudio) {
    auto receiver = AggrReceiverProcess::start();
    faults::CuttingProxy slowLink(receiver->port(), 50 * 1000);
    std::unique_ptr<CAggrSvrClient> client = slowLinkClient(slowLink.port());
    ASSERT_TRUE(eventually([&] { return client->isConnected(); })) << receiver->output();
    const std::string payload(500, 'p');
    for (int i = 1; i <= 3000; ++i) {
        client->addEntry(1, ("E" + std::to_string(i)).c_str(), "Entry", payload.c_str());
    }
    ASSERT_TRUE(receiver->waitForLine(" id=\"E20\" "));
    if (GetParam() == NewLink::kReload) {
        client->disconnect();
        client->connect("127.0.0.1", slowLink.port());
        client->addStudio("Studio", "1");
    } else {
        client.reset();
        client = slowLinkClient(slowLink.port());
    }
    ASSERT_TRUE(eventually([&] { return !announcement(receiver->lines(), 1).first.empty(); }))
        << receiver->output();
    // Long enough for a kernel queue left behind to deliver a good part of itself.
    std::this_thread::sleep_for(Milliseconds(3000));

    const std::vector<std::string> lines = receiver->lines();
    const std::string oldPeer = announcement(lines, 0).first;
    const size_t renewed = announcement(lines, 1).second;
    size_t stale = 0;
    for (size_t i = renewed; i < lines.size(); ++i) {
        stale += lines[i].find(" " + oldPeer + " transaction ") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(0u, stale) << "frames of the old connection after the new AddStudio";
    client.reset();
}

INSTANTIATE_TEST_SUITE_P(FaultInjection, SlowLinkThen,
                         ::testing::Values(NewLink::kReload, NewLink::kRestart));
