#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include "Platform/Event.h"
#include "Platform/NetworkEvent.h"
#include "Platform/Resolver.h"
#include "Platform/Socket.h"

using namespace platform;

namespace {

constexpr uint32_t kExpected = 2000;  // an event that must come arrives well within this
constexpr uint32_t kQuiet = 60;       // how long a handle that must stay silent is watched

uint32_t loopback() {
    return inetAddr("127.0.0.1");
}

// A listener on 127.0.0.1 with a free port, closed at the end of the test.
struct Listener {
    Listener() : handle(openListener(loopback(), 0, 32)), port(localPort(handle)) {}
    ~Listener() { closeSocket(handle); }
    SocketHandle handle;
    uint16_t port;
};

// A non-blocking client handle selected into the event before it connects, as the loop does.
struct Client {
    explicit Client(NetworkEvent& event) : handle(openTcpSocket()) {
        setNonBlocking(handle);
        event.select(handle);
    }
    ~Client() { closeSocket(handle); }
    SocketHandle handle;
};

class NetworkEventTest : public ::testing::Test {
protected:
    void SetUp() override {
        event = NetworkEvent::create();
        ASSERT_NE(nullptr, event);
    }

    // One loop iteration for one handle: wait, reset, enumerate. Reports nothing on time-out.
    NetworkEvents next(SocketHandle h, uint32_t timeoutMs) {
        NetworkEvents events;
        LoopWaitResult r = waitForSignalOrNetwork(signal, event.get(), timeoutMs);
        if (r == LoopWaitResult::kNetwork) {
            event->reset();
            EXPECT_EQ(0, enumNetworkEvents(h, events));
        }
        return events;
    }

    // Connects a client and takes its FD_CONNECT; returns the server's end of the connection.
    SocketHandle connectAndAccept(Client& c) {
        EXPECT_EQ(-kWsaEWouldBlock, connectSocket(c.handle, loopback(), listener.port));
        SocketHandle server = acceptSocket(listener.handle);
        NetworkEvents events = next(c.handle, kExpected);
        EXPECT_EQ(kFdConnect | kFdWrite, events.networkEvents);
        event->select(c.handle);
        return server;
    }

    AutoResetEvent signal;
    std::unique_ptr<NetworkEvent> event;
    Listener listener;
};

// Reads until `total` bytes have arrived or the peer closes.
void drain(SocketHandle h, size_t total) {
    std::vector<char> buf(1 << 16);
    size_t got = 0;
    while (got < total) {
        int n = recvSocket(h, buf.data(), static_cast<int>(buf.size()));
        if (n <= 0) {
            return;
        }
        got += static_cast<size_t>(n);
    }
}

}  // namespace

TEST(SocketCalls, ErrorNumbersAreWindowsSocketsNumbers) {
    EXPECT_EQ(10035, winsockError(EAGAIN));
    EXPECT_EQ(10035, winsockError(EINPROGRESS));
    EXPECT_EQ(10053, winsockError(ECONNABORTED));
    EXPECT_EQ(10054, winsockError(ECONNRESET));
    EXPECT_EQ(10057, winsockError(ENOTCONN));
    EXPECT_EQ(10058, winsockError(EPIPE));
    EXPECT_EQ(10060, winsockError(ETIMEDOUT));
    EXPECT_EQ(10061, winsockError(ECONNREFUSED));
    EXPECT_EQ(10051, winsockError(ENETUNREACH));
    EXPECT_EQ(10065, winsockError(EHOSTUNREACH));
    EXPECT_EQ(10107, winsockError(ENOENT));
    // The calls themselves report negated numbers.
    char byte = 0;
    EXPECT_EQ(-10038, sendSocket(kInvalidSocket, &byte, 1));
    SocketHandle fresh = openTcpSocket();
    EXPECT_EQ(-10057, sendSocket(fresh, &byte, 1));
    closeSocket(fresh);
}

TEST(Resolver, AddressTextAndNames) {
    const unsigned char expected[4] = {127, 0, 0, 1};
    uint32_t address = inetAddr("127.0.0.1");
    EXPECT_EQ(0, std::memcmp(expected, &address, 4));
    EXPECT_EQ(kAddressNone, inetAddr("no address"));
    EXPECT_EQ(std::vector<uint32_t>{inetAddr("127.0.0.2")}, resolveHost("127.0.0.2"));

    std::vector<uint32_t> local = resolveHost("localhost");
    ASSERT_FALSE(local.empty());
    EXPECT_NE(local.end(), std::find(local.begin(), local.end(), address));
    for (size_t i = 0; i < local.size(); ++i) {
        for (size_t j = i + 1; j < local.size(); ++j) {
            EXPECT_NE(local[i], local[j]);
        }
    }
}

