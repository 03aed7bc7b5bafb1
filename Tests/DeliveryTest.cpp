// Delivery across link faults: the aggregation client against a TLS server on loopback that
// misbehaves on cue. Each test checks the exact frames every connection received: AddStudio
// first, then the events in the order they were sent, none lost.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Tests/CapturingLogSink.h"
#include "Tests/Eventually.h"
#include "Tests/ScriptedTlsServer.h"
#include "Tests/TestCerts.h"
#include "Tools/RovazoRiva/Common/AggrSvrConn.h"

namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;
using Connection = TlsTestServer::Connection;
using ScriptedServer = ScriptedTlsServer;

constexpr uint32_t kDroppedEvent = 0x8E000D04u;

std::vector<std::string> events(int from, int to) {
    std::vector<std::string> names;
    for (int i = from; i <= to; ++i) {
        names.push_back("AddEntry E" + std::to_string(i));
    }
    return names;
}

// The binding's start and supervision, as the service runs them: connect and announce the
// studio, then whenever the link is down, rebuild it and announce the studio again. Like the
// binding, it gives a new link time for its handshake before it judges it.
class Supervisor {
public:
    Supervisor(CAggrSvrClient& client, uint16_t port)
        : thread([this, &client, port] {
              while (!stopping.load()) {
                  if (!connected || !client.isConnected()) {
                      client.disconnect();
                      client.connect("127.0.0.1", port);
                      client.addStudio("Studio", "1");
                      connected = true;
                      eventually([&] { return stopping.load() || client.isConnected(); },
                                 milliseconds(2000));
                  }
                  std::this_thread::sleep_for(milliseconds(100));
              }
          }) {}
    ~Supervisor() {
        stopping.store(true);
        thread.join();
    }

private:
    std::atomic<bool> stopping{false};
    bool connected = false;
    std::thread thread;
};

class Delivery : public ::testing::Test {
protected:
    void SetUp() override {
        setKriLogSink(&sink);
        const testcerts::CertFiles& certs = testcerts::testCerts();
        client = std::make_unique<CAggrSvrClient>();
        ASSERT_EQ(CAggrSvrClient::kSuccess,
                  client->setupSsl(certs.clientCert.c_str(), certs.clientKey.c_str(),
                                   certs.caCert.c_str()));
        client->setDeliveryLimits(DeliveryBacklog::kDefaultLimitBytes, 2);
    }
    void TearDown() override {
        supervisor.reset();
        client.reset();
        if (server) {
            server->release.store(true);
        }
        server.reset();
        setKriLogSink(nullptr);
    }

    ScriptedServer& serve(std::vector<ScriptedServer::Script> scripts,
                          TlsTestServer::Options options = {}) {
        server = std::make_unique<ScriptedServer>(std::move(scripts), options);
        return *server;
    }

    void supervise(uint16_t port) { supervisor = std::make_unique<Supervisor>(*client, port); }

    void send(int from, int to, const std::string& payload = "<Entry/>",
              microseconds pause = microseconds(0)) {
        for (int i = from; i <= to; ++i) {
            client->addEntry(1, ("E" + std::to_string(i)).c_str(), "Entry", payload.c_str());
            std::this_thread::sleep_for(pause);
        }
    }

    void expectCountersAddUp() {
        const DeliveryStatus status = client->deliveryStatus();
        EXPECT_EQ(status.accepted, status.acknowledged + status.pending + status.dropped);
    }

    CapturingLogSink sink;
    std::unique_ptr<ScriptedServer> server;
    std::unique_ptr<CAggrSvrClient> client;
    std::unique_ptr<Supervisor> supervisor;
};

using Frames = std::vector<std::string>;

