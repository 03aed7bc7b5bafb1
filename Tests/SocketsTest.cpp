#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackPeer.h"
#include "Platform/Clock.h"
#include "Platform/Event.h"
#include "Platform/NetworkEvent.h"
#include "Platform/Resolver.h"
#include "Platform/Socket.h"
#include "ServerSockets.h"

using platform::SocketHandle;

namespace {

// Serves sockets on the calling thread the way the reactor does: re-arm every socket, wait on
// the wake-up event and the network event, reset, then let every socket handle its events.
class TestLoop {
public:
    TestLoop() : event(platform::NetworkEvent::create()) {}

    void add(BaseSocket* s) { sockets.push_back(s); }

    void iterate(uint32_t timeoutMs) {
        for (BaseSocket* s : sockets) {
            event->select(s->handle());
        }
        if (platform::waitForSignalOrNetwork(wake, event.get(), timeoutMs) ==
            platform::LoopWaitResult::kNetwork) {
            event->reset();
            for (BaseSocket* s : sockets) {
                s->handleNetworkEvents();
            }
        }
    }

    // Iterates until done() holds or the time runs out; returns done().
    template <typename Done>
    bool runUntil(Done done, uint32_t timeoutMs = 5000) {
        const uint32_t started = platform::tickCount();
        while (!done()) {
            if (platform::tickCount() - started > timeoutMs) {
                return false;
            }
            iterate(20);
        }
        return true;
    }

    platform::AutoResetEvent wake;

private:
    std::unique_ptr<platform::NetworkEvent> event;
    std::vector<BaseSocket*> sockets;
};

// A client socket that records its callbacks (on the loop's thread).
class RecordingClient : public ClientSocket {
public:
    std::vector<std::string> messages;
    std::vector<int> errors;
    std::vector<bool> closes;
    int connects = 0;
    int readableCalls = 0;
    bool closeOnError = true;

    bool isConnected() const { return connected; }
    bool isConnecting() const { return connecting; }
    int readCapacity() const { return readBuffer.getCapacity(); }

protected:
    void handleMessage(const char* data, int length) override {
        messages.emplace_back(data, static_cast<size_t>(length));
    }
    void onConnected() override {
        ++connects;
        ClientSocket::onConnected();
    }
    void onClosed(bool graceful) override {
        closes.push_back(graceful);
        ClientSocket::onClosed(graceful);
    }
    void onError(int error) override {
        errors.push_back(error);
        if (closeOnError) {
            ClientSocket::onError(error);
        }
    }
    void onReadable() override {
        ++readableCalls;
        ClientSocket::onReadable();
    }
};

class ConnectedPair : public ::testing::Test {
protected:
    void SetUp() override { connectClient(); }

    void connectClient() {
        loop.add(&client);
        ASSERT_EQ(0, client.connect(InetAddr(kLoopback, peer.port)));
        peer.accept();
        ASSERT_TRUE(loop.runUntil([&] { return client.connects == 1; }));
    }

    Peer peer;
    RecordingClient client;
    TestLoop loop;
};

}  // namespace

TEST(InetAddr, AnyAddressDottedTextAndHostName) {
    InetAddr any(KRIString("*"), 7000);
    EXPECT_EQ(0u, any.getAddress());
    EXPECT_EQ(platform::hostToNet16(7000), any.getPort());

    EXPECT_EQ(platform::inetAddr("127.0.0.9"), InetAddr(KRIString("127.0.0.9"), 1).getAddress());
    EXPECT_EQ(platform::resolveHost("localhost").front(),
              InetAddr(KRIString("localhost"), 1).getAddress());
    EXPECT_EQ(kLoopback, InetAddr(kLoopback, 80).getAddress());
}

TEST(DataBuffer, GrowsToExactlyTheSizeAskedAndNeverShrinks) {
    ConnectedSocket::DataBuffer b;
    EXPECT_EQ(1024, b.getCapacity());
    b.advance(10);
    b.reserve(5000);
    EXPECT_EQ(5000, b.getCapacity());
    EXPECT_EQ(0, b.length());
    b.reserve(100);
    EXPECT_EQ(5000, b.getCapacity());
    std::memcpy(b.writePosition(), "abcdef", 6);
    b.advance(6);
    b.consume(2);
    EXPECT_EQ(4, b.length());
    EXPECT_EQ(0, std::memcmp("cdef", b.data(), 4));
}

