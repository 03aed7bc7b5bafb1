#include "SSLSockets.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <system_error>

#include "Platform/Clock.h"
#include "Platform/Socket.h"

namespace {

constexpr int kSeedWords = 256;

// Starts the library for the first live context. OpenSSL 3 replaces SSL_library_init and
// SSL_load_error_strings with OPENSSL_init_ssl. RAND_seed only adds to the generator's input, so
// the seed from the tick count is still given.
void startLibrary() {
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    std::srand(platform::tickCount());
    int seed[kSeedWords];
    for (int& word : seed) {
        word = std::rand();
    }
    RAND_seed(seed, sizeof(seed));
}

// OpenSSL 3 checks a private key against the loaded certificate while loading it, so a key that
// does not belong to the certificate fails SSL_CTX_use_PrivateKey_file with the X509 library's
// mismatch reason instead of reaching SSL_CTX_check_private_key.
bool lastErrorIsKeyMismatch() {
    const unsigned long error = ERR_peek_last_error();
    if (ERR_GET_LIB(error) != ERR_LIB_X509) {
        return false;
    }
    const int reason = ERR_GET_REASON(error);
    return reason == X509_R_KEY_VALUES_MISMATCH || reason == X509_R_KEY_TYPE_MISMATCH;
}

// The session's transport. It stands where SSL_set_fd would put the library's own socket layer,
// which writes with write(): that would raise SIGPIPE on a connection the server has dropped, and
// a would-block it met would not re-enable FD_WRITE for the handle. These calls go through the
// platform's socket calls instead, which send with MSG_NOSIGNAL and keep the handle's network
// events right. errno is left as the failing call set it, for the SSL_ERROR_SYSCALL mapping. The
// handle is never closed here.
SSLTransport& transportOf(BIO* bio) {
    return *static_cast<SSLTransport*>(BIO_get_data(bio));
}

platform::SocketHandle handleOf(BIO* bio) {
    return transportOf(bio).handle;
}

int transportWrite(BIO* bio, const char* data, int length) {
    BIO_clear_retry_flags(bio);
    const int n = platform::sendSocket(handleOf(bio), data, length);
    if (n >= 0) {
        transportOf(bio).bytesWritten += static_cast<uint64_t>(n);
        return n;
    }
    if (n == -platform::kWsaEWouldBlock) {
        BIO_set_retry_write(bio);
    }
    if (n == -platform::kWsaEConnReset) {
        transportOf(bio).resetSeen = true;
    }
    return -1;
}

int transportRead(BIO* bio, char* buffer, int length) {
    BIO_clear_retry_flags(bio);
    const int n = platform::recvSocket(handleOf(bio), buffer, length);
    if (n > 0) {
        return n;
    }
    if (n == 0) {
        BIO_set_flags(bio, BIO_FLAGS_IN_EOF);
        return 0;
    }
    if (n == -platform::kWsaEWouldBlock) {
        BIO_set_retry_read(bio);
    }
    if (n == -platform::kWsaEConnReset) {
        transportOf(bio).resetSeen = true;
    }
    return -1;
}

long transportControl(BIO* bio, int command, long /*number*/, void* /*pointer*/) {
    switch (command) {
        case BIO_CTRL_FLUSH:
            return 1;
        case BIO_CTRL_EOF:
            return BIO_test_flags(bio, BIO_FLAGS_IN_EOF) != 0 ? 1 : 0;
        default:
            return 0;
    }
}

int transportCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

// Made once for the process and kept until it ends.
BIO_METHOD* transportMethod() {
    static BIO_METHOD* const method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "KRI socket");
        if (m != nullptr) {
            BIO_meth_set_write(m, transportWrite);
            BIO_meth_set_read(m, transportRead);
            BIO_meth_set_ctrl(m, transportControl);
            BIO_meth_set_create(m, transportCreate);
        }
        return m;
    }();
    return method;
}

// The transport's error behind a failed call: errno says something only when the library's
// error is SSL_ERROR_SYSCALL; for any other error it holds whatever an earlier call left there.
// Read before anything else can change it.
int systemError(int sslError) {
    return sslError == SSL_ERROR_SYSCALL ? errno : 0;
}