Frames concat(Frames a, const Frames& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The server keeps its TCP open after its close_notify, past our own close: the link ends
// after a while all the same, and what it acknowledged just before goes again.
TEST_F(Delivery, CloseNotifyWithTcpLeftOpenEndsTheLinkAndNothingIsLost) {
    ScriptedServer& aggr = serve({[](Connection& c, ScriptedServer& s) {
        s.readFrames(c, 3);
        c.sendCloseNotify();
        while (!s.release.load()) {
            std::this_thread::sleep_for(milliseconds(10));
        }
    }});
    supervise(aggr.server->port());
    send(1, 2);
    const char* closed = "SSL disconnect successful (the server closed the TLS session)";
    ASSERT_TRUE(eventually([&] { return sink.count(closed) == 1; })) << sink.text();
    // The test server serves one connection at a time.
    aggr.release.store(true);
    ASSERT_TRUE(eventually([&] { return aggr.framesOn(1) > 0; }));
    send(3, 10);
    ASSERT_TRUE(eventually([&] { return aggr.framesOn(1) == 11; })) << sink.text();

    const auto received = aggr.connections();
    EXPECT_EQ(concat({"AddStudio"}, events(1, 2)), received[0]);
    EXPECT_EQ(concat({"AddStudio"}, events(1, 10)), received[1]);
    EXPECT_EQ(1u, sink.count(closed));
    EXPECT_EQ(1u, sink.count("2 transactions go again on the next connection to 127.0.0.1:" +
                             std::to_string(aggr.server->port()) +
                             " after the server closed the TLS session (2 of them acknowledged"))
        << sink.text();
    EXPECT_EQ(2u, client->deliveryStatus().resent);
    ASSERT_TRUE(eventually([&] { return client->deliveryStatus().pending == 0; }));
    expectCountersAddUp();
}

// Frames keep coming while the server closes its TLS session and reads on until ours: each
// arrives exactly once, none on the closed connection is written again on the next.
TEST_F(Delivery, CloseNotifyFromAServerThatReadsOnDeliversEveryFrameOnce) {
    ScriptedServer& aggr = serve({[](Connection& c, ScriptedServer& s) {
        s.readFrames(c, 20);
        c.sendCloseNotify();
        s.readAll(c);
    }});
    supervise(aggr.server->port());
    ASSERT_TRUE(eventually([&] { return aggr.framesOn(0) == 1; })) << sink.text();
    send(1, 60, "<Entry/>", microseconds(100));
    ASSERT_TRUE(eventually([&] { return client->deliveryStatus().pending == 0; })) << sink.text();

    Frames received;
    for (const Frames& connection : aggr.connections()) {
        EXPECT_EQ("AddStudio", connection.front());
        received.insert(received.end(), connection.begin() + 1, connection.end());
    }
    EXPECT_EQ(events(1, 60), received);
}

// The server sends its close_notify and goes with frames unread in its TCP. The reset can meet
// our answer to the close_notify first, and the close then reads as orderly: the frames go again
// all the same.
TEST_F(Delivery, CloseNotifyThenAResetWithFramesUnreadLosesNothing) {
    ScriptedServer& aggr = serve({[](Connection& c, ScriptedServer& s) {
        s.readFrames(c, 3);
        while (!s.release.load()) {
            std::this_thread::sleep_for(milliseconds(10));
        }
        c.sendCloseNotify();
        c.reset();
    }});
    supervise(aggr.server->port());
    send(1, 2);
    ASSERT_TRUE(eventually([&] { return aggr.framesOn(0) == 3; }));
    send(3, 10);
    // Time for the frames to reach the server's TCP, where they stay unread.
    std::this_thread::sleep_for(milliseconds(300));
    aggr.release.store(true);
    ASSERT_TRUE(eventually([&] { return aggr.framesOn(1) == 11; })) << sink.text();
    EXPECT_EQ(concat({"AddStudio"}, events(1, 10)), aggr.connections()[1]);
    ASSERT_TRUE(eventually([&] { return client->deliveryStatus().pending == 0; }));
    expectCountersAddUp();
}

TEST_F(Delivery, ServerGoneForFiveSecondsGetsEverythingAfterAddStudio) {
    // Whether E1 and E2 go again depends on how the server's close is read; not the point here.
    client->setResendWindow(0);
    ScriptedServer& aggr = serve({[](Connection& c, ScriptedServer& s) { s.readFrames(c, 3); }});
    const uint16_t port = aggr.server->port();
    supervise(port);
    send(1, 2);
    ASSERT_TRUE(eventually([&] { return aggr.framesOn(0) == 3; }));
    aggr.server->shutDown();
    send(3, 10);
    std::this_thread::sleep_for(milliseconds(5000));
    EXPECT_EQ(8u, client->deliveryStatus().pending);
    aggr.start(TlsTestServer::Options{.port = port});
    ASSERT_TRUE(eventually([&] { return aggr.framesOn(1) == 9; })) << sink.text();

    const auto received = aggr.connections();
    EXPECT_EQ(concat({"AddStudio"}, events(3, 10)), received[1]);
    // At least two refused attempts (one every two seconds), one line.
    EXPECT_GE(client->deliveryStatus().reconnects, 3u);
    EXPECT_EQ(1u, sink.count("SSL error : -10061 (Connection refused)")) << sink.text();
}

TEST_F(Delivery, ResetInTheMiddleOfAFrameSendsThatFrameAgain) {
    const std::string large(200 * 1024, 'x');
    ScriptedServer& aggr = serve({[](Connection& c, ScriptedServer& s) {
                                     s.readFrames(c, 3);
                                     c.readBytes(100);
                                     c.reset();
                                 }},
                                 TlsTestServer::Options{.smallReceiveBuffer = true});
    supervise(aggr.server->port());
    send(1, 2);
    ASSERT_TRUE(eventually([&] { return aggr.framesOn(0) == 3; }));
    send(3, 3, large);
    send(4, 6);
    ASSERT_TRUE(eventually([&] { return aggr.framesOn(1) == 7; })) << sink.text();

    // E1 and E2 were acknowledged within the resend window before the reset.
    EXPECT_EQ(concat({"AddStudio"}, events(1, 6)), aggr.connections()[1]);
    EXPECT_EQ(1u, sink.count("SSL error : -10054")) << sink.text();
}

TEST_F(Delivery, ABlackholedPeerIsNoticedAndItsFramesGoToTheNextConnection) {
    ScriptedServer& aggr = serve({[](Connection& c, ScriptedServer& s) {
        s.readFrames(c, 3);
        c.blackhole();
        eventually([&] { return s.release.load(); }, milliseconds(15000));
    }});
    supervise(aggr.server->port());
    send(1, 2);
    ASSERT_TRUE(eventually([&] { return aggr.framesOn(0) == 3; }));
    send(3, 10);
    // deadPeerSeconds is 2: the kernel's user time-out or the stall check ends the connection.
    ASSERT_TRUE(
        eventually([&] { return sink.count("SSL error : -10060") == 1; }, milliseconds(8000)))
        << sink.text();
    aggr.release.store(true);
    ASSERT_TRUE(eventually([&] { return aggr.framesOn(1) == 11; })) << sink.text();
    // E1 and E2 were acknowledged just before the server stopped taking data.
    EXPECT_EQ(concat({"AddStudio"}, events(1, 10)), aggr.connections()[1]);
    EXPECT_EQ(1u, sink.count("10 transactions go again on the next connection to 127.0.0.1:" +
                             std::to_string(aggr.server->port()) + " after "))
        << sink.text();
    EXPECT_EQ(1u, sink.count("(2 of them acknowledged by the server's TCP)")) << sink.text();
}

// Paced sends fill the server's buffers until a write would block: its batch then waits for the
// socket's writable event, and the frames after it too.
TEST_F(Delivery, AServerThatStopsReadingForAWhileGetsEverythingOnOneConnection) {
    client->setDeliveryLimits(DeliveryBacklog::kDefaultLimitBytes, 10);
    const std::string payload(20000, 'p');
    ScriptedServer& aggr = serve({[](Connection& c, ScriptedServer& s) {
                                     s.readFrames(c, 3);
                                     std::this_thread::sleep_for(milliseconds(3000));
                                     s.readAll(c);
                                 }},
                                 TlsTestServer::Options{.smallReceiveBuffer = true});
    supervise(aggr.server->port());
    send(1, 2);
    ASSERT_TRUE(eventually([&] { return aggr.framesOn(0) == 3; }));
    send(3, 300, payload, milliseconds(1));
    ASSERT_TRUE(eventually([&] { return aggr.framesOn(0) == 301; })) << sink.text();

    EXPECT_EQ(concat({"AddStudio"}, events(1, 300)), aggr.connections()[0]);
    EXPECT_EQ(0u, sink.count("SSL error")) << sink.text();
}

TEST_F(Delivery, AFullBacklogDropsTheOldestAndTheCountersAddUp) {
    client->setDeliveryLimits(64 * 1024, 2);
    const std::string payload(1000, 'p');
    send(1, 200, payload);
    const DeliveryStatus full = client->deliveryStatus();
    EXPECT_EQ(200u, full.accepted);
    EXPECT_GT(full.dropped, 0u);
    EXPECT_LE(full.pendingBytes, 64u * 1024);
    EXPECT_EQ(full.accepted, full.pending + full.dropped);
    EXPECT_EQ(1u, sink.count("Backlog full (64 KiB): dropping the oldest transactions"));
    EXPECT_EQ(1u, sink.countEvents(kDroppedEvent));

    ScriptedServer& aggr = serve({});
    supervise(aggr.server->port());
    const size_t kept = full.pending;
    ASSERT_TRUE(eventually([&] { return aggr.framesOn(0) == kept + 1; })) << sink.text();
    EXPECT_EQ(concat({"AddStudio"}, events(static_cast<int>(200 - kept + 1), 200)),
              aggr.connections()[0]);
    ASSERT_TRUE(eventually([&] { return client->deliveryStatus().pending == 0; }));
    const DeliveryStatus delivered = client->deliveryStatus();
    EXPECT_EQ(kept, delivered.acknowledged);
    EXPECT_EQ(delivered.accepted, delivered.acknowledged + delivered.dropped);
    EXPECT_TRUE(eventually([&] { return sink.count("Backlog below its bound again") == 1; }));
}

// Four threads send while the link drops twice (a reset, then a close_notify) and comes back:
// every frame arrives whole, each connection carries each thread's events in the order it sent
// them, and each thread's last event arrives.
TEST_F(Delivery, ThreadsSendingWhileTheLinkDropsKeepTheirOrder) {
    ScriptedServer& aggr = serve({[](Connection& c, ScriptedServer& s) {
                                      s.readFrames(c, 40);
                                      c.reset();
                                  },
                                  [](Connection& c, ScriptedServer& s) {
                                      s.readFrames(c, 150);
                                      c.sendCloseNotify();
                                      c.waitForClientClose(5000);
                                  }});
    supervise(aggr.server->port());
    ASSERT_TRUE(eventually([&] { return aggr.framesOn(0) == 1; })) << sink.text();
    constexpr int kThreads = 4;
    constexpr int kEach = 250;
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t) {
        senders.emplace_back([this, t] {
            for (int i = 0; i < kEach; ++i) {
                const std::string id = "T" + std::to_string(t) + "-" + std::to_string(i);
                client->addEntry(1, id.c_str(), "Entry", "<Entry/>");
                std::this_thread::sleep_for(milliseconds(1));
            }
        });
    }
    for (std::thread& sender : senders) {
        sender.join();
    }
    // Acknowledged means in the server's buffers: the script reads the last ones a little later.
    const auto lastEventsRead = [&] {
        std::vector<bool> read(kThreads, false);
        for (const std::vector<std::string>& connection : aggr.connections()) {
            for (const std::string& frame : connection) {
                int t = -1;
                int i = -1;
                if (std::sscanf(frame.c_str(), "AddEntry T%d-%d", &t, &i) == 2 && t >= 0 &&
                    t < kThreads && i == kEach - 1) {
                    read[t] = true;
                }
            }
        }
        return std::find(read.begin(), read.end(), false) == read.end();
    };
    ASSERT_TRUE(eventually(lastEventsRead, milliseconds(20000))) << sink.text();
    ASSERT_TRUE(
        eventually([&] { return client->deliveryStatus().pending == 0; }, milliseconds(20000)))
        << sink.text();

    const auto received = aggr.connections();
    ASSERT_GE(received.size(), 3u) << sink.text();
    std::vector<int> highest(kThreads, -1);
    for (const std::vector<std::string>& connection : received) {
        ASSERT_FALSE(connection.empty());
        EXPECT_EQ("AddStudio", connection.front());
        std::vector<int> last(kThreads, -1);
        for (size_t f = 1; f < connection.size(); ++f) {
            int t = -1;
            int i = -1;
            ASSERT_EQ(2, std::sscanf(connection[f].c_str(), "AddEntry T%d-%d", &t, &i))
                << connection[f];
            ASSERT_TRUE(t >= 0 && t < kThreads && i >= 0 && i < kEach) << connection[f];
            EXPECT_GT(i, last[t]) << connection[f] << " after T" << t << "-" << last[t];
            last[t] = i;
            highest[t] = std::max(highest[t], i);
        }
    }
    EXPECT_EQ(std::vector<int>(kThreads, kEach - 1), highest);
    const DeliveryStatus status = client->deliveryStatus();
    EXPECT_EQ(0u, status.dropped);
    expectCountersAddUp();
}

