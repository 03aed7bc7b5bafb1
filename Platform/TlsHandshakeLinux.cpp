#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "Platform/TlsHandshake.h"

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

// Waits for events on fd until the deadline; false when it passed first.
bool waitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd p{fd, events, 0};
        const int ready = poll(&p, 1, static_cast<int>(left.count()));
        if (ready > 0) {
            return true;
        }
        if (ready < 0 && errno != EINTR) {
            return false;
        }
    }
}

std::string connectWithin(int fd, uint32_t address, int port, Clock::time_point deadline,
                          int timeoutMs) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = address;
    to.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
        return std::string();
    }
    if (errno != EINPROGRESS) {
        return std::strerror(errno);
    }
    if (!waitFor(fd, POLLOUT, deadline)) {
        return "no answer within " + std::to_string(timeoutMs) + " ms";
    }
    int error = 0;
    socklen_t size = sizeof error;
    getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
    return error == 0 ? std::string() : std::strerror(error);
}

std::string libraryReason(int result, SSL* session) {
    const unsigned long error = ERR_get_error();
    ERR_clear_error();
    if (error != 0) {
        return ERR_reason_error_string(error) != nullptr ? ERR_reason_error_string(error)
                                                         : "TLS library error";
    }
    if (SSL_get_error(session, result) == SSL_ERROR_SYSCALL) {
        return errno != 0 ? std::strerror(errno) : "the server closed the connection";
    }
    return "the handshake failed";
}

}  // namespace

std::string tlsHandshake(SSL* session, uint32_t address, int port, int timeoutMs) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return std::strerror(errno);
    }
    std::string failure = connectWithin(fd, address, port, deadline, timeoutMs);
    if (failure.empty() && SSL_set_fd(session, fd) != 1) {
        failure = "the session cannot take the connection";
    }
    while (failure.empty()) {
        ERR_clear_error();
        errno = 0;
        const int result = SSL_connect(session);
        if (result == 1) {
            SSL_shutdown(session);
            break;
        }
        const int error = SSL_get_error(session, result);
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
            failure = libraryReason(result, session);
        } else if (!waitFor(fd, error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline)) {
            failure = "no answer within " + std::to_string(timeoutMs) + " ms";
        }
    }
    close(fd);
    return failure;
}

}  // namespace platform
