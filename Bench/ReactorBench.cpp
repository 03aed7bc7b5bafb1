#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Event.h"
#include "Platform/Resolver.h"
#include "Platform/Socket.h"
#include "Reactor.h"
#include "ServerSockets.h"

namespace {

const uint32_t kLoopback = platform::inetAddr("127.0.0.1");

// A task that signals the poster when the loop has run it.
class PingTask : public Task {
public:
    void execute() override { done.set(); }
    void executeOnStop() override { done.set(); }
    platform::AutoResetEvent done;
};

void BM_PostTaskRoundTrip(benchmark::State& state) {
    Reactor reactor;
    reactor.start();
    PingTask ping;
    for (auto _ : state) {
        reactor.postTask(&ping);
        ping.done.wait(platform::kInfinite);
    }
    reactor.stop();
}
BENCHMARK(BM_PostTaskRoundTrip);

// Accepts one connection and counts the framed messages that arrive on it.
class FrameCounter {
public:
    FrameCounter() : listener(platform::openListener(kLoopback, 0, 4)) {
        port = platform::netToHost16(platform::localPort(listener));
        reader = std::thread([this] { readAll(); });
    }
    ~FrameCounter() {
        reader.join();
        platform::closeSocket(listener);
    }

    std::atomic<long> frames{0};
    int port;

private:
    void readAll() {
        const platform::SocketHandle conn = platform::acceptSocket(listener);
        std::vector<char> buf(1 << 16);
        unsigned char header[4];
        int headerHave = 0;
        long payloadLeft = 0;
        for (;;) {
            const int n = platform::recvSocket(conn, buf.data(), static_cast<int>(buf.size()));
            if (n <= 0) {
                break;
            }
            for (int i = 0; i < n;) {
                if (payloadLeft > 0) {
                    const long take = std::min<long>(payloadLeft, n - i);
                    payloadLeft -= take;
                    i += static_cast<int>(take);
                    if (payloadLeft == 0) {
                        frames.fetch_add(1, std::memory_order_release);
                    }
                    continue;
                }
                header[headerHave++] = static_cast<unsigned char>(buf[i++]);
                if (headerHave == 4) {
                    uint32_t length;
                    std::memcpy(&length, header, 4);
                    payloadLeft = platform::netToHost32(length);
                    headerHave = 0;
                    if (payloadLeft == 0) {
                        frames.fetch_add(1, std::memory_order_release);
                    }
                }
            }
        }
        platform::closeSocket(conn);
    }

    platform::SocketHandle listener;
    std::thread reader;
};

class BenchClient : public ClientSocket {
public:
    std::atomic<bool> up{false};

protected:
    void onConnected() override {
        ClientSocket::onConnected();
        up = true;
    }
};

// Waits until the reader has counted `target` frames; false after ten seconds without them.
bool waitFor(const std::atomic<long>& counter, long target) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (counter.load(std::memory_order_acquire) < target) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

// Framed messages from sendMessage through the loop to a loopback reader, against the limit:
// a plain blocking send loop of the same frames on a connection of its own.
void BM_FramedMessages(benchmark::State& state) {
    const int payloadSize = static_cast<int>(state.range(0));
    // A batch stays well inside the socket's queue bound, so that no message is refused.
    const long kBatch =
        std::min<long>(2000, ConnectedSocket::kMaxQueuedBytes / (2 * (payloadSize + 4)));
    const std::string payload(static_cast<size_t>(payloadSize), 'm');

    FrameCounter loopReader;
    Reactor reactor;
    reactor.start();
    BenchClient client;
    reactor.addSocket(&client);
    client.connect(InetAddr(kLoopback, loopReader.port));
    while (!client.up) {
        std::this_thread::yield();
    }

    FrameCounter plainReader;
    const platform::SocketHandle plain = platform::openTcpSocket();
    platform::connectSocket(plain, kLoopback, platform::hostToNet16(plainReader.port));
    std::string frame(4, '\0');
    const uint32_t header = platform::hostToNet32(static_cast<uint32_t>(payloadSize));
    std::memcpy(frame.data(), &header, 4);
    frame += payload;

    double loopSeconds = 0;
    double plainSeconds = 0;
    long sent = 0;
    for (auto _ : state) {
        auto started = std::chrono::steady_clock::now();
        for (long i = 0; i < kBatch; ++i) {
            if (client.sendMessage(payload.data(), payloadSize) < 0) {
                state.SkipWithError("sendMessage failed");
                break;
            }
        }
        if (state.error_occurred()) {
            break;
        }
        if (!waitFor(loopReader.frames, sent + kBatch)) {
            state.SkipWithError("frames sent through the loop did not all arrive");
            break;
        }
        auto middle = std::chrono::steady_clock::now();
        for (long i = 0; i < kBatch; ++i) {
            platform::sendSocket(plain, frame.data(), static_cast<int>(frame.size()));
        }
        if (!waitFor(plainReader.frames, sent + kBatch)) {
            state.SkipWithError("frames sent directly did not all arrive");
            break;
        }
        auto ended = std::chrono::steady_clock::now();
        sent += kBatch;
        loopSeconds += std::chrono::duration<double>(middle - started).count();
        plainSeconds += std::chrono::duration<double>(ended - middle).count();
    }
    state.counters["loop_msgs_per_s"] = static_cast<double>(sent) / loopSeconds;
    state.counters["plain_msgs_per_s"] = static_cast<double>(sent) / plainSeconds;
    state.counters["loop_to_plain_ratio"] = plainSeconds / loopSeconds;

    reactor.removeSocket(&client);
    reactor.stop();
    platform::shutdownSend(client.handle());
    platform::closeSocket(plain);
}
BENCHMARK(BM_FramedMessages)->Arg(64)->Arg(1024)->Arg(16384)->Unit(benchmark::kMillisecond);

}  // namespace
