#include "Tools/AggrReceiver/AggrReceiver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string_view>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509err.h>

#include "Platform/Clock.h"
#include "Tools/AggrReceiver/FrameDecoder.h"
#include "Tools/AggrReceiver/LivePage.h"
#include "Tools/AggrReceiver/LiveState.h"

namespace aggrreceiver {

namespace {

using Clock = std::chrono::steady_clock;

// Rounds of SSL_read per client per loop turn, so that one busy sender cannot starve the rest.
constexpr int kReadRoundsPerTurn = 16;
constexpr std::size_t kReadChunk = 64 * 1024;
// Double-quoted, with \ and " escaped and control characters as \xNN. Called qualified: the
// JSON header brings in std::quoted, which argument-dependent lookup would find as well.
std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string addressText(const sockaddr_in& address) {
    char ip[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &address.sin_addr, ip, sizeof ip);
    return std::string(ip) + ":" + std::to_string(ntohs(address.sin_port));
}

// The reasons queued by OpenSSL, oldest first, joined; the queue is left empty.
std::string openSslErrors() {
    std::string text;
    while (unsigned long code = ERR_get_error()) {
        const char* reason = ERR_reason_error_string(code);
        char fallback[256];
        if (reason == nullptr) {
            ERR_error_string_n(code, fallback, sizeof fallback);
            reason = fallback;
        }
        if (text.find(reason) == std::string::npos) {
            text += text.empty() ? reason : std::string("; ") + reason;
        }
    }
    return text.empty() ? std::string("unknown TLS error") : text;
}

// Why a handshake or a read failed, with the certificate verification result when it failed.
std::string tlsFailure(SSL* ssl, int sslError) {
    if (sslError == SSL_ERROR_SYSCALL && ERR_peek_error() == 0) {
        return errno != 0 ? std::string(std::strerror(errno)) : "the client closed the connection";
    }
    std::string text = openSslErrors();
    long verified = SSL_get_verify_result(ssl);
    if (verified != X509_V_OK) {
        text += std::string(" (") + X509_verify_cert_error_string(verified) + ")";
    }
    return text;
}

std::string peerSubject(SSL* ssl) {
    X509* certificate = SSL_get0_peer_certificate(ssl);
    if (certificate == nullptr) {
        return {};
    }
    BIO* memory = BIO_new(BIO_s_mem());
    X509_NAME_print_ex(memory, X509_get_subject_name(certificate), 0, XN_FLAG_RFC2253);
    char* data = nullptr;
    long length = BIO_get_mem_data(memory, &data);
    std::string subject(data, static_cast<std::size_t>(length));
    BIO_free(memory);
    return subject;
}

int passPhraseCallback(char* buffer, int size, int, void* userData) {
    const std::string& passPhrase = *static_cast<const std::string*>(userData);
    int length = static_cast<int>(std::min<std::size_t>(passPhrase.size(), size));
    std::memcpy(buffer, passPhrase.data(), static_cast<std::size_t>(length));
    return length;
}

void requireReadable(const std::string& path, const std::string& what) {
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) {
        throw ReceiverSetupError("cannot read the " + what + " '" + path +
                                 "': " + std::strerror(errno));
    }
    std::fclose(file);
}

}  // namespace

struct AggrReceiver::Connection {
    enum class State { Handshake, Reading, Paused, Closed };

    int socket = -1;
    // The connection's number among all the receiver accepted, from 1.
    std::uint64_t number = 0;
    SSL* ssl = nullptr;
    std::string peer;
    State state = State::Handshake;
    bool wantsWrite = false;
    // SSL_read stopped at the round limit; decrypted bytes may wait inside the session.
    bool moreBuffered = false;
    Clock::time_point handshakeDeadline;
    FrameDecoder decoder;
    std::uint64_t transactions = 0;
};

