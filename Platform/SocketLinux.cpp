#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "Platform/Socket.h"
#include "Platform/SocketErrors.h"
#include "Platform/SocketRecordsLinux.h"

namespace platform {

namespace {

int lastError() {
    return -winsockError(errno);
}

sockaddr_in ipv4(uint32_t address, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = port;
    sa.sin_addr.s_addr = address;
    return sa;
}

}  // namespace

namespace detail {

std::span<const SocketErrorMapping> systemSocketErrors() {
    static constexpr SocketErrorMapping kErrors[] = {
        {ESHUTDOWN, 10058, "Cannot send after transport endpoint shutdown"},
        {EHOSTDOWN, 10064, "Host is down"},
    };
    return kErrors;
}

}  // namespace detail

SocketHandle openTcpSocket() {
    SocketHandle h = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (h >= 0) {
        records::opened(h, false);
    }
    return h < 0 ? kInvalidSocket : h;
}

int setNonBlocking(SocketHandle handle) {
    int flags = ::fcntl(handle, F_GETFL);
    if (flags < 0 || ::fcntl(handle, F_SETFL, flags | O_NONBLOCK) < 0) {
        return lastError();
    }
    return 0;
}

int connectSocket(SocketHandle handle, uint32_t address, uint16_t port) {
    sockaddr_in sa = ipv4(address, port);
    if (::connect(handle, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) {
        records::connectStarted(handle);
        return 0;
    }
    const int error = errno;
    if (error == EINPROGRESS) {
        records::connectStarted(handle);
    }
    return -winsockError(error);
}

int sendSocket(SocketHandle handle, const void* data, int length) {
    ssize_t n;
    do {
        n = ::send(handle, data, static_cast<size_t>(length), MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        const int error = errno;
        if ((error == EAGAIN || error == EPIPE) && !records::connectionMade(handle)) {
            // Windows refuses a send before the connection is made.
            return -kWsaENotConnected;
        }
        if (error == EAGAIN) {
            records::sendBlocked(handle);
        }
        return -winsockError(error);
    }
    if (n < length) {
        // The kernel's buffer is full: the next send would block.
        records::sendBlocked(handle);
    }
    return static_cast<int>(n);
}

int recvSocket(SocketHandle handle, void* buffer, int length) {
    ssize_t n;
    do {
        n = ::recv(handle, buffer, static_cast<size_t>(length), 0);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? lastError() : static_cast<int>(n);
}

int setDeadPeerTimeout(SocketHandle handle, int seconds) {
    // Keepalive probes start after half the time and three unanswered ones end the connection,
    // so an idle link to a dead peer ends within `seconds` as a busy one does.
    const int on = 1;
    const int idle = seconds / 2 > 0 ? seconds / 2 : 1;
    const int interval = (seconds - idle) / 3 > 0 ? (seconds - idle) / 3 : 1;
    const int probes = 3;
    const unsigned int userTimeoutMs = static_cast<unsigned int>(seconds) * 1000u;
    if (::setsockopt(handle, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) < 0 ||
        ::setsockopt(handle, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) < 0 ||
        ::setsockopt(handle, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) < 0 ||
        ::setsockopt(handle, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes) < 0 ||
        ::setsockopt(handle, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeoutMs, sizeof userTimeoutMs) <
            0) {
        return lastError();
    }
    return 0;
}

int setSendAtOnce(SocketHandle handle) {
    const int on = 1;
    return ::setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) < 0 ? lastError() : 0;
}

int setUnsentLimit(SocketHandle handle, int bytes) {
    return ::setsockopt(handle, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &bytes, sizeof bytes) < 0
               ? lastError()
               : 0;
}

int setResetOnClose(SocketHandle handle) {
    const linger reset{1, 0};
    return ::setsockopt(handle, SOL_SOCKET, SO_LINGER, &reset, sizeof reset) < 0 ? lastError() : 0;
}

int64_t unacknowledgedBytes(SocketHandle handle) {
    int bytes = 0;
    if (::ioctl(handle, SIOCOUTQ, &bytes) < 0) {
        return -1;
    }
    return bytes;
}

bool unacknowledgedBytesAreExact() {
    return true;
}

int shutdownSend(SocketHandle handle) {
    return ::shutdown(handle, SHUT_WR) < 0 ? lastError() : 0;
}

int closeSocket(SocketHandle handle) {
    if (handle < 0) {
        return -kWsaENotSocket;
    }
    records::closing(handle);
    return ::close(handle) < 0 ? lastError() : 0;
}

SocketHandle openListener(uint32_t address, uint16_t port, int backlog) {
    SocketHandle h = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (h < 0) {
        return kInvalidSocket;
    }
    const int on = 1;
    ::setsockopt(h, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in sa = ipv4(address, port);
    if (::bind(h, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) < 0 ||
        ::listen(h, backlog) < 0) {
        ::close(h);
        return kInvalidSocket;
    }
    records::opened(h, false);
    return h;
}

SocketHandle acceptSocket(SocketHandle listener) {
    SocketHandle h;
    do {
        h = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    } while (h < 0 && errno == EINTR);
    if (h < 0) {
        return kInvalidSocket;
    }
    records::opened(h, true);
    return h;
}

int abortiveClose(SocketHandle handle) {
    const linger immediately{1, 0};
    ::setsockopt(handle, SOL_SOCKET, SO_LINGER, &immediately, sizeof immediately);
    return closeSocket(handle);
}

int setReceiveBuffer(SocketHandle handle, int bytes) {
    return ::setsockopt(handle, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) < 0 ? lastError() : 0;
}

int setSendBuffer(SocketHandle handle, int bytes) {
    return ::setsockopt(handle, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes) < 0 ? lastError() : 0;
}

int setReceiveTimeout(SocketHandle handle, int timeoutMs) {
    const timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    return ::setsockopt(handle, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) < 0 ? lastError()
                                                                                   : 0;
}

uint16_t localPort(SocketHandle handle) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (::getsockname(handle, reinterpret_cast<sockaddr*>(&sa), &len) < 0) {
        return 0;
    }
    return sa.sin_port;
}

}  // namespace platform
