// SSLClientSocket against a real TLS server on 127.0.0.1 that requires and verifies the client
// certificate, with the socket served by a running Reactor.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Reactor.h"
#include "SSLSockets.h"
#include "Tests/Eventually.h"
#include "Tests/TestCerts.h"
#include "Tests/TestSockets.h"
#include "TlsTestServer.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kPatience = 5s;

const testcerts::CertFiles& certs() {
    return testcerts::testCerts();
}

// Runs a function on the reactor's thread and waits for it.
class LoopCall : public Task {
public:
    explicit LoopCall(std::function<void()> work) : work(std::move(work)) {}
    void execute() override { finish(true); }
    void executeOnStop() override { finish(false); }

    // False when the loop did not run the call in time (the test program then ends: the call
    // may still run later and use what the caller has already released).
    bool wait() {
        std::unique_lock<std::mutex> lock(mutex);
        if (!cv.wait_for(lock, kPatience, [this] { return done; })) {
            ADD_FAILURE() << "the reactor did not run the call";
            std::abort();
        }
        return ran;
    }

private:
    void finish(bool run) {
        if (run) {
            work();
        }
        std::lock_guard<std::mutex> lock(mutex);
        ran = run;
        done = true;
        cv.notify_all();
    }

    std::function<void()> work;
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    bool ran = false;
};

void onLoop(Reactor& reactor, std::function<void()> work) {
    LoopCall call(std::move(work));
    reactor.postTask(&call);
    EXPECT_TRUE(call.wait());
}

// What a socket or a server handler saw, readable from the test thread.
template <typename T>
class Observed {
public:
    template <typename F>
    void change(F f) {
        std::lock_guard<std::mutex> lock(mutex);
        f(value);
        cv.notify_all();
    }
    T get() {
        std::lock_guard<std::mutex> lock(mutex);
        return value;
    }
    // Waits (bounded) until the predicate holds for the value.
    template <typename P>
    bool waitUntil(P predicate, std::chrono::milliseconds patience = kPatience) {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, patience, [&] { return predicate(value); });
    }

private:
    std::mutex mutex;
    std::condition_variable cv;
    T value{};
};

struct SocketLog {
    int connects = 0;
    std::vector<bool> disconnects;  // the graceful flag of each onSSLDisconnected
    std::vector<int> errors;
    std::vector<std::string> messages;
    std::vector<int> statesAtPeerClose;   // sslState after each recvRaw that returned 0
    std::vector<int> sendsDuringConnect;  // sendRaw results tried as the TCP connect completed
};

class RecordingSocket : public SSLClientSocket {
public:
    // closeOnError: the inherited onError, which closes the connection; otherwise errors are only
    // noted and the connection stays as it is (as the aggregation client keeps it).
    RecordingSocket(SSLContext& context, bool closeOnError)
        : SSLClientSocket(context), closeOnError(closeOnError) {}

    using SSLClientSocket::sendRaw;

    Observed<SocketLog> log;

protected:
    void onConnected() override {
        const int early = sendRaw("early", 5);
        log.change([&](SocketLog& l) { l.sendsDuringConnect.push_back(early); });
        SSLClientSocket::onConnected();
    }
    bool onSSLConnected() override {
        log.change([](SocketLog& l) { ++l.connects; });
        return true;
    }
    bool onSSLDisconnected(bool graceful) override {
        log.change([&](SocketLog& l) { l.disconnects.push_back(graceful); });
        return true;
    }
    void onError(int code) override {
        log.change([&](SocketLog& l) { l.errors.push_back(code); });
        if (closeOnError) {
            SSLClientSocket::onError(code);
        }
    }
    void handleMessage(const char* data, int length) override {
        std::string message(data, static_cast<size_t>(length));
        log.change([&](SocketLog& l) { l.messages.push_back(std::move(message)); });
    }
    int recvRaw(char* buffer, int length) override {
        const int n = SSLClientSocket::recvRaw(buffer, length);
        if (n == 0) {
            const int state = getSSLState();
            log.change([&](SocketLog& l) { l.statesAtPeerClose.push_back(state); });
        }
        return n;
    }

private:
    const bool closeOnError;
};