TEST_F(ConnectedPair, TwoMessagesInOneSegmentComeFromOneRead) {
    peer.send(frame("first") + frame("second"));
    ASSERT_TRUE(loop.runUntil([&] { return client.messages.size() == 2; }));
    EXPECT_EQ("first", client.messages[0]);
    EXPECT_EQ("second", client.messages[1]);
    EXPECT_EQ(1, client.readableCalls);
}

TEST_F(ConnectedPair, MessageSplitIntoSingleBytesArrivesOnceWhole) {
    const std::string bytes = frame("split message") + frame("next");
    for (char byte : bytes) {
        peer.send(std::string(1, byte));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        loop.iterate(5);
    }
    ASSERT_TRUE(loop.runUntil([&] { return client.messages.size() == 2; }));
    EXPECT_EQ("split message", client.messages[0]);
    EXPECT_EQ("next", client.messages[1]);
    EXPECT_TRUE(client.errors.empty());
}

TEST_F(ConnectedPair, ZeroLengthMessageIsConsumedNotDelivered) {
    peer.send(frame("") + frame("after"));
    ASSERT_TRUE(loop.runUntil([&] { return client.messages.size() == 1; }));
    EXPECT_EQ("after", client.messages[0]);
}

TEST_F(ConnectedPair, HeaderAboveTheMaximumIsATransportErrorWithoutAllocation) {
    client.closeOnError = false;
    const uint32_t tooLong = platform::hostToNet32(ConnectedSocket::kMaxMessageSize + 1u);
    peer.send(std::string(reinterpret_cast<const char*>(&tooLong), 4) + "payload");
    ASSERT_TRUE(loop.runUntil([&] { return !client.errors.empty(); }));
    EXPECT_EQ(-platform::kWsaEMsgSize, client.errors[0]);
    EXPECT_EQ(1024, client.readCapacity());

    // The rest of that stream cannot be framed: it is dropped, and the socket does not spin.
    peer.send(frame("lost"));
    loop.runUntil([] { return false; }, 100);
    EXPECT_TRUE(client.messages.empty());
    EXPECT_EQ(1u, client.errors.size());
}

TEST_F(ConnectedPair, NegativeHeaderLengthClosesTheConnection) {
    const uint32_t negative = platform::hostToNet32(0x80000000u);
    peer.send(std::string(reinterpret_cast<const char*>(&negative), 4));
    ASSERT_TRUE(loop.runUntil([&] { return !client.closes.empty(); }));
    EXPECT_EQ(-platform::kWsaEMsgSize, client.errors.at(0));
    EXPECT_FALSE(client.closes[0]);
    EXPECT_EQ(1024, client.readCapacity());
    EXPECT_FALSE(client.isConnected());
}

TEST_F(ConnectedPair, SentMessagesArriveFramed) {
    EXPECT_EQ(9, client.sendMessage("hello", 5));
    EXPECT_EQ(4, client.sendMessage(nullptr, 0));
    EXPECT_EQ(-platform::kWsaEInvalid, client.sendMessage("x", -1));
    std::string payload;
    ASSERT_TRUE(peer.receiveFrame(payload));
    EXPECT_EQ("hello", payload);
    ASSERT_TRUE(peer.receiveFrame(payload));
    EXPECT_EQ("", payload);
}

TEST_F(ConnectedPair, OrderlyCloseAndResetReachOnClosed) {
    peer.closeConnection();
    ASSERT_TRUE(loop.runUntil([&] { return client.closes.size() == 1; }));
    EXPECT_TRUE(client.closes[0]);
    EXPECT_FALSE(client.isConnected());
    EXPECT_FALSE(client.isConnecting());

    // The renewed handle connects again; this time the peer resets the connection.
    ASSERT_EQ(0, client.connect(InetAddr(kLoopback, peer.port)));
    peer.accept();
    ASSERT_TRUE(loop.runUntil([&] { return client.connects == 2; }));
    peer.resetConnection();
    ASSERT_TRUE(loop.runUntil([&] { return client.closes.size() == 2; }));
    EXPECT_FALSE(client.closes[1]);
    EXPECT_TRUE(client.errors.empty());
}

