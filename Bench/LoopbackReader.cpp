#include "Bench/LoopbackReader.h"

#include <algorithm>
#include <string>

#include <unistd.h>

#include "Tests/TestCerts.h"

LoopbackReader::LoopbackReader(int addresses, int ioTimeoutSeconds) {
    const testcerts::CertFiles& certs = testcerts::testCerts();
    TlsTestServer::Options options;
    options.ioTimeoutSeconds = ioTimeoutSeconds;
    for (int n = 0; n < addresses; ++n) {
        options.address = address(n);
        const bool first = n == 0;
        servers.push_back(std::make_unique<TlsTestServer>(
            certs.serverCert, certs.serverKey, certs.caCert,
            [this, first](TlsTestServer::Connection& connection) {
                noteThread(gettid());
                std::string frame;
                while (connection.readFrame(frame)) {
                    frameRead(first);
                }
            },
            options));
        options.port = servers.front()->port();
    }
}

LoopbackReader::~LoopbackReader() = default;

uint64_t LoopbackReader::frames() {
    std::lock_guard<std::mutex> lock(mutex);
    return frameCount;
}

int LoopbackReader::handshakes() const {
    int count = 0;
    for (const auto& server : servers) {
        count += server->handshakes();
    }
    return count;
}

bool LoopbackReader::waitForFrames(uint64_t count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex);
    wakeAt = count;
    const bool reached = changed.wait_for(lock, timeout, [&] { return frameCount >= count; });
    wakeAt = kNobodyWaits;
    return reached;
}

void LoopbackReader::startStamping(size_t expected) {
    std::lock_guard<std::mutex> lock(mutex);
    stamps.clear();
    stamps.reserve(expected);
    stamping = true;
}

std::vector<LoopbackReader::TimePoint> LoopbackReader::takeStamps() {
    std::lock_guard<std::mutex> lock(mutex);
    stamping = false;
    return std::move(stamps);
}

std::vector<pid_t> LoopbackReader::threadIds() {
    std::lock_guard<std::mutex> lock(mutex);
    return readerThreads;
}

void LoopbackReader::noteThread(pid_t thread) {
    std::lock_guard<std::mutex> lock(mutex);
    if (std::find(readerThreads.begin(), readerThreads.end(), thread) == readerThreads.end()) {
        readerThreads.push_back(thread);
    }
}

void LoopbackReader::frameRead(bool stampable) {
    const TimePoint arrival = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(mutex);
    ++frameCount;
    if (stamping && stampable) {
        stamps.push_back(arrival);
    }
    if (frameCount >= wakeAt) {
        changed.notify_all();
    }
}
