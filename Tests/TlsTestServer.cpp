#include "TlsTestServer.h"

#include <openssl/bio.h>
#include <openssl/err.h>

#include <cstdint>
#include <stdexcept>
#include <string>

#include "Tests/TestSockets.h"

namespace {

constexpr int kAcceptPollMs = 20;
constexpr int kSmallReceiveBuffer = 4096;

// The server's transport: the platform's socket calls, whose sends never raise SIGPIPE in the
// test program when the client has gone away.
platform::SocketHandle fdOf(BIO* bio) {
    return static_cast<platform::SocketHandle>(reinterpret_cast<uintptr_t>(BIO_get_data(bio)));
}

int bioWrite(BIO* bio, const char* data, int length) {
    const int n = platform::sendSocket(fdOf(bio), data, length);
    return n < 0 ? -1 : n;
}

int bioRead(BIO* bio, char* buffer, int length) {
    const int n = platform::recvSocket(fdOf(bio), buffer, length);
    return n < 0 ? -1 : n;
}

long bioControl(BIO* /*bio*/, int command, long /*number*/, void* /*pointer*/) {
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int bioCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

BIO_METHOD* serverBioMethod() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "test server");
        BIO_meth_set_write(m, bioWrite);
        BIO_meth_set_read(m, bioRead);
        BIO_meth_set_ctrl(m, bioControl);
        BIO_meth_set_create(m, bioCreate);
        return m;
    }();
    return method;
}

}  // namespace