TEST_F(ConnectedPair, ConnectWhileConnectedOrConnectingIsRefused) {
    EXPECT_EQ(-1, client.connect(InetAddr(kLoopback, peer.port)));
    RecordingClient other;
    ASSERT_EQ(0, other.connect(InetAddr(kLoopback, peer.port)));
    EXPECT_EQ(-1, other.connect(InetAddr(kLoopback, peer.port)));
}

TEST_F(ConnectedPair, SocketReconnectsAfterOnClosedAndExchangesMessages) {
    peer.closeConnection();
    ASSERT_TRUE(loop.runUntil([&] { return client.closes.size() == 1; }));
    ASSERT_EQ(0, client.connect(InetAddr(kLoopback, peer.port)));
    peer.accept();
    ASSERT_TRUE(loop.runUntil([&] { return client.connects == 2; }));
    EXPECT_TRUE(client.isConnected());

    peer.send(frame("welcome back"));
    ASSERT_TRUE(loop.runUntil([&] { return client.messages.size() == 1; }));
    EXPECT_EQ("welcome back", client.messages[0]);
    EXPECT_EQ(19, client.sendMessage("on a new handle", 15));
    std::string payload;
    ASSERT_TRUE(peer.receiveFrame(payload));
    EXPECT_EQ("on a new handle", payload);
}

TEST(ClientSocket, RefusedConnectEndsInOnClosedAndTheSocketCanConnectAgain) {
    const SocketHandle probe = platform::openListener(kLoopback, 0, 1);
    const int closedPort = platform::netToHost16(platform::localPort(probe));
    platform::closeSocket(probe);

    TestLoop loop;
    RecordingClient client;
    loop.add(&client);
    const int r = client.connect(InetAddr(kLoopback, closedPort));
    ASSERT_TRUE(r == 0 || r == -platform::kWsaEConnRefused);
    if (r == 0) {
        ASSERT_TRUE(loop.runUntil([&] { return !client.closes.empty(); }));
        EXPECT_EQ(-platform::kWsaEConnRefused, client.errors.at(0));
        EXPECT_FALSE(client.isConnecting());
    }
    Peer peer;
    EXPECT_EQ(r == 0 ? 0 : -1, client.connect(InetAddr(kLoopback, peer.port)));
}

// A message handed on from several threads while the loop flushes: each thread's messages must
// arrive whole and in the order that thread sent them, against a peer that reads slowly.
TEST(ConnectedSocketQueue, ConcurrentSendersKeepTheirOrderWhileBlocked) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 1000;
    constexpr size_t kPayload = 900;

    Peer peer(4096);
    RecordingClient client;
    const int smallBuffer = 4096;
    platform::setSendBuffer(client.handle(), smallBuffer);
    TestLoop loop;
    loop.add(&client);
    ASSERT_EQ(0, client.connect(InetAddr(kLoopback, peer.port)));
    peer.accept();
    ASSERT_TRUE(loop.runUntil([&] { return client.connects == 1; }));

    std::atomic<bool> readerDone{false};
    std::map<int, int> nextSeq;
    bool wholeAndOrdered = true;
    int received = 0;
    std::thread reader([&] {
        std::string payload;
        while (received < kThreads * kPerThread && peer.receiveFrame(payload)) {
            int sender = 0;
            int seq = 0;
            std::sscanf(payload.c_str(), "%d:%d:", &sender, &seq);
            const std::string fill(kPayload - payload.find(':', 2) - 1, char('a' + sender));
            if (payload.size() != kPayload || nextSeq[sender] != seq ||
                payload.compare(payload.size() - fill.size(), fill.size(), fill) != 0) {
                wholeAndOrdered = false;
            }
            nextSeq[sender] = seq + 1;
            if (++received % 256 == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        readerDone = true;
    });

    std::atomic<int> queuedResults{0};
    std::atomic<int> failedResults{0};
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t) {
        senders.emplace_back([&, t] {
            for (int seq = 0; seq < kPerThread; ++seq) {
                std::string payload = std::to_string(t) + ":" + std::to_string(seq) + ":";
                payload.append(kPayload - payload.size(), char('a' + t));
                const int r = client.sendMessage(payload.data(), static_cast<int>(payload.size()));
                if (r == 0) {
                    ++queuedResults;
                } else if (r < 0) {
                    ++failedResults;
                }
            }
        });
    }
    EXPECT_TRUE(loop.runUntil([&] { return readerDone.load(); }, 20000));
    for (auto& s : senders) {
        s.join();
    }
    reader.join();
    EXPECT_EQ(kThreads * kPerThread, received);
    EXPECT_TRUE(wholeAndOrdered);
    EXPECT_EQ(0, failedResults.load());
    EXPECT_GT(queuedResults.load(), 0);
    EXPECT_TRUE(client.errors.empty());
}

