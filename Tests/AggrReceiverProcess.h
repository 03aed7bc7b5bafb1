// AggrReceiverProcess: runs the reference aggregation receiver (KriAggrReceiver) as a child
// process for tests and benchmarks and collects what it prints (standard output and standard
// error, merged, line by line). Owned by one test; call it from one thread only.
//
//   auto receiver = AggrReceiverProcess::start();           // test certificates, 127.0.0.1:0
//   connect to 127.0.0.1:receiver->port() with testcerts::testCerts().clientCert ...
//   ASSERT_TRUE(receiver->waitForLine("action=AddStudio"));
//   EXPECT_EQ(receiver->stop(), 0);                          // SIGTERM, then the exit status
//
// The destructor kills a receiver that is still running (SIGKILL) and reaps it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class AggrReceiverProcess {
public:
    using Milliseconds = std::chrono::milliseconds;

    // Starts the receiver with the test certificates on 127.0.0.1 and a free port, plus
    // `extraArguments`, and waits for its "listening on" line.
    // Throws std::runtime_error (with the receiver's output) if it does not come up.
    static std::unique_ptr<AggrReceiverProcess> start(
        const std::vector<std::string>& extraArguments = {});

    // The arguments start() passes before the extra ones.
    static std::vector<std::string> testCertArguments();

    // Starts the receiver with exactly `arguments` and does not wait for anything.
    // Throws std::runtime_error when the process cannot be started.
    explicit AggrReceiverProcess(const std::vector<std::string>& arguments);
    ~AggrReceiverProcess();
    AggrReceiverProcess(const AggrReceiverProcess&) = delete;
    AggrReceiverProcess& operator=(const AggrReceiverProcess&) = delete;

    // The port from the "listening on" line, once waitForLine has seen it (start() has).
    std::uint16_t port() const { return port_; }

    // Waits until some line printed so far contains `needle` and returns the first such line;
    // nothing when the time runs out or the receiver's output ends first.
    std::optional<std::string> waitForLine(std::string_view needle,
                                           Milliseconds timeout = Milliseconds(5000));
    // Waits until `count` lines contain `needle`; returns whether they came in time.
    bool waitForLines(std::string_view needle, std::size_t count,
                      Milliseconds timeout = Milliseconds(5000));
    std::vector<std::string> linesContaining(std::string_view needle) const;
    const std::vector<std::string>& lines() const { return lines_; }
    // All output so far, for failure messages.
    std::string output() const;

    void sendSignal(int signalNumber);
    // Waits for the process to end, reading its remaining output. Returns the exit status, or
    // 128 plus the signal number when a signal ended it; nothing on time-out.
    std::optional<int> waitForExit(Milliseconds timeout = Milliseconds(5000));
    // SIGTERM, then waitForExit.
    std::optional<int> stop(Milliseconds timeout = Milliseconds(5000));

private:
    // Reads what is available within `timeout`; false once the output has ended.
    bool readOutput(Milliseconds timeout);

    pid_t pid_ = -1;
    int outputPipe_ = -1;
    std::optional<int> exitStatus_;
    std::string partialLine_;
    std::vector<std::string> lines_;
    std::uint16_t port_ = 0;
};
