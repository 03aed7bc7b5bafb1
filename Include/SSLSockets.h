// SSL under the connected-socket layer for outgoing connections.
//
// SSLContextError: what the SSLContext constructor throws; its code names the failing step.
//
// SSLContext: one OpenSSL client context with the client's certificate, private key (and its
// pass phrase) and trusted authorities. The first live context in the process starts the library;
// the count of live contexts is changed atomically. The aggregation client owns one context and
// makes every socket from it; the context sets no verification mode, so a handshake with an
// untrusted server completes and the socket checks the verification result afterwards.
// Requires: the context outlives every socket made from it.
#pragma once

#include <openssl/ssl.h>

#include <atomic>
#include <cstdint>

#include "KRIString.h"
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

    // The number of contexts alive in the process.
    static int liveContexts() { return liveContextCount.load(); }

    // The pass-phrase callback handed to OpenSSL; userData is the pass phrase's text. Copies at
    // most `size` bytes, zero-fills the rest of the buffer and returns the text's length; a text
    // longer than the buffer is refused (buffer zeroed, -1).
    static int passPhraseCallback(char* buffer, int size, int rwflag, void* userData);

private:
    // Undoes the construction so far and throws SSLContextError.
    [[noreturn]] void fail(int32_t code, const char* message);

    SSL_CTX* ctx = nullptr;
    KRIString passPhrase;

    static std::atomic<int> liveContextCount;
};