TEST(ConnectedSocketQueue, PeerThatStopsReadingHitsTheQueueBound) {
    Peer peer(4096);
    RecordingClient client;
    client.closeOnError = false;
    TestLoop loop;
    loop.add(&client);
    ASSERT_EQ(0, client.connect(InetAddr(kLoopback, peer.port)));
    peer.accept();
    ASSERT_TRUE(loop.runUntil([&] { return client.connects == 1; }));

    const std::string payload(64 * 1024, 'q');
    int queued = 0;
    int result = 0;
    for (int i = 0; i < 1000; ++i) {
        result = client.sendMessage(payload.data(), static_cast<int>(payload.size()));
        if (result < 0) {
            break;
        }
        queued += result == 0 ? 1 : 0;
        loop.iterate(0);
    }
    EXPECT_EQ(-platform::kWsaENoBufferSpace, result);
    // What was taken is the bound plus what the kernel's buffers hold, never everything offered.
    EXPECT_LE(queued * (payload.size() + 4),
              static_cast<size_t>(ConnectedSocket::kMaxQueuedBytes) + (4u << 20));
    // The refusal reaches onError on the loop's thread.
    EXPECT_TRUE(loop.runUntil([&] { return !client.errors.empty(); }));
    EXPECT_EQ(-platform::kWsaENoBufferSpace, client.errors.at(0));
}

namespace {

// A socket whose transport is a byte string: sends take at most `window` bytes per call (and
// then would block until the window is opened again); receives hand out the incoming bytes
// `chunk` at a time. It shows that the framing reaches the transport only through the virtual
// transport calls, as a TLS socket needs.
class ScriptedTransport : public ClientSocket {
public:
    std::string wire;
    std::string incoming;
    size_t window = 0;
    size_t chunk = 1;
    std::vector<std::string> messages;

    void flush() { onWritable(); }
    void readable() { onReadable(); }
    bool isWriteBlocked() const { return writeBlocked; }

protected:
    int sendRaw(const char* data, int length) override {
        if (window == 0) {
            return -platform::kWsaEWouldBlock;
        }
        const size_t n = std::min(window, static_cast<size_t>(length));
        wire.append(data, n);
        window -= n;
        return static_cast<int>(n);
    }
    int recvRaw(char* buffer, int length) override {
        if (incoming.empty()) {
            return -platform::kWsaEWouldBlock;
        }
        const size_t n = std::min({chunk, incoming.size(), static_cast<size_t>(length)});
        std::memcpy(buffer, incoming.data(), n);
        incoming.erase(0, n);
        return static_cast<int>(n);
    }
    void handleMessage(const char* data, int length) override {
        messages.emplace_back(data, static_cast<size_t>(length));
    }
};

}  // namespace

TEST(ConnectedSocketTransport, PartialSendsKeepTheRestAtTheHeadOfTheQueue) {
    ScriptedTransport s;
    s.window = 6;
    EXPECT_EQ(0, s.sendMessage("alpha", 5));  // 6 of 9 bytes taken, the rest queued
    EXPECT_TRUE(s.isWriteBlocked());
    EXPECT_EQ(0, s.sendMessage("beta", 4));
    EXPECT_EQ(0, s.sendMessage("gamma", 5));
    for (size_t w : {1u, 0u, 2u, 7u, 100u}) {
        s.window = w;
        s.flush();
    }
    EXPECT_EQ(frame("alpha") + frame("beta") + frame("gamma"), s.wire);
    EXPECT_FALSE(s.isWriteBlocked());
}

TEST(ConnectedSocketTransport, HeaderAndPayloadArrivingInPiecesAreReassembled) {
    ScriptedTransport s;
    s.incoming = frame("one") + frame("") + frame("three");
    for (size_t c : {1u, 2u, 3u}) {
        s.chunk = c;
        s.incoming = frame("one") + frame("") + frame("three");
        s.messages.clear();
        while (!s.incoming.empty()) {
            s.readable();
        }
        EXPECT_EQ((std::vector<std::string>{"one", "three"}), s.messages) << "chunk " << c;
    }
}