AggrReceiver::AggrReceiver(ReceiverOptions options)
    : options_(std::move(options)), readBuffer_(kReadChunk) {
    try {
        setUpTls();
        if (!options_.transactionsFile.empty()) {
            transactionsFile_ = std::fopen(options_.transactionsFile.c_str(), "w");
            if (transactionsFile_ == nullptr) {
                throw ReceiverSetupError("cannot create the transactions file '" +
                                         options_.transactionsFile + "': " + std::strerror(errno));
            }
        }
        sigset_t stopSignals;
        sigemptyset(&stopSignals);
        sigaddset(&stopSignals, SIGINT);
        sigaddset(&stopSignals, SIGTERM);
        // A parent may have left these ignored, and an ignored signal never reaches a signalfd.
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
        signalDescriptor_ = signalfd(-1, &stopSignals, SFD_NONBLOCK | SFD_CLOEXEC);
        if (signalDescriptor_ < 0) {
            throw ReceiverSetupError(std::string("cannot watch for signals: ") +
                                     std::strerror(errno));
        }
        listenOnAddress();
        if (!options_.httpAddress.empty()) {
            live_ = std::make_unique<LiveState>(listenAddress_);
            page_ = std::make_unique<LivePage>(*live_, options_.httpAddress, options_.httpPort);
            live_->setPage(page_->url(), !isLoopbackAddress(options_.httpAddress));
        }
    } catch (...) {
        release();
        throw;
    }
}

AggrReceiver::~AggrReceiver() {
    release();
}

void AggrReceiver::release() {
    page_.reset();
    for (auto& connection : connections_) {
        closeConnection(*connection);
    }
    connections_.clear();
    if (listenSocket_ >= 0) {
        close(listenSocket_);
        listenSocket_ = -1;
    }
    if (signalDescriptor_ >= 0) {
        close(signalDescriptor_);
        signalDescriptor_ = -1;
    }
    if (transactionsFile_ != nullptr) {
        std::fclose(transactionsFile_);
        transactionsFile_ = nullptr;
    }
    SSL_CTX_free(tls_);
    tls_ = nullptr;
}

