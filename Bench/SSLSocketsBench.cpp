// Framed messages per second over SSLClientSocket under a running reactor to a loopback TLS
// reader, against SSL_write of the same frames in a plain loop on a blocking socket (the limit).
// Both runs wait until the reader has every frame; the ratio is socket rate / plain rate.
#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "Bench/PlainTlsWriter.h"
#include "Reactor.h"
#include "SSLSockets.h"
#include "Tests/TestCerts.h"
#include "Tests/TlsTestServer.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kFramesPerBatch = 1000;
constexpr int kPayloadSize = 256;

// Counts the frames a reader has taken off its connection.
class FrameCount {
public:
    void add() {
        std::lock_guard<std::mutex> lock(mutex);
        ++count;
        changed.notify_all();
    }
    void waitFor(long target) {
        std::unique_lock<std::mutex> lock(mutex);
        if (!changed.wait_for(lock, std::chrono::seconds(10), [&] { return count >= target; })) {
            throw std::runtime_error("the TLS reader did not receive every frame");
        }
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    long count = 0;
};

std::unique_ptr<TlsTestServer> reader(FrameCount& frames) {
    const testcerts::CertFiles& certs = testcerts::testCerts();
    return std::make_unique<TlsTestServer>(certs.serverCert, certs.serverKey, certs.caCert,
                                           [&frames](TlsTestServer::Connection& c) {
                                               std::string frame;
                                               while (c.readFrame(frame)) {
                                                   frames.add();
                                               }
                                           });
}

class ConnectedBenchSocket : public SSLClientSocket {
public:
    using SSLClientSocket::SSLClientSocket;

    void waitConnected() {
        std::unique_lock<std::mutex> lock(mutex);
        if (!changed.wait_for(lock, std::chrono::seconds(10), [&] { return up; })) {
            throw std::runtime_error("the TLS handshake did not complete");
        }
    }

protected:
    bool onSSLConnected() override {
        std::lock_guard<std::mutex> lock(mutex);
        up = true;
        changed.notify_all();
        return true;
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    bool up = false;
};

// Sends one batch on the reactor's thread, where the socket's reads also run.
class SendBatch : public Task {
public:
    SendBatch(SSLClientSocket& socket, const std::string& payload)
        : socket(socket), payload(payload) {}
    void execute() override {
        for (int i = 0; i < kFramesPerBatch; ++i) {
            socket.sendMessage(payload.data(), static_cast<int>(payload.size()));
        }
        finish();
    }
    void executeOnStop() override { finish(); }
    void wait() {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return done; });
    }

private:
    void finish() {
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
        changed.notify_all();
    }

    SSLClientSocket& socket;
    const std::string& payload;
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;
};

void BM_SSLClientSocketFramesAgainstSslWrite(benchmark::State& state) {
    const testcerts::CertFiles& certs = testcerts::testCerts();
    SSLContext context(certs.clientCert.c_str(), certs.clientKey.c_str(),
                       testcerts::kClientKeyPassPhrase, certs.caCert.c_str());
    const std::string payload(kPayloadSize, 'p');
    const std::string frame = PlainTlsWriter::frameOf(payload.data(), payload.size());

    FrameCount socketFrames;
    FrameCount plainFrames;
    auto socketReader = reader(socketFrames);
    auto plainReader = reader(plainFrames);

    Reactor reactor;
    reactor.start();
    ConnectedBenchSocket socket(context);
    reactor.addSocket(&socket);
    socket.connect(InetAddr(KRIString("127.0.0.1"), socketReader->port()));
    socket.waitConnected();
    PlainTlsWriter plain(context.getContext(), plainReader->port());

    long sent = 0;
    double socketSeconds = 0;
    double plainSeconds = 0;
    for (auto _ : state) {
        sent += kFramesPerBatch;
        const auto socketStart = Clock::now();
        SendBatch batch(socket, payload);
        reactor.postTask(&batch);
        batch.wait();
        socketFrames.waitFor(sent);
        const std::chrono::duration<double> socketTime = Clock::now() - socketStart;

        const auto plainStart = Clock::now();
        for (int i = 0; i < kFramesPerBatch; ++i) {
            plain.write(frame);
        }
        plainFrames.waitFor(sent);
        const std::chrono::duration<double> plainTime = Clock::now() - plainStart;

        socketSeconds += socketTime.count();
        plainSeconds += plainTime.count();
        state.SetIterationTime(socketTime.count());
    }
    reactor.removeSocket(&socket);
    reactor.stop();

    const double socketRate = static_cast<double>(sent) / socketSeconds;
    const double plainRate = static_cast<double>(sent) / plainSeconds;
    state.SetItemsProcessed(sent);
    state.counters["socket_frames_per_s"] = socketRate;
    state.counters["ssl_write_frames_per_s"] = plainRate;
    state.counters["ratio"] = socketRate / plainRate;
}
BENCHMARK(BM_SSLClientSocketFramesAgainstSslWrite)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