struct ServerLog {
    int connections = 0;
    std::vector<std::string> frames;
    std::vector<std::string> clientSubjects;
    std::vector<bool> sessionsReused;
    size_t bytesAfterwards = 0;  // application bytes drained after the scripted part
    bool closedCleanly = false;
};

std::string pattern(size_t length, char seed) {
    std::string text(length, '\0');
    for (size_t i = 0; i < length; ++i) {
        text[i] = static_cast<char>(seed + static_cast<char>(i % 61));
    }
    return text;
}

class SSLClientSocketTest : public ::testing::Test {
protected:
    void SetUp() override {
        context =
            std::make_unique<SSLContext>(certs().clientCert.c_str(), certs().clientKey.c_str(),
                                         testcerts::kClientKeyPassPhrase, certs().caCert.c_str());
        ASSERT_EQ(0, reactor.start());
    }

    void TearDown() override {
        for (auto& socket : sockets) {
            reactor.removeSocket(socket.get());
        }
        sockets.clear();
        reactor.stop();
    }

    // A trusted server (certificate from the client's CA) running the handler per connection.
    std::unique_ptr<TlsTestServer> trustedServer(TlsTestServer::Handler handler,
                                                 bool smallReceiveBuffer = false) {
        return std::make_unique<TlsTestServer>(certs().serverCert, certs().serverKey,
                                               certs().caCert, std::move(handler),
                                               smallReceiveBuffer);
    }

    // smallSendBuffer: a send buffer of a few kilobytes, so that writes would block soon.
    RecordingSocket& connectTo(const TlsTestServer& server, bool closeOnError = true,
                               SSLContext* from = nullptr, bool smallSendBuffer = false) {
        sockets.push_back(std::make_unique<RecordingSocket>(from ? *from : *context, closeOnError));
        RecordingSocket& socket = *sockets.back();
        if (smallSendBuffer) {
            platform::setSendBuffer(socket.handle(), 4096);
        }
        EXPECT_EQ(0, reactor.addSocket(&socket));
        EXPECT_EQ(0, socket.connect(InetAddr(KRIString("127.0.0.1"), server.port())));
        return socket;
    }

    // Unregisters and destroys a socket, which closes its connection.
    void drop(RecordingSocket& socket) {
        reactor.removeSocket(&socket);
        for (auto it = sockets.begin(); it != sockets.end(); ++it) {
            if (it->get() == &socket) {
                sockets.erase(it);
                return;
            }
        }
    }

    int sendOnLoop(RecordingSocket& socket, const std::string& payload) {
        int result = 0;
        onLoop(reactor, [&] {
            result = socket.sendMessage(payload.data(), static_cast<int>(payload.size()));
        });
        return result;
    }

    static bool connectedOnce(const SocketLog& l) { return l.connects == 1; }

    std::unique_ptr<SSLContext> context;
    Reactor reactor;
    std::vector<std::unique_ptr<RecordingSocket>> sockets;
};