TEST_F(Delivery, StopWithFramesPendingReturnsAndCountsThem) {
    ScriptedServer& aggr = serve({});
    const uint16_t port = aggr.server->port();
    aggr.server->shutDown();
    client->connect("127.0.0.1", port);
    client->addStudio("Studio", "1");
    send(1, 50);
    EXPECT_EQ(50u, client->deliveryStatus().pending);
    client->stopDelivery();
    EXPECT_EQ(1u, sink.count("50 transactions not delivered: the service stopped before the "
                             "server acknowledged them"))
        << sink.text();
    EXPECT_EQ(1u, sink.countEvents(kDroppedEvent));
    client.reset();
    EXPECT_EQ(1u, sink.count("transactions not delivered")) << sink.text();
}

// What is pending when the stop comes is written and acknowledged first; then the session is
// closed in order.
TEST_F(Delivery, AnOrderlyStopDeliversWhatIsPendingAndClosesTheSession) {
    std::atomic<bool> closedInOrder{false};
    ScriptedServer& aggr = serve({[&](Connection& c, ScriptedServer& s) {
        s.readFrames(c, 201);
        closedInOrder.store(c.answerClose());
    }});
    client->connect("127.0.0.1", aggr.server->port());
    client->addStudio("Studio", "1");
    ASSERT_TRUE(eventually([&] { return client->isConnected(); })) << sink.text();
    send(1, 200, std::string(2000, 'p'));
    client->stopDelivery();

    EXPECT_EQ(concat({"AddStudio"}, events(1, 200)), aggr.connections()[0]);
    EXPECT_TRUE(eventually([&] { return closedInOrder.load(); })) << sink.text();
    EXPECT_EQ(0u, sink.count("not delivered")) << sink.text();
    EXPECT_EQ(0u, client->deliveryStatus().pending);
}

