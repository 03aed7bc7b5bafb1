// SSL under the connected-socket layer for outgoing connections.
//
// SSLContextError: what the SSLContext constructor throws; its code names the failing step.
//
// SSLContext: one OpenSSL client context with the client's certificate, private key (and its
// pass phrase) and trusted authorities. The first live context in the process starts the library;
// the count of live contexts is changed atomically. The aggregation client owns one context and
// makes every socket from it. Sessions speak TLS 1.2 or later, refuse renegotiation, and verify
// the server's certificate during the handshake: a server that fails ends the handshake before
// the client's certificate (or anything else) is sent to it.
// Requires: the context outlives every socket made from it.
//
// SSLClientSocket: a ClientSocket whose transport is a TLS session on its handle. When the TCP
// connection comes up it runs the handshake; application data goes only over a session whose
// server certificate passed verification against the context's authorities (a server that fails
// is reported once per handshake as onError(-25), and is sent nothing and delivers nothing).
// Library results are mapped onto the negated Windows Sockets numbers of the socket layer; the
// framing, the output queue and the callbacks above are ConnectedSocket's. Whoever creates the
// socket owns it. The reactor's thread runs every callback; sendMessage may be called from any
// thread, since every use of the session (and every change of its state) is serialised by the
// socket's transportLock.
// Requires: the socket is removed from its reactor before it is destroyed.
#pragma once

#include <openssl/ssl.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "KRIString.h"
#include "ServerSockets.h"
#include "YuException.h"

class SSLContextError : public YuException {
public:
    SSLContextError(int32_t code, const char* message);
    ~SSLContextError() override;
};

class SSLContext {
public:
    // Throws SSLContextError: -1 no client method, -2 no context, -3 certificate, -4 private key
    // (also a wrong pass phrase), -5 key does not match the certificate, -8 CA file. An empty
    // caFile loads no authority: every server certificate then fails verification.
    SSLContext(const KRIString& certificateFile, const KRIString& keyFile,
               const KRIString& passPhrase, const KRIString& caFile);
    virtual ~SSLContext();
    SSLContext(const SSLContext&) = delete;
    SSLContext& operator=(const SSLContext&) = delete;

    // The context that sockets make their sessions from.
    SSL_CTX* getContext() const { return ctx; }

    // The name the server's certificate must carry (a DNS name, or an IP address as text) in
    // sessions made from now on; empty, as at first: any name. A certificate that does not match
    // fails verification as an untrusted one does. Requires: no session is being made meanwhile.
    void setExpectedServerName(const KRIString& name) { expectedServerName = name.c_str(); }
    // A new session from the context, held to the expected server name; null on failure.
    SSL* newSession() const;

    // The number of contexts alive in the process.
    static int liveContexts() { return liveContextCount.load(); }

    // Frees what the library keeps for the calling thread (its error queue). For a thread that
    // has used sessions and lives on until the process exits, such as the console-control thread
    // that stops the link: its state would otherwise outlive every object that used it.
    static void releaseThreadState();

    // The pass-phrase callback handed to OpenSSL; userData is the pass phrase's text. Copies at
    // most `size` bytes, zero-fills the rest of the buffer and returns the text's length; a text
    // longer than the buffer is refused (buffer zeroed, -1).
    static int passPhraseCallback(char* buffer, int size, int rwflag, void* userData);

private:
    // Undoes the construction so far and throws SSLContextError.
    [[noreturn]] void fail(int32_t code, const char* message);

    SSL_CTX* ctx = nullptr;
    KRIString passPhrase;
    std::string expectedServerName;

    static std::atomic<int> liveContextCount;
};

// What a session's transport writes on: the handle, the bytes handed to the kernel on it since
// the session was made, and whether a send or receive on it met a reset.
struct SSLTransport {
    platform::SocketHandle handle = platform::kInvalidSocket;
    uint64_t bytesWritten = 0;
    bool resetSeen = false;
};