TEST_F(SSLClientSocketTest, VerifiedHandshakeCarriesFramesBothWays) {
    Observed<ServerLog> seen;
    const std::string large = pattern(100000, 'A');  // several TLS records
    auto server = trustedServer([&](TlsTestServer::Connection& c) {
        seen.change([&](ServerLog& l) { l.clientSubjects.push_back(c.clientSubject()); });
        for (int i = 0; i < 3; ++i) {
            std::string frame;
            if (!c.readFrame(frame)) {
                return;
            }
            seen.change([&](ServerLog& l) { l.frames.push_back(frame); });
        }
        c.writeFrame("reply");
        c.writeFrame(large);
        const size_t extra = c.drain(5000);
        seen.change([&](ServerLog& l) { l.bytesAfterwards = extra; });
    });
    RecordingSocket& socket = connectTo(*server);
    ASSERT_TRUE(socket.log.waitUntil(connectedOnce));
    EXPECT_EQ(2, socket.getSSLState());
    EXPECT_NE(-1, socket.getPeerName().find(KRIString("CN=localhost"), 0))
        << socket.getPeerName().c_str();

    const std::string big = pattern(50000, 'a');
    EXPECT_EQ(5 + 4, sendOnLoop(socket, "alpha"));
    EXPECT_EQ(0 + 4, sendOnLoop(socket, ""));
    EXPECT_EQ(50000 + 4, sendOnLoop(socket, big));

    ASSERT_TRUE(seen.waitUntil([](const ServerLog& l) { return l.frames.size() == 3; }));
    const ServerLog serverLog = seen.get();
    EXPECT_EQ("alpha", serverLog.frames[0]);
    EXPECT_EQ("", serverLog.frames[1]);
    EXPECT_EQ(big, serverLog.frames[2]);
    ASSERT_EQ(1u, serverLog.clientSubjects.size());
    EXPECT_NE(std::string::npos, serverLog.clientSubjects[0].find("CN=Kri Test Client"));

    ASSERT_TRUE(socket.log.waitUntil([](const SocketLog& l) { return l.messages.size() == 2; }));
    const SocketLog log = socket.log.get();
    EXPECT_EQ("reply", log.messages[0]);
    EXPECT_EQ(large, log.messages[1]);
    EXPECT_TRUE(log.errors.empty());
    EXPECT_EQ(std::vector<int>{-10057}, log.sendsDuringConnect);

    drop(socket);
    ASSERT_TRUE(seen.waitUntil([](const ServerLog& l) { return l.frames.size() == 3; }));
}

TEST_F(SSLClientSocketTest, WritesThatWouldBlockAreQueuedAndArriveWholeInOrder) {
    constexpr int kFrames = 64;
    constexpr size_t kFrameSize = 16 * 1024;
    Observed<bool> sendingDone;
    Observed<ServerLog> seen;
    auto server = trustedServer(
        [&](TlsTestServer::Connection& c) {
            // Reads nothing until the client has written everything, so its writes block.
            sendingDone.waitUntil([](bool done) { return done; });
            for (int i = 0; i < kFrames; ++i) {
                std::string frame;
                if (!c.readFrame(frame)) {
                    return;
                }
                seen.change([&](ServerLog& l) { l.frames.push_back(std::move(frame)); });
            }
        },
        true);
    RecordingSocket& socket = connectTo(*server, true, nullptr, true);
    ASSERT_TRUE(socket.log.waitUntil(connectedOnce));

    std::vector<std::string> frames;
    for (int i = 0; i < kFrames; ++i) {
        frames.push_back(std::to_string(i) + ":" +
                         pattern(kFrameSize, static_cast<char>('a' + i % 20)));
    }
    int queued = 0;
    onLoop(reactor, [&] {
        for (const std::string& f : frames) {
            const int r = socket.sendMessage(f.data(), static_cast<int>(f.size()));
            if (r == 0) {
                ++queued;
            } else {
                EXPECT_EQ(static_cast<int>(f.size()) + 4, r);
            }
        }
    });
    EXPECT_GT(queued, 0) << "the writes never blocked; the test proves nothing";
    sendingDone.change([](bool& done) { done = true; });

    ASSERT_TRUE(seen.waitUntil(
        [&](const ServerLog& l) { return l.frames.size() == static_cast<size_t>(kFrames); }));
    EXPECT_EQ(frames, seen.get().frames);
    EXPECT_TRUE(socket.log.get().errors.empty());
}

// Frames of each thread, in the order received, keyed by the "thread:" prefix.
std::vector<std::vector<std::string>> byThread(const std::vector<std::string>& frames,
                                               int threads) {
    std::vector<std::vector<std::string>> split(static_cast<size_t>(threads));
    for (const std::string& f : frames) {
        split[static_cast<size_t>(f[0] - '0')].push_back(f);
    }
    return split;
}