// The server's TCP acknowledges frames its application never reads, then the server resets:
// they go again on the next connection, with those acknowledged just before.
TEST_F(Delivery, AServerThatStopsReadingAndThenResetsLosesNothing) {
    ScriptedServer& aggr = serve({[](Connection& c, ScriptedServer& s) {
        s.readFrames(c, 3);
        eventually([&] { return s.release.load(); });
        c.reset();
    }});
    supervise(aggr.server->port());
    send(1, 2);
    ASSERT_TRUE(eventually([&] { return aggr.framesOn(0) == 3; }));
    send(3, 40);
    ASSERT_TRUE(eventually([&] { return client->deliveryStatus().pending == 0; }));
    aggr.release.store(true);
    ASSERT_TRUE(eventually([&] { return aggr.framesOn(1) == 41; })) << sink.text();

    EXPECT_EQ(concat({"AddStudio"}, events(1, 40)), aggr.connections()[1]);
    EXPECT_EQ(1u, sink.count("40 transactions go again on the next connection to 127.0.0.1:" +
                             std::to_string(aggr.server->port()) +
                             " after Connection reset by peer (40 of them acknowledged"))
        << sink.text();
    const DeliveryStatus status = client->deliveryStatus();
    EXPECT_EQ(40u, status.resent);
    EXPECT_EQ(40u, status.acknowledged);
    expectCountersAddUp();
}