// A TCP close without the TLS close before it.
constexpr char kEndOfStream[] =
    "end of stream: the server closed the connection without closing the TLS session";

bool isFatal(int sslError) {
    return sslError != SSL_ERROR_WANT_READ && sslError != SSL_ERROR_WANT_WRITE;
}

// The alerts by which a server says that it does not accept the client's certificate.
bool rejectsOurCertificate(int description) {
    switch (description) {
        case SSL_AD_BAD_CERTIFICATE:
        case SSL_AD_UNSUPPORTED_CERTIFICATE:
        case SSL_AD_CERTIFICATE_REVOKED:
        case SSL_AD_CERTIFICATE_EXPIRED:
        case SSL_AD_CERTIFICATE_UNKNOWN:
        case SSL_AD_UNKNOWN_CA:
        case SSL_AD_ACCESS_DENIED:
        case SSL_AD_CERTIFICATE_REQUIRED:
            return true;
        default:
            return false;
    }
}

}  // namespace

SSLContextError::SSLContextError(int32_t code, const char* message) : YuException(code, message) {}

SSLContextError::~SSLContextError() = default;

std::atomic<int> SSLContext::liveContextCount{0};

void SSLContext::releaseThreadState() {
    OPENSSL_thread_stop();
}

SSLContext::SSLContext(const KRIString& certificateFile, const KRIString& keyFile,
                       const KRIString& passPhrase, const KRIString& caFile) {
    if (liveContextCount.fetch_add(1) == 0) {
        startLibrary();
    }
    // SSLv23_client_method is TLS_client_method in OpenSSL 3: the version-flexible client method.
    const SSL_METHOD* method = TLS_client_method();
    if (method == nullptr) {
        fail(-1, "Unable to intialize the SSL protocol with SSLv23_client_method()");
    }
    ctx = SSL_CTX_new(method);
    if (ctx == nullptr) {
        fail(-2, "Unable to allocate a new SSL context with SSL_CTX_new()");
    }
    // No version below TLS 1.2, no renegotiation the server could ask for, and the server's
    // certificate verified inside the handshake: one that fails ends it at once, before our
    // certificate or anything else of ours is sent.
    if (SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1) {
        fail(-2, "Unable to require TLS 1.2 or later");
    }
    SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    this->passPhrase = passPhrase;
    SSL_CTX_set_default_passwd_cb(ctx, &SSLContext::passPhraseCallback);
    SSL_CTX_set_default_passwd_cb_userdata(ctx, const_cast<char*>(this->passPhrase.c_str()));
    if (SSL_CTX_use_certificate_file(ctx, certificateFile.c_str(), SSL_FILETYPE_PEM) != 1) {
        fail(-3, "The specified certificate could not be loaded");
    }
    if (SSL_CTX_use_PrivateKey_file(ctx, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
        if (lastErrorIsKeyMismatch()) {
            fail(-5, "The specified certificate does not match the specified private key file");
        }
        fail(-4, "The specified private key file could not be loaded");
    }
    if (SSL_CTX_check_private_key(ctx) != 1) {
        fail(-5, "The specified certificate does not match the specified private key file");
    }
    if (caFile.length() > 0 && SSL_CTX_load_verify_locations(ctx, caFile.c_str(), nullptr) != 1) {
        fail(-8, "Unable to load the specified list of valid CAs");
    }
}

// The library's global clean-up calls have no effect in OpenSSL 3, and OPENSSL_cleanup would keep
// the library from starting again in this process, so the last context leaves the library as is.
SSLContext::~SSLContext() {
    SSL_CTX_free(ctx);
    ctx = nullptr;
    liveContextCount.fetch_sub(1);
}

SSL* SSLContext::newSession() const {
    SSL* session = SSL_new(ctx);
    if (session == nullptr || expectedServerName.empty()) {
        return session;
    }
    // An address is matched against the IP entries of the certificate, a name against its DNS
    // entries (a wildcard only as a whole leftmost label).
    const char* name = expectedServerName.c_str();
    SSL_set_hostflags(session, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    if (X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(session), name) != 1 &&
        SSL_set1_host(session, name) != 1) {
        SSL_free(session);
        return nullptr;
    }
    return session;
}

void SSLContext::fail(int32_t code, const char* message) {
    ERR_clear_error();
    SSL_CTX_free(ctx);
    ctx = nullptr;
    liveContextCount.fetch_sub(1);
    throw SSLContextError(code, message);
}

int SSLContext::passPhraseCallback(char* buffer, int size, int /*rwflag*/, void* userData) {
    const char* text = static_cast<const char*>(userData);
    if (size < 0) {
        return -1;
    }
    const size_t length = std::strlen(text);
    const size_t room = static_cast<size_t>(size);
    if (length > room) {
        std::memset(buffer, 0, room);
        return -1;
    }
    std::strncpy(buffer, text, room);
    return static_cast<int>(length);
}

// Locking: sendMessage and the flush call sendRaw with transportLock held, possibly on a thread
// other than the reactor's. Every other use of the session (handshake, reads, the SSL close, its
// renewal) and every change of sslState also happens under transportLock, so a writing thread
// never meets a session that the reactor's thread is using, freeing or replacing. The lock is
// never held while a callback runs.

SSLClientSocket::SSLClientSocket(SSLContext& context) : context(context) {
    attachSession();
}

SSLClientSocket::~SSLClientSocket() {
    std::lock_guard<ThreadLock> guard(transportLock);
    SSL_free(ssl);
    ssl = nullptr;
}

void SSLClientSocket::attachSession() {
    ssl = context.newSession();
    BIO* transport = transportMethod() == nullptr ? nullptr : BIO_new(transportMethod());
    if (ssl == nullptr || transport == nullptr) {
        BIO_free(transport);
        SSL_free(ssl);
        ssl = nullptr;
        return;
    }
    this->transport = SSLTransport{socketHandle, 0, false};
    BIO_set_data(transport, &this->transport);
    SSL_set_bio(ssl, transport, transport);
    SSL_set_app_data(ssl, this);
    SSL_set_info_callback(ssl, &SSLClientSocket::onSessionInfo);
    alertReceived.clear();
}

bool SSLClientSocket::serverVerified() const {
    // Without a certificate the library reports X509_V_OK too: a server that shows none is not
    // vouched for.
    return SSL_get_verify_result(ssl) == X509_V_OK && SSL_get0_peer_certificate(ssl) != nullptr;
}

SSLClientSocket::Handshake SSLClientSocket::continueHandshake() {
    std::lock_guard<ThreadLock> guard(transportLock);
    sslState = SSLState::kHandshaking;
    ERR_clear_error();
    const int r = SSL_connect(ssl);
    if (r > 0) {
        if (serverVerified()) {
            sslState = SSLState::kEstablished;
            return Handshake::kVerified;
        }
        return rejectServer();
    }
    if (SSL_get_verify_result(ssl) != X509_V_OK) {
        // The library ended the handshake when the server's certificate failed.
        return rejectServer();
    }
    const int sslError = SSL_get_error(ssl, r);
    if (r == 0 || isFatal(sslError)) {
        noteFailure(sslError, systemError(sslError));
        return Handshake::kFailed;
    }
    return Handshake::kPending;
}

SSLClientSocket::Handshake SSLClientSocket::rejectServer() {
    // The session stays in the handshaking state, where sendRaw writes nothing.
    serverRejected = true;
    const long verifyResult = SSL_get_verify_result(ssl);
    failureReason = verifyResult == X509_V_OK && SSL_get0_peer_certificate(ssl) == nullptr
                        ? "the server showed no certificate"
                        : std::string("the server's certificate failed verification: ") +
                              X509_verify_cert_error_string(verifyResult);
    return Handshake::kRejected;
}

// An unfinished handshake, and one that failed here, go on at the next readable event.
void SSLClientSocket::onConnected() {
    if (ssl == nullptr) {
        onError(-platform::kWsaENoBufferSpace);
        return;
    }
    serverRejected = false;
    {
        std::lock_guard<ThreadLock> guard(transportLock);
        failureReason.clear();
    }
    const Handshake handshake = continueHandshake();
    if (handshake == Handshake::kVerified) {
        onSSLConnected();
    } else if (handshake == Handshake::kRejected) {
        onError(-25);
    }
}

void SSLClientSocket::onReadable() {
    if (sessionState() != SSLState::kHandshaking) {
        if (!readHook()) {
            ConnectedSocket::onReadable();
            ConnectedSocket::onWritable();
        }
        return;
    }
    // A rejected server is reported once per handshake; what it sends afterwards is dropped.
    if (serverRejected) {
        dropUntrustedInput();
        return;
    }
    const Handshake handshake = continueHandshake();
    if (handshake == Handshake::kVerified) {
        onSSLConnected();
    } else if (handshake == Handshake::kRejected) {
        onError(-25);
    } else if (handshake == Handshake::kFailed) {
        // The library has ended the handshake, or given up on it: it then answers every later
        // call at once without reading, and what the server sent would keep the socket readable.
        SSLClientSocket::onClosed(false);
    }
}

void SSLClientSocket::dropUntrustedInput() {
    char scratch[4096];
    int error = SSL_ERROR_NONE;
    transportLock.lock();
    for (;;) {
        ERR_clear_error();
        const int n = SSL_read(ssl, scratch, sizeof(scratch));
        if (n <= 0) {
            error = SSL_get_error(ssl, n);
            break;
        }
    }
    transportLock.unlock();
    if (error != SSL_ERROR_ZERO_RETURN && isFatal(error)) {
        SSLClientSocket::onClosed(false);
    }
}

void SSLClientSocket::onWritable() {
    if (!writeHook()) {
        ConnectedSocket::onWritable();
    }
}

int SSLClientSocket::sendRaw(const char* data, int length) {
    if (sslState != SSLState::kEstablished) {
        return -platform::kWsaENotConnected;
    }
    // SSL_get_error reads this thread's error queue, which must be empty before the call; it
    // nearly always is, and looking is cheaper than clearing it for every write.
    if (ERR_peek_error() != 0) {
        ERR_clear_error();
    }
    const int n = SSL_write(ssl, data, length);
    if (n > 0) {
        return n;
    }
    return mapFailure(n, true);
}

int SSLClientSocket::recvRaw(char* buffer, int length) {
    std::lock_guard<ThreadLock> guard(transportLock);
    if (ssl == nullptr) {
        return -platform::kWsaENotConnected;
    }
    ERR_clear_error();
    const int n = SSL_read(ssl, buffer, length);
    if (n > 0) {
        return n;
    }
    if (n == 0) {
        // The server has closed its SSL session: answer with ours. SSL_read answers 0 for a
        // fatal alert too, which then names the end.
        failureReason = alertReceived;
        if (SSL_shutdown(ssl) == 1) {
            sslState = SSLState::kShutDown;
            if (closeRequested) {
                ConnectedSocket::shutdownSend();
            }
        } else {
            sslState = SSLState::kShuttingDown;
        }
        return 0;
    }
    return mapFailure(n, false);
}

void SSLClientSocket::noteFailure(int sslError, int systemErrno) {
    if (!alertReceived.empty()) {
        failureReason = alertReceived;
    } else if (sslError == SSL_ERROR_ZERO_RETURN) {
        failureReason = "the server closed the TLS session";
    } else if (const unsigned long error = ERR_peek_last_error();
               ERR_GET_LIB(error) == ERR_LIB_SSL &&
               ERR_GET_REASON(error) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
        failureReason = kEndOfStream;
    } else if (error != 0) {
        const char* reason = ERR_reason_error_string(error);
        failureReason = reason != nullptr ? reason : "TLS library error";
    } else if (systemErrno != 0) {
        failureReason = std::error_code(systemErrno, std::generic_category()).message();
    } else if (sslError == SSL_ERROR_SYSCALL) {
        failureReason = "the connection ended without a TLS close";
    }
}

void SSLClientSocket::onSessionInfo(const SSL* ssl, int where, int value) {
    // Only what the server sent: the library reports the alerts it sends itself here too (a
    // decode error for a connection that ended without a close_notify, say). A close_notify
    // arrives as a warning-level alert and is handled as the end of the session.
    if ((where & SSL_CB_READ_ALERT) != SSL_CB_READ_ALERT || (value >> 8) != SSL3_AL_FATAL) {
        return;
    }
    auto* socket = static_cast<SSLClientSocket*>(SSL_get_app_data(ssl));
    const int description = value & 0xFF;
    socket->alertReceived =
        std::string(rejectsOurCertificate(description) ? "the server rejected our certificate: "
                                                       : "the server sent the alert: ") +
        SSL_alert_desc_string_long(value);
}

std::string SSLClientSocket::lastFailureReason() {
    std::lock_guard<ThreadLock> guard(transportLock);
    return failureReason;
}

uint64_t SSLClientSocket::transportBytesWritten() {
    std::lock_guard<ThreadLock> guard(transportLock);
    return transport.bytesWritten;
}

bool SSLClientSocket::transportWasReset() {
    std::lock_guard<ThreadLock> guard(transportLock);
    return transport.resetSeen;
}

int SSLClientSocket::writeSession(const char* data, int length) {
    std::lock_guard<ThreadLock> guard(transportLock);
    return sendRaw(data, length);
}

int SSLClientSocket::mapFailure(int result, bool sending) {
    const int sslError = SSL_get_error(ssl, result);
    const int systemErrno = systemError(sslError);
    if (isFatal(sslError)) {
        noteFailure(sslError, systemErrno);
    }
    switch (sslError) {
        case SSL_ERROR_SSL:
            return -platform::kWsaEConnAborted;
        case SSL_ERROR_WANT_READ:
        case SSL_ERROR_WANT_WRITE:
            return -platform::kWsaEWouldBlock;
        case SSL_ERROR_SYSCALL:
            // A failure without an errno would read as "nothing sent" or "closed" upstream.
            return systemErrno == 0 ? -platform::kWsaEConnAborted
                                    : -platform::winsockError(systemErrno);
        case SSL_ERROR_ZERO_RETURN:
            return sending ? 0 : result;
        case SSL_ERROR_WANT_CONNECT:
            return -platform::kWsaENotConnected;
        default:
            return result;
    }
}

int SSLClientSocket::shutdownSend() {
    std::lock_guard<ThreadLock> guard(transportLock);
    if (sslState != SSLState::kEstablished) {
        return 0;
    }
    closeRequested = true;
    sslState = SSLState::kShuttingDown;
    ERR_clear_error();
    if (SSL_shutdown(ssl) != 0) {
        sslState = SSLState::kShutDown;
        ConnectedSocket::shutdownSend();
    }
    return 0;
}

void SSLClientSocket::onClosed(bool /*graceful*/) {
    transportLock.lock();
    SSL_free(ssl);
    ssl = nullptr;
    const bool shutDown = sslState == SSLState::kShutDown;
    sslState = SSLState::kIdle;
    serverRejected = false;
    transportLock.unlock();

    ClientSocket::onClosed(shutDown);

    transportLock.lock();
    attachSession();
    transportLock.unlock();
    onSSLDisconnected(shutDown);
}

bool SSLClientSocket::readHook() {
    return false;
}

bool SSLClientSocket::writeHook() {
    return false;
}

bool SSLClientSocket::onSSLConnected() {
    return false;
}

bool SSLClientSocket::onSSLDisconnected(bool /*graceful*/) {
    return false;
}

SSLClientSocket::SSLState SSLClientSocket::sessionState() {
    std::lock_guard<ThreadLock> guard(transportLock);
    return sslState;
}

KRIString SSLClientSocket::getPeerName() {
    std::lock_guard<ThreadLock> guard(transportLock);
    X509* certificate = ssl == nullptr ? nullptr : SSL_get0_peer_certificate(ssl);
    if (certificate == nullptr) {
        return KRIString("");
    }
    char line[256];
    X509_NAME_oneline(X509_get_subject_name(certificate), line, sizeof(line));
    return KRIString(line);
}