TEST_F(SSLClientSocketTest, OtherThreadsSendWhileTheReactorReads) {
    constexpr int kThreads = 3;
    constexpr int kPerThread = 300;
    constexpr size_t kTotal = kThreads * kPerThread;
    Observed<ServerLog> seen;
    auto server = trustedServer([&](TlsTestServer::Connection& c) {
        std::string frame;
        for (size_t i = 0; i < kTotal && c.readFrame(frame); ++i) {
            c.writeFrame(frame);
            seen.change([&](ServerLog& l) { l.frames.push_back(frame); });
        }
        c.drain(5000);
    });
    RecordingSocket& socket = connectTo(*server);
    ASSERT_TRUE(socket.log.waitUntil(connectedOnce));

    std::vector<std::vector<std::string>> sent(kThreads);
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kPerThread; ++i) {
            sent[t].push_back(std::to_string(t) + ":" + std::to_string(i) + ":" +
                              pattern(200 + static_cast<size_t>(i), 'a'));
        }
        senders.emplace_back([&socket, &frames = sent[t]] {
            for (const std::string& f : frames) {
                const int r = socket.sendMessage(f.data(), static_cast<int>(f.size()));
                EXPECT_TRUE(r == 0 || r == static_cast<int>(f.size()) + 4) << r;
            }
        });
    }
    for (std::thread& sender : senders) {
        sender.join();
    }

    ASSERT_TRUE(seen.waitUntil([&](const ServerLog& l) { return l.frames.size() == kTotal; }));
    EXPECT_EQ(sent, byThread(seen.get().frames, kThreads)) << "each thread's frames in order";
    ASSERT_TRUE(
        socket.log.waitUntil([&](const SocketLog& l) { return l.messages.size() == kTotal; }));
    EXPECT_EQ(sent, byThread(socket.log.get().messages, kThreads)) << "the echoes, whole";
    EXPECT_TRUE(socket.log.get().errors.empty());
    drop(socket);
}

TEST_F(SSLClientSocketTest, ServerCloseEndsTheSessionGracefully) {
    Observed<ServerLog> seen;
    auto server = trustedServer([&](TlsTestServer::Connection& c) {
        std::string frame;
        c.readFrame(frame);
        const bool clean = c.closeSession();
        seen.change([&](ServerLog& l) {
            l.frames.push_back(frame);
            l.closedCleanly = clean;
        });
    });
    RecordingSocket& socket = connectTo(*server);
    ASSERT_TRUE(socket.log.waitUntil(connectedOnce));
    EXPECT_EQ(8, sendOnLoop(socket, "last"));

    ASSERT_TRUE(socket.log.waitUntil([](const SocketLog& l) { return !l.disconnects.empty(); }));
    const SocketLog log = socket.log.get();
    ASSERT_FALSE(log.statesAtPeerClose.empty());
    const int stateAtClose = log.statesAtPeerClose.front();
    EXPECT_TRUE(stateAtClose == 3 || stateAtClose == 4) << stateAtClose;
    EXPECT_EQ(4, stateAtClose) << "the client answers the server's close alert at once";
    EXPECT_EQ(std::vector<bool>{true}, log.disconnects);
    EXPECT_TRUE(log.errors.empty());
    EXPECT_EQ(0, socket.getSSLState());

    ASSERT_TRUE(seen.waitUntil([](const ServerLog& l) { return !l.frames.empty(); }));
    EXPECT_EQ("last", seen.get().frames[0]);
    EXPECT_TRUE(seen.get().closedCleanly) << "the server got the client's close alert";
}

TEST_F(SSLClientSocketTest, LocalShutdownCompletesTheSslClose) {
    Observed<ServerLog> seen;
    auto server = trustedServer([&](TlsTestServer::Connection& c) {
        const bool clean = c.answerClose();
        seen.change([&](ServerLog& l) { l.closedCleanly = clean; });
    });
    RecordingSocket& socket = connectTo(*server);
    ASSERT_TRUE(socket.log.waitUntil(connectedOnce));

    int result = -1;
    int stateAfter = -1;
    onLoop(reactor, [&] {
        result = socket.shutdownSend();
        stateAfter = socket.getSSLState();
    });
    EXPECT_EQ(0, result);
    EXPECT_EQ(3, stateAfter) << "the server's close alert is still awaited";

    ASSERT_TRUE(socket.log.waitUntil([](const SocketLog& l) { return !l.disconnects.empty(); }));
    const SocketLog log = socket.log.get();
    ASSERT_FALSE(log.statesAtPeerClose.empty());
    EXPECT_EQ(4, log.statesAtPeerClose.front());
    EXPECT_EQ(std::vector<bool>{true}, log.disconnects);
    EXPECT_TRUE(seen.waitUntil([](const ServerLog& l) { return l.closedCleanly; }));
}