void AggrReceiver::setUpTls() {
    tls_ = SSL_CTX_new(TLS_server_method());
    if (tls_ == nullptr) {
        throw ReceiverSetupError("cannot create the TLS context: " + openSslErrors());
    }
    SSL_CTX_set_min_proto_version(tls_, TLS1_2_VERSION);
    // A client that closes its socket without a close_notify simply ends its stream; a frame
    // cut short is still reported.
    SSL_CTX_set_options(tls_, SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_default_passwd_cb(tls_, passPhraseCallback);
    SSL_CTX_set_default_passwd_cb_userdata(tls_, &options_.keyPassPhrase);

    requireReadable(options_.certFile, "certificate file");
    if (SSL_CTX_use_certificate_chain_file(tls_, options_.certFile.c_str()) != 1) {
        throw ReceiverSetupError("cannot load the certificate file '" + options_.certFile +
                                 "': " + openSslErrors());
    }
    requireReadable(options_.keyFile, "private key file");
    if (SSL_CTX_use_PrivateKey_file(tls_, options_.keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
        if (ERR_GET_REASON(ERR_peek_last_error()) == X509_R_KEY_VALUES_MISMATCH) {
            throw ReceiverSetupError("the private key '" + options_.keyFile +
                                     "' does not match the certificate '" + options_.certFile +
                                     "'");
        }
        throw ReceiverSetupError("cannot load the private key file '" + options_.keyFile +
                                 "': " + openSslErrors());
    }
    if (SSL_CTX_check_private_key(tls_) != 1) {
        throw ReceiverSetupError("the private key '" + options_.keyFile +
                                 "' does not match the certificate '" + options_.certFile +
                                 "': " + openSslErrors());
    }
    requireReadable(options_.caFile, "CA file");
    if (SSL_CTX_load_verify_locations(tls_, options_.caFile.c_str(), nullptr) != 1) {
        throw ReceiverSetupError("cannot load the CA file '" + options_.caFile +
                                 "': " + openSslErrors());
    }
    if (STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(options_.caFile.c_str())) {
        SSL_CTX_set_client_CA_list(tls_, names);
    }
    ERR_clear_error();
    SSL_CTX_set_verify(tls_, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
}

void AggrReceiver::listenOnAddress() {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    int resolved = getaddrinfo(options_.address.c_str(), std::to_string(options_.port).c_str(),
                               &hints, &found);
    if (resolved != 0) {
        throw ReceiverSetupError("cannot resolve the address '" + options_.address +
                                 "': " + gai_strerror(resolved));
    }
    sockaddr_in address{};
    std::memcpy(&address, found->ai_addr, sizeof address);
    freeaddrinfo(found);

    std::string where = addressText(address);
    listenSocket_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listenSocket_ < 0) {
        throw ReceiverSetupError(std::string("cannot create a socket: ") + std::strerror(errno));
    }
    int reuse = 1;
    setsockopt(listenSocket_, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    if (bind(listenSocket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listenSocket_, 64) != 0) {
        throw ReceiverSetupError("cannot listen on " + where + ": " + std::strerror(errno));
    }
    socklen_t length = sizeof address;
    getsockname(listenSocket_, reinterpret_cast<sockaddr*>(&address), &length);
    listenAddress_ = addressText(address);
}

int AggrReceiver::run() {
    std::printf("listening on %s\n", listenAddress_.c_str());
    if (page_) {
        std::printf("live page on %s\n", page_->url().c_str());
    }
    std::fflush(stdout);

    std::vector<pollfd> watched;
    const char* stopSignal = nullptr;
    while (stopSignal == nullptr) {
        watched.clear();
        watched.push_back({signalDescriptor_, POLLIN, 0});
        watched.push_back({listenSocket_, POLLIN, 0});
        for (const auto& connection : connections_) {
            short events = connection->state == Connection::State::Paused ? POLLRDHUP
                           : connection->wantsWrite                       ? POLLOUT
                                                                          : POLLIN;
            watched.push_back({connection->socket, events, 0});
        }
        if (poll(watched.data(), watched.size(), pollTimeoutMs()) < 0) {
            if (errno == EINTR) {
                continue;
            }
            reportError("-", std::string("poll failed: ") + std::strerror(errno));
            break;
        }
        if (watched[0].revents & POLLIN) {
            signalfd_siginfo received{};
            if (read(signalDescriptor_, &received, sizeof received) == sizeof received) {
                stopSignal = received.ssi_signo == SIGINT ? "SIGINT" : "SIGTERM";
            }
            continue;
        }
        for (std::size_t i = 0; i < connections_.size(); ++i) {
            Connection& connection = *connections_[i];
            if (watched[i + 2].revents != 0 || connection.moreBuffered) {
                serve(connection, watched[i + 2].revents);
            }
        }
        expireHandshakes();
        std::erase_if(connections_, [](const std::unique_ptr<Connection>& connection) {
            return connection->state == Connection::State::Closed;
        });
        if (watched[1].revents & POLLIN) {
            acceptClients();
        }
    }

    std::string line =
        platform::utcTimeStamp() + " stopping on " + (stopSignal ? stopSignal : "error");
    std::printf("%s\n", line.c_str());
    for (auto& connection : connections_) {
        closeConnection(*connection);
    }
    connections_.clear();
    printSummary();
    return 0;
}

void AggrReceiver::acceptClients() {
    for (;;) {
        sockaddr_in address{};
        socklen_t length = sizeof address;
        int client = accept4(listenSocket_, reinterpret_cast<sockaddr*>(&address), &length,
                             SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client < 0) {
            if (errno == EINTR || errno == ECONNABORTED) {
                continue;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                reportError("-", std::string("cannot accept a client: ") + std::strerror(errno));
            }
            return;
        }
        std::string peer = addressText(address);
        if (connections_.size() >= static_cast<std::size_t>(options_.maxClients)) {
            report(peer, "refused: " + std::to_string(connections_.size()) +
                             " clients already connected");
            close(client);
            continue;
        }
        ++clientCount_;
        report(peer, "connected");
        auto connection = std::make_unique<Connection>();
        connection->socket = client;
        connection->number = clientCount_;
        connection->peer = peer;
        connection->handshakeDeadline =
            Clock::now() + std::chrono::seconds(options_.handshakeTimeoutSeconds);
        connection->ssl = SSL_new(tls_);
        if (connection->ssl == nullptr || SSL_set_fd(connection->ssl, client) != 1) {
            reportError(peer, "cannot set up TLS: " + openSslErrors());
            closeConnection(*connection);
            continue;
        }
        SSL_set_accept_state(connection->ssl);
        connections_.push_back(std::move(connection));
    }
}

void AggrReceiver::serve(Connection& connection, short revents) {
    switch (connection.state) {
        case Connection::State::Handshake:
            continueHandshake(connection);
            break;
        case Connection::State::Reading:
            readFrames(connection);
            break;
        case Connection::State::Paused:
            if (revents & (POLLRDHUP | POLLHUP | POLLERR)) {
                closeConnection(connection);
            }
            break;
        case Connection::State::Closed:
            break;
    }
}

void AggrReceiver::continueHandshake(Connection& connection) {
    ERR_clear_error();
    int result = SSL_accept(connection.ssl);
    if (result == 1) {
        const std::string subject = peerSubject(connection.ssl);
        report(connection.peer, "accepted client subject=" + aggrreceiver::quoted(subject));
        updateLive([&](StudioModel& model, std::int64_t now) {
            model.connectionAccepted(connection.number, connection.peer, subject, now);
        });
        connection.wantsWrite = false;
        if (options_.stopReading) {
            connection.state = Connection::State::Paused;
        } else {
            connection.state = Connection::State::Reading;
            readFrames(connection);
        }
        return;
    }
    int sslError = SSL_get_error(connection.ssl, result);
    if (sslError == SSL_ERROR_WANT_READ || sslError == SSL_ERROR_WANT_WRITE) {
        connection.wantsWrite = sslError == SSL_ERROR_WANT_WRITE;
        return;
    }
    reportError(connection.peer, "handshake failed: " + tlsFailure(connection.ssl, sslError));
    closeConnection(connection);
}

void AggrReceiver::readFrames(Connection& connection) {
    connection.moreBuffered = false;
    for (int round = 0; round < kReadRoundsPerTurn; ++round) {
        ERR_clear_error();
        errno = 0;
        int received =
            SSL_read(connection.ssl, readBuffer_.data(), static_cast<int>(readBuffer_.size()));
        if (received > 0) {
            auto result = connection.decoder.feed(
                std::string_view(readBuffer_.data(), static_cast<std::size_t>(received)),
                [this, &connection](std::string&& frame) {
                    handleFrame(connection, std::move(frame));
                });
            if (result == FrameDecoder::Result::Oversized) {
                reportError(connection.peer,
                            "frame of " + std::to_string(connection.decoder.rejectedLength()) +
                                " bytes exceeds the maximum message size of " +
                                std::to_string(FrameDecoder::kMaxFrameSize) +
                                " bytes; closing the connection");
                closeConnection(connection);
                return;
            }
            continue;
        }
        int sslError = SSL_get_error(connection.ssl, received);
        if (sslError == SSL_ERROR_WANT_READ || sslError == SSL_ERROR_WANT_WRITE) {
            connection.wantsWrite = sslError == SSL_ERROR_WANT_WRITE;
            return;
        }
        if (sslError == SSL_ERROR_ZERO_RETURN ||
            (sslError == SSL_ERROR_SYSCALL && ERR_peek_error() == 0 && errno == 0)) {
            if (connection.decoder.insideFrame()) {
                reportError(connection.peer,
                            "connection ended inside a frame (" +
                                std::to_string(connection.decoder.bodyBytesReceived()) + " of " +
                                std::to_string(connection.decoder.expectedLength()) +
                                " bytes received)");
            }
        } else {
            reportError(connection.peer, "TLS error: " + tlsFailure(connection.ssl, sslError));
        }
        closeConnection(connection);
        return;
    }
    connection.moreBuffered = true;
}

void AggrReceiver::handleFrame(Connection& connection, std::string&& frame) {
    ++frameCount_;
    if (frame.empty()) {
        report(connection.peer, "empty frame ignored");
        return;
    }
    CheckedTransaction checked = checkTransaction(frame);
    recordFrame(connection, checked.ok(), frame);
    if (!checked.ok()) {
        updateLive([&](StudioModel& model, std::int64_t now) {
            model.malformed(connection.number, checked.error, frame.size(), now);
        });
        reportError(connection.peer, "malformed transaction (frame=" +
                                         std::to_string(frame.size()) + "): " + checked.error);
        return;
    }
    const TransactionInfo& info = checked.info;
    auto action = std::find(kActionNames.begin(), kActionNames.end(), info.action);
    ++transactionsByAction_[static_cast<std::size_t>(action - kActionNames.begin())];
    ++connection.transactions;
    const bool duplicate = info.action != "AddStudio" && seenRecently(frame);
    duplicateCount_ += duplicate ? 1 : 0;
    updateLive([&](StudioModel& model, std::int64_t now) {
        model.transaction(connection.number, info, duplicate, now);
    });
    report(connection.peer, "transaction session=" + info.session + " action=" + info.action +
                                " id=" + aggrreceiver::quoted(info.paramId) +
                                " name=" + aggrreceiver::quoted(info.paramName) +
                                " payload=" + std::to_string(info.payload.size()) + " frame=" +
                                std::to_string(frame.size()) + (duplicate ? " duplicate" : ""));
    if (static_cast<long>(connection.transactions) == options_.closeAfter) {
        sendCloseNotify(connection);
    }
}

void AggrReceiver::sendCloseNotify(Connection& connection) {
    ERR_clear_error();
    // The first call only sends; it returns 0 until the client's close_notify comes, which
    // readFrames then takes as the end of the stream.
    if (SSL_shutdown(connection.ssl) < 0) {
        reportError(connection.peer, "cannot send close_notify: " + openSslErrors());
        return;
    }
    report(connection.peer,
           "close_notify sent after " + std::to_string(connection.transactions) + " transactions");
}

bool AggrReceiver::seenRecently(const std::string& frame) {
    const std::size_t hash = std::hash<std::string>{}(frame);
    const bool seen = ++recent_[hash] > 1;
    recentOrder_.push_back(hash);
    if (recentOrder_.size() > kRecentTransactions) {
        const auto oldest = recent_.find(recentOrder_.front());
        if (--oldest->second == 0) {
            recent_.erase(oldest);
        }
        recentOrder_.pop_front();
    }
    return seen;
}

void AggrReceiver::closeConnection(Connection& connection) {
    if (connection.state == Connection::State::Closed) {
        return;
    }
    if (connection.ssl != nullptr) {
        if (connection.state != Connection::State::Handshake) {
            ERR_clear_error();
            SSL_shutdown(connection.ssl);
        }
        SSL_free(connection.ssl);
        connection.ssl = nullptr;
    }
    close(connection.socket);
    connection.state = Connection::State::Closed;
    connection.moreBuffered = false;
    updateLive([&](StudioModel& model, std::int64_t now) {
        model.connectionClosed(connection.number, now);
    });
    ERR_clear_error();
    report(connection.peer, "closed transactions=" + std::to_string(connection.transactions));
}

void AggrReceiver::expireHandshakes() {
    Clock::time_point now = Clock::now();
    for (auto& connection : connections_) {
        if (connection->state == Connection::State::Handshake &&
            connection->handshakeDeadline <= now) {
            reportError(connection->peer, "handshake not finished within " +
                                              std::to_string(options_.handshakeTimeoutSeconds) +
                                              " s; closing the connection");
            closeConnection(*connection);
        }
    }
}

int AggrReceiver::pollTimeoutMs() const {
    int timeout = -1;
    Clock::time_point now = Clock::now();
    for (const auto& connection : connections_) {
        if (connection->moreBuffered) {
            return 0;
        }
        if (connection->state == Connection::State::Handshake) {
            auto left =
                std::chrono::ceil<std::chrono::milliseconds>(connection->handshakeDeadline - now);
            int ms = static_cast<int>(std::max<long>(0, left.count()));
            timeout = timeout < 0 ? ms : std::min(timeout, ms);
        }
    }
    return timeout;
}

void AggrReceiver::report(const std::string& peer, const std::string& text) {
    std::string line = platform::utcTimeStamp() + " " + peer + " " + text + "\n";
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
}

void AggrReceiver::reportError(const std::string& peer, const std::string& text) {
    ++errorCount_;
    report(peer, "error: " + text);
}

void AggrReceiver::recordFrame(const Connection& connection, bool wellFormed,
                               const std::string& frame) {
    if (transactionsFile_ == nullptr) {
        return;
    }
    std::fprintf(transactionsFile_, "--- %s %llu from %s at %s, %zu bytes\n",
                 wellFormed ? "transaction" : "malformed",
                 static_cast<unsigned long long>(frameCount_), connection.peer.c_str(),
                 platform::utcTimeStamp().c_str(), frame.size());
    std::fwrite(frame.data(), 1, frame.size(), transactionsFile_);
    std::fputc('\n', transactionsFile_);
    std::fflush(transactionsFile_);
}

void AggrReceiver::updateLive(const std::function<void(StudioModel&, std::int64_t nowMs)>& change) {
    if (live_) {
        live_->update(change);
    }
}

void AggrReceiver::printSummary() {
    std::uint64_t total = 0;
    std::string byAction;
    for (std::size_t i = 0; i < kActionNames.size(); ++i) {
        total += transactionsByAction_[i];
        byAction +=
            " " + std::string(kActionNames[i]) + "=" + std::to_string(transactionsByAction_[i]);
    }
    std::printf("summary transactions=%llu%s clients=%llu duplicates=%llu errors=%llu\n",
                static_cast<unsigned long long>(total), byAction.c_str(),
                static_cast<unsigned long long>(clientCount_),
                static_cast<unsigned long long>(duplicateCount_),
                static_cast<unsigned long long>(errorCount_));
    std::fflush(stdout);
}

}  // namespace aggrreceiver
