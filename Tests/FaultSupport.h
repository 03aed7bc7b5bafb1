// Support for the fault-injection suite: the service and the reference receiver as child
// processes whose output goes to log files, a registry with the simulator registered, scenario
// and configuration files, a reading of the receiver's log per connection, a TCP proxy that
// cuts connections and a TLS server that misbehaves on purpose.
//
// Everything here is owned by one test and called from its thread; the proxy and the rogue
// server run a thread of their own each, whose counters may be read from the test's thread.
#pragma once

#include <openssl/ssl.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "Tests/AtmnSvcTestSupport.h"
#include "Tests/ChildProcess.h"
#include "Tests/TempRegistry.h"

namespace faults {

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::milliseconds;

// Milliseconds from `from` to `to`.
long millisecondsBetween(Clock::time_point from, Clock::time_point to);

// A program run as a child process, alone in a process group of its own, with standard input
// from /dev/null and standard output and error appended to a log file, which the runner re-reads
// on demand (ChildProcess.h), so the child never waits for the test to read.
// The destructor kills the group (SIGKILL) if it still runs and reaps the child.
class LoggedProcess : public ChildProcess {
public:
    // `environment` entries ("NAME=value") are added to the test's own environment, replacing
    // a variable of the same name. Throws std::runtime_error when the program cannot start.
    LoggedProcess(const std::string& program, const std::vector<std::string>& arguments,
                  const std::filesystem::path& logFile,
                  const std::vector<std::string>& environment = {});

    // Open file descriptors, resident memory (kB) and threads of the running child.
    int openDescriptors() const;
    long residentKilobytes() const;
    int threadCount() const;
};

// The processes (pid:program) that have the machine-wide stop event "AtmnStop" open. Another
// service among them may take a stop meant for the one under test, or hand it one.
std::string stopEventUsers();

// The receiver's log as connections, in the order they were accepted at the TCP level.
struct ReceivedConnection {
    std::string peer;
    bool accepted = false;  // the TLS handshake completed
    std::vector<std::string> actions;
    // The Param id of every "ChangeSegment", that is the segment number, in order of arrival.
    std::vector<long> segments;
};
std::vector<ReceivedConnection> receivedConnections(const std::vector<std::string>& receiverLog);

// Where a connection's segment numbers break the sequence: each must be one more than the one
// before it. Describes the first break; empty when there is none.
std::string sequenceBreak(const ReceivedConnection& connection);

// A temporary registry with the simulator registered, a directory for files and logs, the test
// certificates and a service configuration to edit and write.
class FaultEnvironment {
public:
    FaultEnvironment();
    ~FaultEnvironment();

    // Writes the configuration (atomically) and returns its path.
    std::string writeConfig();
    // Overwrites the configuration file with `text` (atomically).
    void writeConfigText(const std::string& text);
    std::string configPath() const;
    // Writes a scenario file and returns its path.
    std::string writeScenario(const std::string& name, const std::string& scenario);
    std::filesystem::path file(const std::string& name) const { return directory / name; }

    // The service in the console ("-debug"), or as a systemd service when the environment holds
    // a NOTIFY_SOCKET entry; its log is <logName>.
    std::unique_ptr<LoggedProcess> startService(const std::string& logName = "service.log",
                                                const std::vector<std::string>& environment = {},
                                                bool console = true);
    // The reference receiver on 127.0.0.1 and `port` (0: a free one) with the test
    // certificates, plus `extra` arguments; waits for its "listening on" line.
    std::unique_ptr<LoggedProcess> startReceiver(const std::string& logName, uint16_t port = 0,
                                                 const std::vector<std::string>& extra = {});
    // The port from a receiver's "listening on" line.
    static uint16_t listeningPort(LoggedProcess& receiver);

    TempRegistry registry;
    std::filesystem::path directory;
    atmntest::ServiceConfig config;
};

// The scenario of numbered segment changes: one playlist "Seq" whose entry fires segments 1 to
// `count` in order, one event every `intervalMs` once the service has connected.
std::string segmentScenario(int count);
std::string segmentAutomation(const std::string& scenarioPath, int intervalMs);

// A TCP proxy on 127.0.0.1 in front of a port of 127.0.0.1 that forwards both ways and, on
// request, resets every connection it carries (both ends see a TCP reset). With a rate, it is a
// slow link: it takes at most that many bytes a second from its clients together, with a small
// receive buffer, so that what the link has not carried yet waits in the client's kernel.
class CuttingProxy {
public:
    explicit CuttingProxy(uint16_t targetPort, int clientBytesPerSecond = 0);
    ~CuttingProxy();
    CuttingProxy(const CuttingProxy&) = delete;
    CuttingProxy& operator=(const CuttingProxy&) = delete;

    uint16_t port() const { return listenPort; }
    int connections() const { return connectionCount.load(); }
    // Resets every connection open at this moment; returns how many there were.
    int cutAll();

private:
    struct Pair;
    void serve();
    void acceptOne();
    // Moves what one side has sent to the other; false when the pair has ended.
    static bool forward(int from, int to, std::string& pending, bool readable, size_t most = 16384);
    // What each client may send now at the rate; refilled as time passes.
    size_t clientAllowance();

    int listenFd = -1;
    int wakeFds[2] = {-1, -1};
    uint16_t listenPort = 0;
    uint16_t target;
    int clientRate;
    double allowance = 0;
    std::chrono::steady_clock::time_point allowanceAt = std::chrono::steady_clock::now();
    std::atomic<bool> stopping{false};
    std::atomic<int> connectionCount{0};
    std::mutex cutMutex;
    std::condition_variable cutDone;
    int cutsRequested = 0;
    int cutsServed = 0;
    int lastCutCount = 0;
    std::vector<std::unique_ptr<Pair>> pairs;
    std::thread thread;
};

// A server on 127.0.0.1 that accepts the service's connection and then misbehaves, one
// connection at a time. Each blocking step gives up after a few seconds.
class RogueServer {
public:
    enum class Behaviour {
        PlainGarbage,   // no TLS at all: random bytes in answer to the client's hello
        TlsGarbage,     // a good handshake, then random bytes as application data
        HugeHeader,     // a good handshake, then a frame header of 0xFFFFFFFF
        EndlessStream,  // a good handshake, then largest-size frames without pause for a while
    };

    RogueServer(Behaviour behaviour, const testcerts::CertFiles& certs);
    ~RogueServer();
    RogueServer(const RogueServer&) = delete;
    RogueServer& operator=(const RogueServer&) = delete;

    uint16_t port() const { return listenPort; }
    int connections() const { return connectionCount.load(); }
    int handshakes() const { return handshakeCount.load(); }
    uint64_t bytesSent() const { return sentBytes.load(); }
    // Application bytes read from the service after handshakes.
    uint64_t bytesReceived() const { return receivedBytes.load(); }

    // How long EndlessStream keeps sending on one connection before it closes it.
    static constexpr Milliseconds kStreamTime = Milliseconds(2000);

private:
    void serve();
    void serveOne(int fd);
    void misbehave(SSL* ssl, int fd);
    // Reads and counts what the service sends until it closes or `limit` passes.
    void drain(SSL* ssl, int fd, Milliseconds limit);

    Behaviour behaviour;
    SSL_CTX* ctx = nullptr;
    int listenFd = -1;
    uint16_t listenPort = 0;
    std::atomic<bool> stopping{false};
    std::atomic<int> connectionCount{0};
    std::atomic<int> handshakeCount{0};
    std::atomic<uint64_t> sentBytes{0};
    std::atomic<uint64_t> receivedBytes{0};
    std::thread thread;
};

}  // namespace faults