TEST_F(NetworkEventTest, FreshHandleRecordsNothingThenConnectRecordsConnectAndWriteOnce) {
    Client c(*event);
    EXPECT_EQ(0u, next(c.handle, kQuiet).networkEvents);

    SocketHandle server = connectAndAccept(c);
    // FD_WRITE is not recorded again until a send would block.
    EXPECT_EQ(0u, next(c.handle, kQuiet).networkEvents);
    closeSocket(server);
}

TEST_F(NetworkEventTest, RefusedConnectRecordsItsErrorAndThenNothing) {
    Listener closed;
    const uint16_t port = closed.port;
    closeSocket(closed.handle);
    closed.handle = kInvalidSocket;

    Client c(*event);
    int r = connectSocket(c.handle, loopback(), port);
    if (r == -kWsaEWouldBlock) {
        NetworkEvents events = next(c.handle, kExpected);
        EXPECT_EQ(kFdConnect, events.networkEvents);
        EXPECT_EQ(kWsaEConnRefused, events.errorCode[kFdConnectBit]);
    } else {
        EXPECT_EQ(-kWsaEConnRefused, r);
    }
    event->select(c.handle);
    EXPECT_EQ(0u, next(c.handle, kQuiet).networkEvents);
}

TEST_F(NetworkEventTest, ReadIsReportedWhileDataWaitsAndCloseOnce) {
    Client c(*event);
    SocketHandle server = connectAndAccept(c);
    ASSERT_EQ(5, sendSocket(server, "hello", 5));

    EXPECT_EQ(kFdRead, next(c.handle, kExpected).networkEvents);
    // Not read: told again after the re-arm.
    event->select(c.handle);
    EXPECT_EQ(kFdRead, next(c.handle, kExpected).networkEvents);
    char buf[16];
    EXPECT_EQ(5, recvSocket(c.handle, buf, sizeof buf));
    event->select(c.handle);
    EXPECT_EQ(0u, next(c.handle, kQuiet).networkEvents);

    closeSocket(server);
    NetworkEvents events = next(c.handle, kExpected);
    EXPECT_EQ(kFdClose, events.networkEvents);
    EXPECT_EQ(0, events.errorCode[kFdCloseBit]);
    event->select(c.handle);
    EXPECT_EQ(0u, next(c.handle, kQuiet).networkEvents);
}

TEST_F(NetworkEventTest, DataFollowedByCloseReportsBoth) {
    Client c(*event);
    SocketHandle server = connectAndAccept(c);
    ASSERT_EQ(3, sendSocket(server, "bye", 3));
    closeSocket(server);
    NetworkEvents events;
    // The data and the close may be seen in one harvest or in two.
    for (int i = 0; i < 2 && !(events.networkEvents & kFdClose); ++i) {
        NetworkEvents more = next(c.handle, kExpected);
        events.networkEvents |= more.networkEvents;
        event->select(c.handle);
    }
    EXPECT_EQ(kFdRead | kFdClose, events.networkEvents);
    char buf[8];
    EXPECT_EQ(3, recvSocket(c.handle, buf, sizeof buf));
    EXPECT_EQ(0, recvSocket(c.handle, buf, sizeof buf));
}

TEST_F(NetworkEventTest, ResetRecordsCloseWithConnectionReset) {
    Client c(*event);
    SocketHandle server = connectAndAccept(c);
    abortiveClose(server);
    NetworkEvents events = next(c.handle, kExpected);
    EXPECT_EQ(kFdClose, events.networkEvents);
    EXPECT_EQ(kWsaEConnReset, events.errorCode[kFdCloseBit]);
}