class SSLClientSocket : public ClientSocket {
public:
    // A fresh non-blocking TCP socket with a new session from the context's SSL_CTX.
    explicit SSLClientSocket(SSLContext& context);
    ~SSLClientSocket() override;

    // The session's lifecycle. A connection goes kIdle, kHandshaking, kEstablished, then
    // kShuttingDown (our close alert went out, or the server's arrived and ours is not yet
    // through) and kShutDown (the close has completed in both directions), and back to kIdle
    // when it closes. A handshake whose server fails verification stays kHandshaking.
    enum class SSLState : int32_t {
        kIdle = 0,
        kHandshaking = 1,
        kEstablished = 2,
        kShuttingDown = 3,
        kShutDown = 4,
    };

    // The SSL close: sends the close alert and, once the close has completed in both
    // directions, shuts the transport's send direction. Does nothing unless established.
    // Returns 0.
    int shutdownSend() override;

    SSLState sessionState();
    // The state's number: 0 idle, 1 handshaking, 2 established, 3 shutting down, 4 shut down.
    int32_t getSSLState() { return static_cast<int32_t>(sessionState()); }

protected:
    void onReadable() override;
    void onWritable() override;
    void onConnected() override;
    void onClosed(bool graceful) override;
    // Writes nothing and returns -10057 unless the session is established.
    // Requires: transportLock is held, or the call is on the reactor's thread.
    int sendRaw(const char* data, int length) override;
    int recvRaw(char* buffer, int length) override;

    // Asked on every readable event outside the handshake; true skips the inherited reading.
    virtual bool readHook();
    // Asked on every writable event; true skips the inherited flush of the output queue.
    virtual bool writeHook();
    // The handshake completed and the server certificate passed verification.
    virtual bool onSSLConnected();
    // The connection has closed; graceful when the SSL close had completed in both directions.
    virtual bool onSSLDisconnected(bool graceful);

    // sendRaw under transportLock, from any thread.
    int writeSession(const char* data, int length);
    // The bytes the session has handed to the kernel on the current connection, handshake
    // included. Any thread.
    uint64_t transportBytesWritten();
    // Whether the peer reset the current connection as far as the session's own sends and
    // receives saw: a reset that one of them met is not reported again with the close that
    // follows, which then reads as orderly. Any thread.
    bool transportWasReset();
    // Why the last handshake, read or write failed, in words: the alert the server sent (its
    // rejection of our certificate named as such), why the server's certificate failed
    // verification, the library's reason, or the system's error text. Empty when nothing failed.
    std::string lastFailureReason();

public:
    // The subject name of the server's certificate, one line ("/O=.../CN=..."); empty without
    // a session or a certificate.
    virtual KRIString getPeerName();

private:
    enum class Handshake { kPending, kVerified, kRejected, kFailed };

    // Makes a new session on the current handle. Requires: transportLock is held.
    void attachSession();
    // One SSL_connect step; a completed handshake is verified (established) or rejected, as is
    // one that the library ended because the server's certificate failed verification.
    Handshake continueHandshake();
    // Notes why the server is not trusted and keeps the session from carrying data.
    // Requires: transportLock is held.
    Handshake rejectServer();
    bool serverVerified() const;
    // Reads and drops what a server that failed verification sends.
    void dropUntrustedInput();
    // The socket layer's result for a failed SSL_write or SSL_read; notes the failure's reason.
    int mapFailure(int result, bool sending);
    // Notes why the session failed; systemErrno is the transport's error for SSL_ERROR_SYSCALL,
    // otherwise 0. Requires: transportLock is held.
    void noteFailure(int sslError, int systemErrno);
    // The library's report of an alert that the server sent.
    static void onSessionInfo(const SSL* ssl, int where, int value);

    SSL* ssl = nullptr;
    SSLTransport transport;
    SSLContext& context;
    SSLState sslState = SSLState::kIdle;
    bool closeRequested = false;
    // This handshake completed with a server certificate that failed verification.
    bool serverRejected = false;
    // Guarded by transportLock.
    std::string failureReason;
    std::string alertReceived;
};