TEST_F(SSLClientSocketTest, ResetEndsTheSessionAsNotGraceful) {
    auto server = trustedServer([](TlsTestServer::Connection& c) { c.reset(); });
    RecordingSocket& socket = connectTo(*server);
    ASSERT_TRUE(socket.log.waitUntil([](const SocketLog& l) { return !l.disconnects.empty(); }));
    const SocketLog log = socket.log.get();
    EXPECT_EQ(1, log.connects);
    EXPECT_EQ(std::vector<bool>{false}, log.disconnects);
    for (int error : log.errors) {
        EXPECT_EQ(-10054, error) << "a reset reads as WSAECONNRESET";
    }
    EXPECT_EQ(0, socket.getSSLState());
}

TEST_F(SSLClientSocketTest, WriteAfterAResetReportsTheSocketError) {
    Observed<bool> go;
    Observed<bool> resetDone;
    auto server = trustedServer([&](TlsTestServer::Connection& c) {
        go.waitUntil([](bool v) { return v; });
        c.reset();
        resetDone.change([](bool& v) { v = true; });
    });
    RecordingSocket& socket = connectTo(*server);
    ASSERT_TRUE(socket.log.waitUntil(connectedOnce));

    // Held on the reactor's thread, the socket cannot see the reset before it writes.
    int result = 0;
    onLoop(reactor, [&] {
        go.change([](bool& v) { v = true; });
        resetDone.waitUntil([](bool v) { return v; });
        std::this_thread::sleep_for(50ms);
        result = socket.sendMessage("late", 4);
    });
    EXPECT_EQ(-10054, result) << "the errno of the failed send, as a Windows Sockets number";
}

TEST_F(SSLClientSocketTest, ReconnectsAfterCloseWithAFreshSession) {
    Observed<ServerLog> seen;
    auto server = trustedServer([&](TlsTestServer::Connection& c) {
        std::string frame;
        c.readFrame(frame);
        const bool reused = c.sessionReused();
        seen.change([&](ServerLog& l) {
            ++l.connections;
            l.frames.push_back(frame);
            l.sessionsReused.push_back(reused);
        });
    });
    RecordingSocket& socket = connectTo(*server);
    ASSERT_TRUE(socket.log.waitUntil(connectedOnce));
    EXPECT_EQ(9, sendOnLoop(socket, "first"));
    ASSERT_TRUE(socket.log.waitUntil([](const SocketLog& l) { return l.disconnects.size() == 1; }));
    EXPECT_EQ(0, socket.getSSLState());
    EXPECT_EQ(KRIString(""), socket.getPeerName()) << "the new session has no peer yet";

    EXPECT_EQ(0, socket.connect(InetAddr(KRIString("127.0.0.1"), server->port())));
    ASSERT_TRUE(socket.log.waitUntil([](const SocketLog& l) { return l.connects == 2; }));
    EXPECT_EQ(2, socket.getSSLState());
    EXPECT_EQ(10, sendOnLoop(socket, "second"));

    ASSERT_TRUE(seen.waitUntil([](const ServerLog& l) { return l.connections == 2; }));
    const ServerLog serverLog = seen.get();
    EXPECT_EQ((std::vector<std::string>{"first", "second"}), serverLog.frames);
    EXPECT_EQ((std::vector<bool>{false, false}), serverLog.sessionsReused);
}