// Nothing was written for longer than the window before the fault: nothing goes twice.
TEST_F(Delivery, AQuietLinkSendsNothingTwiceAfterAFault) {
    ScriptedServer& aggr = serve({[](Connection& c, ScriptedServer& s) {
        s.readFrames(c, 3);
        eventually([&] { return s.release.load(); });
        c.reset();
    }});
    supervise(aggr.server->port());
    send(1, 2);
    ASSERT_TRUE(eventually([&] { return aggr.framesOn(0) == 3; }));
    std::this_thread::sleep_for(milliseconds((CAggrSvrClient::kDefaultResendSeconds + 1) * 1000));
    aggr.release.store(true);
    ASSERT_TRUE(eventually([&] { return aggr.framesOn(1) == 1; })) << sink.text();
    send(3, 3);
    ASSERT_TRUE(eventually([&] { return aggr.framesOn(1) == 2; })) << sink.text();

    EXPECT_EQ(concat({"AddStudio"}, events(3, 3)), aggr.connections()[1]);
    EXPECT_EQ(0u, client->deliveryStatus().resent);
    EXPECT_EQ(0u, sink.count("go again")) << sink.text();
}

// A stream of events while the server fails in turn in each way it can: a close_notify with its
// TCP left open, a reset, going away for two seconds, dying silently, and reading nothing for a
// while before a reset. Every event arrives; each connection carries a run of the stream after
// AddStudio with no gap or reordering, and the next connection starts no later than where the
// last one ended.
TEST_F(Delivery, AFlappingServerGetsEveryEventInOrderOnEachConnection) {
    using Script = ScriptedServer::Script;
    // What the server reads before each fault: about 1.5 s of the stream.
    const auto work = [](Connection& c, ScriptedServer& s) {
        const auto until = std::chrono::steady_clock::now() + milliseconds(1500);
        while (std::chrono::steady_clock::now() < until && c.waitForData(100) &&
               s.readFrames(c, 1)) {
        }
    };
    const std::vector<Script> faults = {
        [work](Connection& c, ScriptedServer& s) {
            work(c, s);
            c.sendCloseNotify();
            c.waitForClientClose(3000);
        },
        [work](Connection& c, ScriptedServer& s) {
            work(c, s);
            c.reset();
        },
        [work](Connection& c, ScriptedServer& s) {
            work(c, s);
            c.reset();
            std::this_thread::sleep_for(milliseconds(2000));
        },
        [work](Connection& c, ScriptedServer& s) {
            work(c, s);
            c.blackhole();
            c.waitForClientClose(5000);
        },
        [work](Connection& c, ScriptedServer& s) {
            work(c, s);
            std::this_thread::sleep_for(milliseconds(300));
            c.reset();
        },
    };
    std::vector<Script> scripts;
    for (int round = 0; round < 2; ++round) {
        scripts.insert(scripts.end(), faults.begin(), faults.end());
    }
    ScriptedServer& aggr = serve(scripts);
    supervise(aggr.server->port());
    constexpr int kEvents = 15000;
    send(1, kEvents, std::string(200, 'p'), microseconds(2000));
    ASSERT_TRUE(eventually(
        [&] {
            const auto received = aggr.eventsReceived();
            return std::find(received.begin(), received.end(),
                             "AddEntry E" + std::to_string(kEvents)) != received.end();
        },
        milliseconds(60000)))
        << sink.text();

    const auto connections = aggr.connections();
    ASSERT_GT(connections.size(), scripts.size());

    int highest = 0;
    for (const Frames& connection : connections) {
        ASSERT_FALSE(connection.empty());
        EXPECT_EQ("AddStudio", connection.front());
        int last = -1;
        for (size_t f = 1; f < connection.size(); ++f) {
            int event = 0;
            ASSERT_EQ(1, std::sscanf(connection[f].c_str(), "AddEntry E%d", &event))
                << connection[f];
            if (last < 0) {
                EXPECT_LE(event, highest + 1) << "a gap before connection's first event";
            } else {
                EXPECT_EQ(last + 1, event) << "a gap or reordering inside a connection";
            }
            last = event;
            highest = std::max(highest, event);
        }
    }
    EXPECT_EQ(kEvents, highest);
    ASSERT_TRUE(eventually([&] { return client->deliveryStatus().pending == 0; })) << sink.text();
    const DeliveryStatus status = client->deliveryStatus();
    EXPECT_EQ(0u, status.dropped);
    EXPECT_EQ(static_cast<uint64_t>(kEvents), status.acknowledged);
    EXPECT_GT(status.resent, 0u);
    expectCountersAddUp();
}

}  // namespace

namespace {

TEST_F(Delivery, ARejectedClientCertificateReadsAsARejectionNotANetworkFault) {
    const testcerts::CertFiles& certs = testcerts::testCerts();
    // A server that trusts another CA than the one that issued our certificate.
    TlsTestServer rejecting(certs.serverCert, certs.serverKey, certs.otherCaCert,
                            [](Connection&) {});
    // With TLS 1.3 the rejection comes after our side of the handshake. The binding announces
    // the studio two seconds after connecting, by which time the alert has been read.
    client->connect("127.0.0.1", rejecting.port());
    ASSERT_TRUE(eventually([&] {
        return sink.count("(the server rejected our certificate: unknown CA)") == 1;
    })) << sink.text();
    EXPECT_EQ(0, rejecting.handshakes());
    EXPECT_EQ(LinkState::kDown, client->deliveryStatus().link);
}

}  // namespace
