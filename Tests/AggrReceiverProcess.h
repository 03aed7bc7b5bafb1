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

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Tests/ChildProcess.h"

class AggrReceiverProcess : public ChildProcess {
public:
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

    // The port from the "listening on" line, once waitForLine has seen it (start() has); 0
    // before.
    std::uint16_t port() const;

    // SIGTERM, then waitForExit.
    std::optional<int> stop(Milliseconds timeout = Milliseconds(5000));
};
