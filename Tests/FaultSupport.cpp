#include "Tests/FaultSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <stdexcept>

#include "Platform/ComRuntime.h"
#include "ServerSockets.h"

namespace faults {

namespace {

constexpr std::string_view kListeningPrefix = "listening on 127.0.0.1:";

long statusField(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0) {
            return std::stol(line.substr(field.size() + 1));
        }
    }
    return -1;
}

int listenOnLoopback(uint16_t& port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 16) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error(std::string("cannot listen on 127.0.0.1: ") + strerror(errno));
    }
    port = ntohs(address.sin_port);
    return fd;
}

void resetAndClose(int fd) {
    const linger abortive{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    close(fd);
}

void setTimeouts(int fd, Milliseconds limit) {
    const timeval t{static_cast<time_t>(limit.count() / 1000),
                    static_cast<suseconds_t>(limit.count() % 1000 * 1000)};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &t, sizeof t);
}

std::string randomBytes(size_t n, uint32_t seed) {
    std::mt19937 generator(seed);
    std::string bytes(n, '\0');
    for (char& c : bytes) {
        c = static_cast<char>(generator());
    }
    return bytes;
}

}  // namespace

long millisecondsBetween(Clock::time_point from, Clock::time_point to) {
    return static_cast<long>(std::chrono::duration_cast<Milliseconds>(to - from).count());
}

LoggedProcess::LoggedProcess(const std::string& program, const std::vector<std::string>& arguments,
                             const std::filesystem::path& logFile,
                             const std::vector<std::string>& environment)
    : ChildProcess(program, arguments, Options{environment, logFile, true}) {}

int LoggedProcess::openDescriptors() const {
    int n = 0;
    std::error_code error;
    for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid()) + "/fd", error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
        ++n;
    }
    return n;
}

long LoggedProcess::residentKilobytes() const {
    return statusField(pid(), "VmRSS");
}

int LoggedProcess::threadCount() const {
    return static_cast<int>(statusField(pid(), "Threads"));
}