bool TlsTestServer::Connection::readExactly(char* buffer, size_t length) {
    size_t done = 0;
    while (done < length) {
        const int n = SSL_read(ssl, buffer + done, static_cast<int>(length - done));
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool TlsTestServer::Connection::readFrame(std::string& payload) {
    unsigned char header[4];
    if (!readExactly(reinterpret_cast<char*>(header), sizeof(header))) {
        return false;
    }
    const uint32_t length = (uint32_t{header[0]} << 24) | (uint32_t{header[1]} << 16) |
                            (uint32_t{header[2]} << 8) | uint32_t{header[3]};
    payload.assign(length, '\0');
    return length == 0 || readExactly(payload.data(), length);
}

bool TlsTestServer::Connection::writeFrame(const std::string& payload) {
    const uint32_t length = platform::hostToNet32(static_cast<uint32_t>(payload.size()));
    std::string frame(reinterpret_cast<const char*>(&length), sizeof(length));
    frame += payload;
    return writeBytes(frame);
}

bool TlsTestServer::Connection::writeBytes(const std::string& bytes) {
    return SSL_write(ssl, bytes.data(), static_cast<int>(bytes.size())) ==
           static_cast<int>(bytes.size());
}

size_t TlsTestServer::Connection::drain(int timeoutMs) {
    size_t total = 0;
    char buffer[4096];
    for (;;) {
        if (SSL_pending(ssl) == 0 && !testsockets::waitReadable(fd, timeoutMs)) {
            return total;
        }
        const int n = SSL_read(ssl, buffer, sizeof(buffer));
        if (n <= 0) {
            return total;
        }
        total += static_cast<size_t>(n);
    }
}

bool TlsTestServer::Connection::closeSession() {
    return SSL_shutdown(ssl) == 1 || answerClose();
}

bool TlsTestServer::Connection::answerClose() {
    char buffer[256];
    int n = 0;
    do {
        n = SSL_read(ssl, buffer, sizeof(buffer));
    } while (n > 0);
    return SSL_get_error(ssl, n) == SSL_ERROR_ZERO_RETURN && SSL_shutdown(ssl) == 1;
}

void TlsTestServer::Connection::reset() {
    platform::abortiveClose(fd);
    wasReset = true;
}

void TlsTestServer::Connection::sendCloseNotify() {
    SSL_shutdown(ssl);
}

bool TlsTestServer::Connection::readBytes(size_t length) {
    std::string bytes(length, '\0');
    return readExactly(bytes.data(), length);
}

bool TlsTestServer::Connection::blackhole() {
    return testsockets::dropIncoming(fd);
}

bool TlsTestServer::Connection::renegotiate() {
    // The client's new hello may offer to resume the session, which a server that verifies
    // clients can look up only within a session context.
    static const unsigned char kContext[] = "TlsTestServer";
    if (SSL_set_session_id_context(ssl, kContext, sizeof kContext - 1) != 1 ||
        SSL_renegotiate(ssl) != 1 || SSL_do_handshake(ssl) != 1) {
        return false;
    }
    // The client's new handshake arrives among its application data, which is read and dropped.
    char scratch[4096];
    while (SSL_renegotiate_pending(ssl) == 1 && SSL_read(ssl, scratch, sizeof scratch) > 0) {
    }
    return SSL_renegotiate_pending(ssl) == 0;
}

bool TlsTestServer::Connection::waitForData(int timeoutMs) {
    return SSL_pending(ssl) > 0 || testsockets::waitReadable(fd, timeoutMs);
}

bool TlsTestServer::Connection::waitForClientClose(int timeoutMs) {
    return testsockets::waitForPeerClose(fd, timeoutMs);
}

std::string TlsTestServer::Connection::clientSubject() const {
    X509* certificate = SSL_get0_peer_certificate(ssl);
    if (certificate == nullptr) {
        return {};
    }
    char line[256];
    X509_NAME_oneline(X509_get_subject_name(certificate), line, sizeof(line));
    return line;
}

TlsTestServer::TlsTestServer(const std::string& certificateFile, const std::string& keyFile,
                             const std::string& caFile, Handler handler, bool smallReceiveBuffer)
    : TlsTestServer(certificateFile, keyFile, caFile, std::move(handler),
                    Options{.smallReceiveBuffer = smallReceiveBuffer}) {}

TlsTestServer::TlsTestServer(const std::string& certificateFile, const std::string& keyFile,
                             const std::string& caFile, Handler handler, const Options& options)
    : handler(std::move(handler)), ioTimeoutSeconds(options.ioTimeoutSeconds) {
    ctx = SSL_CTX_new(TLS_server_method());
    if (ctx == nullptr ||
        SSL_CTX_use_certificate_file(ctx, certificateFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, keyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_load_verify_locations(ctx, caFile.c_str(), nullptr) != 1) {
        SSL_CTX_free(ctx);
        throw std::runtime_error("TlsTestServer: cannot load " + certificateFile);
    }
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    if (options.maxProtocolVersion != 0) {
        SSL_CTX_set_max_proto_version(ctx, options.maxProtocolVersion);
    }

    // Not inherited by the processes a test starts, which would keep the port listening.
    std::string reason;
    listenFd =
        testsockets::listenOnLoopback(options.address, options.port,
                                      options.smallReceiveBuffer ? kSmallReceiveBuffer : 0, reason);
    if (listenFd == platform::kInvalidSocket) {
        SSL_CTX_free(ctx);
        throw std::runtime_error("TlsTestServer: cannot listen on the loopback address port " +
                                 std::to_string(options.port) + ": " + reason);
    }
    listenPort = platform::netToHost16(platform::localPort(listenFd));
    thread = std::thread([this] { serve(); });
}

TlsTestServer::~TlsTestServer() {
    shutDown();
    SSL_CTX_free(ctx);
}

void TlsTestServer::shutDown() {
    stopping.store(true);
    if (thread.joinable()) {
        thread.join();
    }
    if (listenFd != platform::kInvalidSocket) {
        platform::closeSocket(listenFd);
        listenFd = platform::kInvalidSocket;
    }
}

void TlsTestServer::serve() {
    while (!stopping.load()) {
        if (!testsockets::waitReadable(listenFd, kAcceptPollMs)) {
            continue;
        }
        const platform::SocketHandle fd = platform::acceptSocket(listenFd);
        if (fd != platform::kInvalidSocket) {
            serveOne(fd);
        }
    }
}

void TlsTestServer::serveOne(platform::SocketHandle fd) {
    testsockets::setIoTimeouts(fd, ioTimeoutSeconds);
    SSL* ssl = SSL_new(ctx);
    BIO* bio = BIO_new(serverBioMethod());
    BIO_set_data(bio, reinterpret_cast<void*>(static_cast<uintptr_t>(fd)));
    SSL_set_bio(ssl, bio, bio);
    Connection connection(ssl, fd);
    if (SSL_accept(ssl) == 1) {
        handshakeCount.fetch_add(1);
        handler(connection);
    } else {
        failedHandshakeCount.fetch_add(1);
    }
    if (!connection.wasReset) {
        platform::closeSocket(fd);
    }
    SSL_free(ssl);
    ERR_clear_error();
}