TEST_F(NetworkEventTest, WriteIsReportedOnceAfterASendThatWouldBlock) {
    Client c(*event);
    SocketHandle server = connectAndAccept(c);

    // Fill the connection until a send would block; the loop is not re-armed afterwards. Each
    // send that would block re-enables FD_WRITE, which comes once there is room again: when the
    // peer's receive buffer has taken more of the data (it grows on its own under Wine), or
    // else once the peer has read.
    for (int round = 0; round < 2; ++round) {
        std::vector<char> chunk(1 << 16, 'x');
        size_t sent = 0;
        NetworkEvents quiet;
        for (int fills = 0; fills < 20; ++fills) {
            int r = 0;
            for (int i = 0; i < 10000; ++i) {
                r = sendSocket(c.handle, chunk.data(), static_cast<int>(chunk.size()));
                if (r < 0) {
                    break;
                }
                sent += static_cast<size_t>(r);
            }
            ASSERT_EQ(-kWsaEWouldBlock, r);
            quiet = next(c.handle, kQuiet);
            if (quiet.networkEvents != kFdWrite) {
                break;
            }
        }
        EXPECT_EQ(0u, quiet.networkEvents);

        std::thread reader([&] { drain(server, sent); });
        EXPECT_EQ(kFdWrite, next(c.handle, kExpected).networkEvents);
        reader.join();
        event->select(c.handle);
        EXPECT_EQ(0u, next(c.handle, kQuiet).networkEvents);
    }
    closeSocket(server);
}

TEST_F(NetworkEventTest, SendFailureFromAnotherThreadReachesTheLoop) {
    Client c(*event);
    SocketHandle server = connectAndAccept(c);
    std::thread sender([&] { reportSendFailure(c.handle, kWsaENoBufferSpace); });
    NetworkEvents events = next(c.handle, kExpected);
    sender.join();
    EXPECT_EQ(kFdWrite, events.networkEvents);
    EXPECT_EQ(kWsaENoBufferSpace, events.errorCode[kFdWriteBit]);
    event->select(c.handle);
    EXPECT_EQ(0u, next(c.handle, kQuiet).networkEvents);
    closeSocket(server);
}

TEST_F(NetworkEventTest, SignalEntryWinsAndNetworkStaysSet) {
    Client c(*event);
    SocketHandle server = connectAndAccept(c);
    ASSERT_EQ(1, sendSocket(server, "x", 1));
    signal.set();
    signal.set();
    EXPECT_EQ(LoopWaitResult::kSignal, waitForSignalOrNetwork(signal, event.get(), kExpected));
    EXPECT_EQ(LoopWaitResult::kNetwork, waitForSignalOrNetwork(signal, event.get(), kExpected));
    EXPECT_EQ(kFdRead, next(c.handle, kExpected).networkEvents);
    // Without a network event only the signal is waited for.
    EXPECT_EQ(LoopWaitResult::kTimedOut, waitForSignalOrNetwork(signal, nullptr, 0));
    closeSocket(server);
}

TEST_F(NetworkEventTest, QuietConnectedHandlesLeaveTheWaitBlocked) {
    std::vector<std::unique_ptr<Client>> clients;
    std::vector<SocketHandle> servers;
    for (int i = 0; i < 16; ++i) {
        clients.push_back(std::make_unique<Client>(*event));
        servers.push_back(connectAndAccept(*clients.back()));
    }
    for (auto& c : clients) {
        event->select(c->handle);
    }
    EXPECT_EQ(LoopWaitResult::kTimedOut, waitForSignalOrNetwork(signal, event.get(), 200));
    for (SocketHandle s : servers) {
        closeSocket(s);
    }
}

TEST_F(NetworkEventTest, HandleMovesToANewEventWhenTheOldOneCloses) {
    Client c(*event);
    SocketHandle server = connectAndAccept(c);
    ASSERT_EQ(1, sendSocket(server, "x", 1));
    event.reset();

    event = NetworkEvent::create();
    event->select(c.handle);
    EXPECT_EQ(kFdRead, next(c.handle, kExpected).networkEvents);
    closeSocket(server);
}

TEST(NetworkEvents, EnumerationOfABadHandleFailsAndReportsNothing) {
    NetworkEvents events;
    events.networkEvents = kFdAllEvents;
    EXPECT_EQ(-kWsaENotSocket, enumNetworkEvents(kInvalidSocket, events));
    EXPECT_EQ(0u, events.networkEvents);
    SocketHandle h = openTcpSocket();
    closeSocket(h);
    EXPECT_EQ(-kWsaENotSocket, enumNetworkEvents(h, events));
    EXPECT_EQ(0u, events.networkEvents);
}