TEST_F(SSLClientSocketTest, NothingIsWrittenBeforeTheHandshake) {
    Observed<ServerLog> seen;
    auto server = trustedServer([&](TlsTestServer::Connection& c) {
        std::string frame;
        c.readFrame(frame);
        const size_t extra = c.drain(5000);
        seen.change([&](ServerLog& l) {
            l.frames.push_back(frame);
            l.bytesAfterwards = extra;
            ++l.connections;
        });
    });

    sockets.push_back(std::make_unique<RecordingSocket>(*context, true));
    RecordingSocket& socket = *sockets.back();
    ASSERT_EQ(0, reactor.addSocket(&socket));
    int raw = 0;
    int framed = 0;
    int shut = -1;
    onLoop(reactor, [&] {
        raw = socket.sendRaw("x", 1);
        framed = socket.sendMessage("x", 1);
        shut = socket.shutdownSend();
    });
    EXPECT_EQ(-10057, raw);
    EXPECT_EQ(-10057, framed);
    EXPECT_EQ(0, shut);
    EXPECT_EQ(0, socket.getSSLState());

    // The socket's onConnected tries sendRaw before the handshake starts.
    EXPECT_EQ(0, socket.connect(InetAddr(KRIString("127.0.0.1"), server->port())));
    ASSERT_TRUE(socket.log.waitUntil(connectedOnce));
    EXPECT_EQ(std::vector<int>{-10057}, socket.log.get().sendsDuringConnect);
    EXPECT_EQ(9, sendOnLoop(socket, "after"));
    drop(socket);

    ASSERT_TRUE(seen.waitUntil([](const ServerLog& l) { return l.connections == 1; }));
    EXPECT_EQ(std::vector<std::string>{"after"}, seen.get().frames);
    EXPECT_EQ(0u, seen.get().bytesAfterwards);
}

// A plain TCP server on 127.0.0.1 that answers whatever arrives with text that is not TLS and
// keeps the connection open until the client closes it (at most a few seconds).
class NotTlsServer {
public:
    NotTlsServer() {
        std::string reason;
        listener = testsockets::listenOnLoopback(0x7F000001, 0, 0, reason);
        if (listener == platform::kInvalidSocket) {
            throw std::runtime_error("NotTlsServer: " + reason);
        }
        listenPort = platform::netToHost16(platform::localPort(listener));
        thread = std::thread([this] { serve(); });
    }
    ~NotTlsServer() {
        thread.join();
        platform::closeSocket(listener);
    }
    uint16_t port() const { return listenPort; }

private:
    void serve() {
        if (!testsockets::waitReadable(listener, 5000)) {
            return;
        }
        const platform::SocketHandle connection = platform::acceptSocket(listener);
        testsockets::setIoTimeouts(connection, 5);
        char hello[512];
        platform::recvSocket(connection, hello, sizeof(hello));
        const char banner[] = "220 plain text service ready, this is not TLS at all\r\n";
        platform::sendSocket(connection, banner, sizeof(banner) - 1);
        while (testsockets::waitReadable(connection, 5000) &&
               platform::recvSocket(connection, hello, sizeof(hello)) > 0) {
        }
        platform::closeSocket(connection);
    }

    platform::SocketHandle listener = platform::kInvalidSocket;
    uint16_t listenPort = 0;
    std::thread thread;
};

TEST_F(SSLClientSocketTest, HandshakeWithAServerThatIsNotTlsClosesTheConnection) {
    NotTlsServer server;
    sockets.push_back(std::make_unique<RecordingSocket>(*context, true));
    RecordingSocket& socket = *sockets.back();
    ASSERT_EQ(0, reactor.addSocket(&socket));
    ASSERT_EQ(0, socket.connect(InetAddr(KRIString("127.0.0.1"), server.port())));

    ASSERT_TRUE(socket.log.waitUntil([](const SocketLog& l) { return !l.disconnects.empty(); }))
        << "the failed handshake left the connection open";
    const SocketLog log = socket.log.get();
    EXPECT_EQ(0, log.connects);
    EXPECT_EQ(std::vector<bool>{false}, log.disconnects);
    EXPECT_EQ(0, socket.getSSLState());
    drop(socket);
}

TEST_F(SSLClientSocketTest, AServerCarryingTheExpectedNameOrAddressIsVerified) {
    for (const char* name : {"localhost", "127.0.0.1", "LOCALHOST"}) {
        auto server = trustedServer([](TlsTestServer::Connection& c) {
            std::string payload;
            if (c.readFrame(payload)) {
                c.writeFrame(payload);
            }
        });
        context->setExpectedServerName(name);
        RecordingSocket& socket = connectTo(*server);
        ASSERT_TRUE(socket.log.waitUntil(connectedOnce)) << name;
        EXPECT_EQ(sendOnLoop(socket, "studio data"), 4 + 11);
        ASSERT_TRUE(socket.log.waitUntil([](const SocketLog& l) { return !l.messages.empty(); }));
        EXPECT_TRUE(socket.log.get().errors.empty()) << name;
        drop(socket);
    }
}