std::string stopEventUsers() {
    std::string users;
    std::error_code error;
    for (std::filesystem::directory_iterator it("/proc", error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
        std::ifstream maps(it->path() / "maps");
        std::string line;
        while (std::getline(maps, line)) {
            if (line.find("/kriatmnsvc-") != std::string::npos &&
                line.find("/AtmnStop") != std::string::npos) {
                std::ifstream commandLine(it->path() / "cmdline");
                std::string program;
                std::getline(commandLine, program, '\0');
                users += " " + it->path().filename().string() + ":" + program;
                break;
            }
        }
    }
    return users;
}

std::vector<ReceivedConnection> receivedConnections(const std::vector<std::string>& receiverLog) {
    std::vector<ReceivedConnection> connections;
    std::map<std::string, size_t> current;
    for (const std::string& line : receiverLog) {
        const size_t peerStart = line.find(' ');
        const size_t peerEnd = line.find(' ', peerStart + 1);
        if (peerStart == std::string::npos || peerEnd == std::string::npos) {
            continue;
        }
        const std::string peer = line.substr(peerStart + 1, peerEnd - peerStart - 1);
        const std::string rest = line.substr(peerEnd + 1);
        if (rest == "connected") {
            current[peer] = connections.size();
            connections.emplace_back();
            connections.back().peer = peer;
            continue;
        }
        const auto found = current.find(peer);
        if (found == current.end()) {
            continue;
        }
        ReceivedConnection& connection = connections[found->second];
        if (rest.rfind("accepted client", 0) == 0) {
            connection.accepted = true;
        } else if (rest.rfind("transaction ", 0) == 0) {
            const size_t action = rest.find("action=") + 7;
            const std::string name = rest.substr(action, rest.find(' ', action) - action);
            connection.actions.push_back(name);
            if (name == "ChangeSegment") {
                connection.segments.push_back(std::stol(rest.substr(rest.find("id=\"") + 4)));
            }
        }
    }
    return connections;
}

std::string sequenceBreak(const ReceivedConnection& connection) {
    const std::vector<long>& s = connection.segments;
    for (size_t i = 1; i < s.size(); ++i) {
        if (s[i] != s[i - 1] + 1) {
            return connection.peer + ": segment " + std::to_string(s[i]) + " follows " +
                   std::to_string(s[i - 1]);
        }
    }
    return std::string();
}

FaultEnvironment::FaultEnvironment() {
    if (platform::registerServer(KRI_SIMULATOR_PLUGIN) < 0) {
        throw std::runtime_error("cannot register the simulator");
    }
    directory = registry.root() / "files";
    std::filesystem::create_directories(directory);
}

FaultEnvironment::~FaultEnvironment() = default;

std::string FaultEnvironment::configPath() const {
    return (directory / "config.xml").string();
}

std::string FaultEnvironment::writeConfig() {
    writeConfigText(config.text());
    return configPath();
}

void FaultEnvironment::writeConfigText(const std::string& text) {
    atmntest::writeFileAtomically(configPath(), text);
}

std::string FaultEnvironment::writeScenario(const std::string& name, const std::string& scenario) {
    const std::filesystem::path path = directory / name;
    std::ofstream(path, std::ios::binary) << scenario;
    return path.string();
}

std::unique_ptr<LoggedProcess> FaultEnvironment::startService(
    const std::string& logName, const std::vector<std::string>& environment, bool console) {
    std::vector<std::string> arguments{"-config", configPath()};
    if (console) {
        arguments.insert(arguments.begin(), "-debug");
    }
    std::vector<std::string> serviceEnvironment = environment;
#if defined(__SANITIZE_ADDRESS__)
    // The leak check at exit misreads the dynamic TLS that the plug-in's thread-locals occupy
    // once threads have come and gone, and crashes (google/sanitizers#1322). Without reading it,
    // it takes what live threads hold there (OpenSSL's per-thread state, the console mode ends
    // with exit while the loop thread may still run) for leaks, so the service's own leak check
    // is off here; the binding's in-process tests check for leaks.
    const char* inherited = std::getenv("ASAN_OPTIONS");
    serviceEnvironment.push_back(std::string("ASAN_OPTIONS=") +
                                 (inherited != nullptr ? std::string(inherited) + ":" : "") +
                                 "intercept_tls_get_addr=0:detect_leaks=0");
#endif
    return std::make_unique<LoggedProcess>(KRI_ATMNSVC_PROGRAM, arguments, directory / logName,
                                           serviceEnvironment);
}

std::unique_ptr<LoggedProcess> FaultEnvironment::startReceiver(
    const std::string& logName, uint16_t port, const std::vector<std::string>& extra) {
    const testcerts::CertFiles& certs = testcerts::testCerts();
    std::vector<std::string> arguments = {
        "--cert",     certs.serverCert, "--key",     certs.serverKey, "--ca",
        certs.caCert, "--address",      "127.0.0.1", "--port",        std::to_string(port)};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    auto receiver =
        std::make_unique<LoggedProcess>(KRI_AGGR_RECEIVER_PROGRAM, arguments, directory / logName);
    if (!receiver->waitForLines(kListeningPrefix, 1, Milliseconds(5000))) {
        throw std::runtime_error("the receiver did not start:\n" + receiver->tail());
    }
    return receiver;
}

uint16_t FaultEnvironment::listeningPort(LoggedProcess& receiver) {
    for (const std::string& line : receiver.lines()) {
        if (line.rfind(kListeningPrefix, 0) == 0) {
            return static_cast<uint16_t>(std::stoi(line.substr(kListeningPrefix.size())));
        }
    }
    return 0;
}

std::string segmentScenario(int count) {
    std::string schedule;
    for (int i = 1; i <= count; ++i) {
        const std::string n = std::to_string(i);
        schedule +=
            "<Segment at=\"" + n + "\" playlist=\"Seq\" entry=\"S-1\" segment=\"" + n + "\"/>\n";
    }
    return "<Scenario houseDate=\"2024-03-09\" houseTime=\"18:00:00:00\">\n"
           "<Playlist id=\"1\" name=\"Seq\" announce=\"false\">"
           "<Entry id=\"S-1\" name=\"Sequence\"/></Playlist>\n<Schedule>\n" +
           schedule + "</Schedule></Scenario>\n";
}

std::string segmentAutomation(const std::string& scenarioPath, int intervalMs) {
    return "<Simulator interval=\"" + std::to_string(intervalMs) + "\" scenario=\"" + scenarioPath +
           "\"/>";
}

struct CuttingProxy::Pair {
    int client;
    int upstream;
    std::string toUpstream;
    std::string toClient;
};

CuttingProxy::CuttingProxy(uint16_t targetPort, int clientBytesPerSecond)
    : target(targetPort), clientRate(clientBytesPerSecond) {
    listenFd = listenOnLoopback(listenPort);
    if (clientRate > 0) {
        // Inherited by the accepted connections: the client's kernel can hand over little
        // more than the link carries.
        const int buffer = 8192;
        setsockopt(listenFd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    }
    fcntl(listenFd, F_SETFL, O_NONBLOCK);
    if (pipe2(wakeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw std::runtime_error("pipe2 failed");
    }
    thread = std::thread([this] { serve(); });
}

CuttingProxy::~CuttingProxy() {
    stopping = true;
    const char wake = 0;
    (void)!write(wakeFds[1], &wake, 1);
    thread.join();
    for (auto& pair : pairs) {
        close(pair->client);
        close(pair->upstream);
    }
    close(listenFd);
    close(wakeFds[0]);
    close(wakeFds[1]);
}

int CuttingProxy::cutAll() {
    std::unique_lock<std::mutex> lock(cutMutex);
    const int wanted = ++cutsRequested;
    const char wake = 0;
    (void)!write(wakeFds[1], &wake, 1);
    cutDone.wait(lock, [&] { return cutsServed >= wanted; });
    return lastCutCount;
}

void CuttingProxy::acceptOne() {
    const int client = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) {
        return;
    }
    const int upstream = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(target);
    if (connect(upstream, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(upstream);
        close(client);
        return;
    }
    fcntl(client, F_SETFL, O_NONBLOCK);
    fcntl(upstream, F_SETFL, O_NONBLOCK);
    pairs.push_back(std::make_unique<Pair>(Pair{client, upstream, {}, {}}));
    ++connectionCount;
}

size_t CuttingProxy::clientAllowance() {
    if (clientRate <= 0) {
        return 16384;
    }
    const auto now = std::chrono::steady_clock::now();
    allowance = std::min(
        allowance + std::chrono::duration<double>(now - allowanceAt).count() * clientRate, 4096.0);
    allowanceAt = now;
    return static_cast<size_t>(allowance);
}

bool CuttingProxy::forward(int from, int to, std::string& pending, bool readable, size_t most) {
    if (readable && pending.empty() && most > 0) {
        char buffer[16384];
        const ssize_t n = recv(from, buffer, std::min(most, sizeof buffer), MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
            return false;
        }
        if (n > 0) {
            pending.assign(buffer, static_cast<size_t>(n));
        }
    }
    if (!pending.empty()) {
        const ssize_t n = send(to, pending.data(), pending.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            return false;
        }
        pending.erase(0, n > 0 ? static_cast<size_t>(n) : 0);
    }
    return true;
}

void CuttingProxy::serve() {
    std::vector<pollfd> watched;
    while (!stopping) {
        watched.assign({{wakeFds[0], POLLIN, 0}, {listenFd, POLLIN, 0}});
        for (const auto& pair : pairs) {
            // A slow link reads its clients on a clock instead.
            watched.push_back(
                {pair->client,
                 static_cast<short>((pair->toUpstream.empty() && clientRate == 0 ? POLLIN : 0) |
                                    (pair->toClient.empty() ? 0 : POLLOUT)),
                 0});
            watched.push_back({pair->upstream,
                               static_cast<short>((pair->toClient.empty() ? POLLIN : 0) |
                                                  (pair->toUpstream.empty() ? 0 : POLLOUT)),
                               0});
        }
        if (poll(watched.data(), watched.size(), clientRate > 0 ? 5 : 200) < 0) {
            continue;
        }
        if (watched[0].revents & POLLIN) {
            char scratch[64];
            while (read(wakeFds[0], scratch, sizeof scratch) > 0) {
            }
            std::lock_guard<std::mutex> lock(cutMutex);
            if (cutsServed < cutsRequested) {
                for (auto& pair : pairs) {
                    resetAndClose(pair->client);
                    resetAndClose(pair->upstream);
                }
                lastCutCount = static_cast<int>(pairs.size());
                pairs.clear();
                cutsServed = cutsRequested;
                cutDone.notify_all();
                continue;
            }
        }
        const short ended = POLLHUP | POLLERR;
        // The link's rate is shared fairly between the connections on it.
        const size_t share = pairs.empty() ? 0 : clientAllowance() / pairs.size();
        for (size_t i = 0; i < pairs.size(); ++i) {
            Pair& pair = *pairs[i];
            const short clientEvents = watched[2 + 2 * i].revents;
            const short upstreamEvents = watched[3 + 2 * i].revents;
            // What a client sent before it reset or closed the connection is on the wire
            // ahead of anything it sends later: it arrives at once.
            const size_t allowed = (clientEvents & ended) != 0 ? 16384 : share;
            const size_t before = pair.toUpstream.size();
            const bool open =
                forward(pair.client, pair.upstream, pair.toUpstream,
                        (clientEvents & (POLLIN | ended)) != 0 || clientRate > 0, allowed) &&
                forward(pair.upstream, pair.client, pair.toClient,
                        (upstreamEvents & (POLLIN | ended)) != 0);
            if (clientRate > 0 && pair.toUpstream.size() > before) {
                allowance -= static_cast<double>(pair.toUpstream.size() - before);
            }
            if (!open) {
                close(pair.client);
                close(pair.upstream);
                pair.client = pair.upstream = -1;
            }
        }
        std::erase_if(pairs, [](const std::unique_ptr<Pair>& p) { return p->client < 0; });
        if (watched[1].revents & POLLIN) {
            acceptOne();
        }
    }
}

RogueServer::RogueServer(Behaviour behaviour, const testcerts::CertFiles& certs)
    : behaviour(behaviour) {
    // A write to a connection the service has already closed must not end the test.
    signal(SIGPIPE, SIG_IGN);
    ctx = SSL_CTX_new(TLS_server_method());
    if (ctx == nullptr || SSL_CTX_use_certificate_chain_file(ctx, certs.serverCert.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, certs.serverKey.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_load_verify_locations(ctx, certs.caCert.c_str(), nullptr) != 1) {
        throw std::runtime_error("cannot set up the rogue server's TLS context");
    }
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    listenFd = listenOnLoopback(listenPort);
    thread = std::thread([this] { serve(); });
}

RogueServer::~RogueServer() {
    stopping = true;
    thread.join();
    close(listenFd);
    SSL_CTX_free(ctx);
}

void RogueServer::serve() {
    while (!stopping) {
        pollfd p{listenFd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) {
            continue;
        }
        const int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            ++connectionCount;
            setTimeouts(fd, Milliseconds(500));
            serveOne(fd);
            close(fd);
        }
    }
}

void RogueServer::serveOne(int fd) {
    if (behaviour == Behaviour::PlainGarbage) {
        char hello[4096];
        (void)!recv(fd, hello, sizeof hello, 0);
        const std::string garbage = randomBytes(16384, static_cast<uint32_t>(connectionCount));
        const ssize_t sent = send(fd, garbage.data(), garbage.size(), MSG_NOSIGNAL);
        sentBytes += sent > 0 ? static_cast<uint64_t>(sent) : 0;
        const Clock::time_point deadline = Clock::now() + Milliseconds(3000);
        while (!stopping && Clock::now() < deadline && recv(fd, hello, sizeof hello, 0) != 0) {
        }
        return;
    }
    SSL* ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    ERR_clear_error();
    if (SSL_accept(ssl) == 1) {
        ++handshakeCount;
        misbehave(ssl, fd);
    }
    SSL_free(ssl);
}

void RogueServer::misbehave(SSL* ssl, int fd) {
    auto write = [&](const std::string& bytes) {
        const int n = SSL_write(ssl, bytes.data(), static_cast<int>(bytes.size()));
        sentBytes += n > 0 ? static_cast<uint64_t>(n) : 0;
        return n > 0;
    };
    switch (behaviour) {
        case Behaviour::TlsGarbage:
            write(randomBytes(16384, static_cast<uint32_t>(connectionCount) + 1000));
            break;
        case Behaviour::HugeHeader:
            write(std::string(4, '\xFF') + std::string(64, 'x'));
            break;
        case Behaviour::EndlessStream: {
            // Frames of the largest size the service accepts, one after another, written as
            // fast as the service takes them; what the service sends is read in between.
            const int frameSize = ConnectedSocket::kMaxMessageSize;
            const uint32_t header = htonl(static_cast<uint32_t>(frameSize));
            const std::string chunk(65536, 'e');
            const Clock::time_point end = Clock::now() + kStreamTime;
            int leftInFrame = 0;
            while (!stopping && Clock::now() < end) {
                if (leftInFrame == 0) {
                    if (!write(std::string(reinterpret_cast<const char*>(&header), 4))) {
                        return;
                    }
                    leftInFrame = frameSize;
                }
                const int n = std::min<int>(leftInFrame, static_cast<int>(chunk.size()));
                if (!write(chunk.substr(0, static_cast<size_t>(n)))) {
                    return;
                }
                leftInFrame -= n;
                drain(ssl, fd, Milliseconds(0));
            }
            SSL_shutdown(ssl);
            return;
        }
        case Behaviour::PlainGarbage:
            break;
    }
    drain(ssl, fd, Milliseconds(5000));
}

void RogueServer::drain(SSL* ssl, int fd, Milliseconds limit) {
    const Clock::time_point deadline = Clock::now() + limit;
    char buffer[16384];
    do {
        pollfd p{fd, POLLIN, 0};
        if (SSL_pending(ssl) == 0 && poll(&p, 1, limit.count() == 0 ? 0 : 100) <= 0) {
            continue;
        }
        const int n = SSL_read(ssl, buffer, sizeof buffer);
        if (n <= 0) {
            const int error = SSL_get_error(ssl, n);
            if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
                return;
            }
            continue;
        }
        receivedBytes += static_cast<uint64_t>(n);
    } while (!stopping && Clock::now() < deadline);
}

}  // namespace faults
