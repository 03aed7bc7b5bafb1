#include <winsock2.h>

#include <openssl/err.h>

#include <chrono>

#include "Platform/Socket.h"
#include "Platform/TlsHandshake.h"
#include "Platform/WinsockWindows.h"

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

// Waits until the socket is readable (or, with forWrite, writable or failed) or the deadline
// passes; false when it passed first.
bool waitFor(SOCKET s, bool forWrite, Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
        return false;
    }
    fd_set ready;
    fd_set failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(s, &ready);
    FD_SET(s, &failed);
    timeval wait{static_cast<long>(left.count() / 1000),
                 static_cast<long>(left.count() % 1000) * 1000};
    const int n = ::select(0, forWrite ? nullptr : &ready, forWrite ? &ready : nullptr,
                           forWrite ? &failed : nullptr, &wait);
    return n > 0;
}

std::string noAnswer(int timeoutMs) {
    return "no answer within " + std::to_string(timeoutMs) + " ms";
}

std::string connectWithin(SOCKET s, uint32_t address, int port, Clock::time_point deadline,
                          int timeoutMs) {
    const int started = connectSocket(s, address, hostToNet16(static_cast<uint16_t>(port)));
    if (started == 0) {
        return std::string();
    }
    if (started != -kWsaEWouldBlock) {
        return winsockErrorText(-started);
    }
    if (!waitFor(s, true, deadline)) {
        return noAnswer(timeoutMs);
    }
    int error = 0;
    int size = sizeof error;
    getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size);
    return error == 0 ? std::string() : winsockErrorText(error);
}

std::string libraryReason(int result, SSL* session) {
    const unsigned long error = ERR_get_error();
    ERR_clear_error();
    if (error != 0) {
        return ERR_reason_error_string(error) != nullptr ? ERR_reason_error_string(error)
                                                         : "TLS library error";
    }
    if (SSL_get_error(session, result) == SSL_ERROR_SYSCALL) {
        const int wsaError = WSAGetLastError();
        return wsaError != 0 ? winsockErrorText(wsaError) : "the server closed the connection";
    }
    return "the handshake failed";
}

}  // namespace

std::string tlsHandshake(SSL* session, uint32_t address, int port, int timeoutMs) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const SocketHandle s = openTcpSocket();
    if (s == kInvalidSocket) {
        return winsockErrorText(WSAGetLastError());
    }
    std::string failure = setNonBlocking(s) == 0
                              ? connectWithin(s, address, port, deadline, timeoutMs)
                              : winsockErrorText(WSAGetLastError());
    // OpenSSL keeps a Windows socket in an int, as its documentation allows.
    if (failure.empty() && SSL_set_fd(session, static_cast<int>(s)) != 1) {
        failure = "the session cannot take the connection";
    }
    while (failure.empty()) {
        ERR_clear_error();
        WSASetLastError(0);
        const int result = SSL_connect(session);
        if (result == 1) {
            SSL_shutdown(session);
            break;
        }
        const int error = SSL_get_error(session, result);
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
            failure = libraryReason(result, session);
        } else if (!waitFor(s, error == SSL_ERROR_WANT_WRITE, deadline)) {
            failure = noAnswer(timeoutMs);
        }
    }
    closeSocket(s);
    return failure;
}

}  // namespace platform