// The server's certificate comes from a CA the client does not trust, or the client trusts none,
// or it is from the trusted CA but for another name than the one the client expects.
struct UntrustedCase {
    const char* name;
    bool otherCaServer;
    bool emptyCaText;
    bool closeOnError;
    const char* expectedName = nullptr;
    bool evilServer = false;
};

void PrintTo(const UntrustedCase& c, std::ostream* out) {
    *out << c.name;
}

class UntrustedServerTest : public SSLClientSocketTest,
                            public ::testing::WithParamInterface<UntrustedCase> {};

TEST_P(UntrustedServerTest, GetsNoApplicationDataAndIsReportedOnce) {
    const UntrustedCase& param = GetParam();
    Observed<ServerLog> seen;
    TlsTestServer::Handler handler = [&](TlsTestServer::Connection& c) {
        // Sends, so that the client has readable events after the handshake.
        c.writeFrame("from the server");
        std::this_thread::sleep_for(50ms);
        c.writeFrame("again");
        const size_t received = c.drain(5000);
        seen.change([&](ServerLog& l) {
            ++l.connections;
            l.bytesAfterwards = received;
        });
    };
    auto server = param.otherCaServer ? std::make_unique<TlsTestServer>(certs().otherServerCert,
                                                                        certs().otherServerKey,
                                                                        certs().caCert, handler)
                  : param.evilServer
                      ? std::make_unique<TlsTestServer>(
                            certs().evilServerCert, certs().evilServerKey, certs().caCert, handler)
                      : trustedServer(handler);
    SSLContext trustsNothing(certs().clientCert.c_str(), certs().clientKey.c_str(),
                             testcerts::kClientKeyPassPhrase, "");
    if (param.expectedName != nullptr) {
        context->setExpectedServerName(param.expectedName);
    }
    RecordingSocket& socket =
        connectTo(*server, param.closeOnError, param.emptyCaText ? &trustsNothing : nullptr);

    ASSERT_TRUE(socket.log.waitUntil([](const SocketLog& l) { return !l.errors.empty(); }));
    EXPECT_EQ(-10057, sendOnLoop(socket, "studio data"));
    // Give the server's frames time to arrive and be dropped.
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(-10057, sendOnLoop(socket, "more studio data"));

    // The client ended the handshake, so the server closes the connection too.
    ASSERT_TRUE(socket.log.waitUntil([](const SocketLog& l) { return !l.disconnects.empty(); }));
    const SocketLog log = socket.log.get();
    EXPECT_EQ(std::vector<int>{-25}, log.errors);
    EXPECT_EQ(0, log.connects);
    EXPECT_TRUE(log.messages.empty()) << "nothing from an unverified server is delivered";
    EXPECT_EQ(std::vector<bool>{false}, log.disconnects);
    EXPECT_EQ(0, socket.getSSLState());

    drop(socket);
    // Verified during the handshake: the client gave up before it sent its certificate, which
    // the server requires, so the server saw no handshake complete and its handler never ran.
    ASSERT_TRUE(eventually([&] { return server->failedHandshakes() == 1; }));
    EXPECT_EQ(0, server->handshakes());
    EXPECT_EQ(0, seen.get().connections);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UntrustedServerTest,
    ::testing::Values(UntrustedCase{"OtherCaKeptOpen", true, false, false},
                      UntrustedCase{"OtherCaClosed", true, false, true},
                      UntrustedCase{"EmptyCaText", false, true, false},
                      UntrustedCase{"OtherName", false, false, true, "aggr.example.net", true},
                      UntrustedCase{"OtherAddress", false, false, true, "127.0.0.2"}),
    [](const ::testing::TestParamInfo<UntrustedCase>& info) { return info.param.name; });

}  // namespace
