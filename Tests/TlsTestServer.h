// TlsTestServer: a TLS server on a loopback address for the SSL socket tests and the benchmarks.
//
// Listens on 127.0.0.1 and an ephemeral port unless told another loopback address or port,
// requires and verifies a client certificate from its CA file and serves one connection at a time
// on its own thread: each accepted connection is handshaken and then handed to the handler, which
// scripts what the server does (read frames, answer, close, reset). Every blocking call on a
// connection gives up after a few seconds (benchmarks whose clients sit idle longer choose a
// longer time-out), so a test whose client misbehaves fails instead of hanging. The test thread
// constructs and destroys it; the counters may be read from any thread.
// Requires: the handler returns within the test's time limits.
#pragma once

#include <openssl/ssl.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "Platform/Socket.h"

class TlsTestServer {
public:
    // One accepted connection after a successful handshake; used on the server's thread only.
    class Connection {
    public:
        Connection(SSL* ssl, platform::SocketHandle fd) : ssl(ssl), fd(fd) {}

        // One length-prefixed message; false on close, error or time-out.
        bool readFrame(std::string& payload);
        bool writeFrame(const std::string& payload);
        // Writes the bytes as they are, with no length in front.
        bool writeBytes(const std::string& bytes);
        // Reads and counts application data until the client closes or the time-out passes.
        size_t drain(int timeoutMs);
        // Sends the close alert and waits (bounded) for the client's; true when both are done.
        bool closeSession();
        // Waits (bounded) for the client's close alert, then answers it; true when both are done.
        bool answerClose();
        // Ends the TCP connection with a reset instead of an orderly close.
        void reset();
        // Sends the TLS close alert and leaves the TCP connection open.
        void sendCloseNotify();
        // Reads exactly `length` bytes of application data; false on close, error or time-out.
        bool readBytes(size_t length);
        // Makes the kernel drop every packet that arrives for this connection (a socket filter
        // that accepts nothing): nothing more is read or acknowledged, as with a dead host.
        // False where the system has no such filter (Windows).
        bool blackhole();
        // Waits up to timeoutMs for application data; true when some is there.
        bool waitForData(int timeoutMs);
        // Waits up to timeoutMs for the client to end the TCP connection; true when it did. On
        // Windows what the client sends meanwhile is read and dropped.
        bool waitForClientClose(int timeoutMs);
        // Whether the client resumed an earlier session.
        bool sessionReused() const { return SSL_session_reused(ssl) == 1; }
        // The client certificate's subject, one line.
        std::string clientSubject() const;
        // Asks the client for a new handshake (TLS 1.2 only) and reads, dropping what it reads,
        // until that has completed; false when the client refuses it or it does not complete
        // before a read fails or times out.
        bool renegotiate();

    private:
        friend class TlsTestServer;
        bool readExactly(char* buffer, size_t length);

        SSL* ssl;
        platform::SocketHandle fd;
        bool wasReset = false;
    };

    using Handler = std::function<void(Connection&)>;

    struct Options {
        // Accepted connections get a receive buffer of a few kilobytes, so that a client's
        // writes would block after little data.
        bool smallReceiveBuffer = false;
        // The address to listen on, in host byte order; one of 127.0.0.0/8.
        uint32_t address = 0x7F000001;
        // 0 picks a free port.
        uint16_t port = 0;
        // How long one blocking read or write on a connection may wait.
        int ioTimeoutSeconds = 5;
        // The highest protocol version offered (TLS1_2_VERSION, say); 0: the library's.
        int maxProtocolVersion = 0;
    };

    TlsTestServer(const std::string& certificateFile, const std::string& keyFile,
                  const std::string& caFile, Handler handler, bool smallReceiveBuffer = false);
    // Throws std::runtime_error when the files do not load or the address cannot be listened on.
    TlsTestServer(const std::string& certificateFile, const std::string& keyFile,
                  const std::string& caFile, Handler handler, const Options& options);
    ~TlsTestServer();
    TlsTestServer(const TlsTestServer&) = delete;
    // Stops accepting and closes the listening socket; the port refuses connections from then
    // on. Returns once the connection being served, if any, has ended.
    void shutDown();
    TlsTestServer& operator=(const TlsTestServer&) = delete;

    uint16_t port() const { return listenPort; }
    // Connections whose handshake completed, and those whose handshake failed.
    int handshakes() const { return handshakeCount.load(); }
    int failedHandshakes() const { return failedHandshakeCount.load(); }

private:
    void serve();
    void serveOne(platform::SocketHandle fd);

    SSL_CTX* ctx = nullptr;
    platform::SocketHandle listenFd = platform::kInvalidSocket;
    uint16_t listenPort = 0;
    Handler handler;
    int ioTimeoutSeconds;
    std::atomic<bool> stopping{false};
    std::atomic<int> handshakeCount{0};
    std::atomic<int> failedHandshakeCount{0};
    std::thread thread;
};
