// winsock2.h before windows.h and the headers that build on it.
#include <winsock2.h>

#include <mstcpip.h>
#include <windows.h>
#include <ws2tcpip.h>

#include <cerrno>
#include <mutex>

#include "Platform/Socket.h"
#include "Platform/SocketErrors.h"
#include "Platform/WinsockWindows.h"

namespace platform {

namespace {

// From ws2ipdef.h and mstcpip.h, which MinGW-w64 10 declares only in part.
constexpr int kTcpMaxRetransmitTime = 5;                 // TCP_MAXRT
constexpr DWORD kSioTcpInfo = _WSAIORW(IOC_VENDOR, 39);  // SIO_TCP_INFO
struct TcpInfoV0 {                                       // TCP_INFO_v0
    int State;
    ULONG Mss;
    ULONG64 ConnectionTimeMs;
    BOOLEAN TimestampsEnabled;
    ULONG RttUs;
    ULONG MinRttUs;
    ULONG BytesInFlight;
    ULONG Cwnd;
    ULONG SndWnd;
    ULONG RcvWnd;
    ULONG RcvBuf;
    ULONG64 BytesOut;
    ULONG64 BytesIn;
    ULONG BytesReordered;
    ULONG BytesRetrans;
    ULONG FastRetrans;
    ULONG DupAcksIn;
    ULONG TimeoutEpisodes;
    UCHAR SynRetrans;
};

sockaddr_in ipv4(uint32_t address, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = port;
    sa.sin_addr.s_addr = address;
    return sa;
}

// The result of a call that returned SOCKET_ERROR, or 0.
int resultOf(int rc) {
    return rc == SOCKET_ERROR ? winsock::lastError() : 0;
}

}  // namespace

namespace winsock {

bool ensureStarted() {
    static const bool started = [] {
        WSADATA data{};
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

void setErrno(int wsaError) {
    for (const detail::SocketErrorMapping& m : detail::sharedSocketErrors()) {
        if (m.winsockNumber == wsaError) {
            errno = m.errnoValue;
            return;
        }
    }
    errno = EIO;
}

int lastError() {
    const int error = WSAGetLastError();
    setErrno(error);
    return -error;
}

}  // namespace winsock

namespace detail {

std::span<const SocketErrorMapping> systemSocketErrors() {
    static constexpr SocketErrorMapping kErrors[] = {
        {0, 10058, "Cannot send after transport endpoint shutdown"},
        {0, 10064, "Host is down"},
        {0, 10093, "Windows Sockets is not started"},
    };
    return kErrors;
}

}  // namespace detail

SocketHandle openTcpSocket() {
    if (!winsock::ensureStarted()) {
        return kInvalidSocket;
    }
    // Not inheritable: a child process must not keep a connection open.
    const SOCKET s = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) {
        winsock::lastError();
        return kInvalidSocket;
    }
    return s;
}

int setNonBlocking(SocketHandle handle) {
    u_long on = 1;
    return resultOf(ioctlsocket(handle, FIONBIO, &on));
}

int connectSocket(SocketHandle handle, uint32_t address, uint16_t port) {
    const sockaddr_in sa = ipv4(address, port);
    return resultOf(connect(handle, reinterpret_cast<const sockaddr*>(&sa), sizeof sa));
}

// Windows re-enables FD_WRITE only after a send that fails with WSAEWOULDBLOCK, not after one
// that takes part of the data. The rest is offered at once until all is taken or a send would
// block, so that a caller left with data to send is always told FD_WRITE later.
int sendSocket(SocketHandle handle, const void* data, int length) {
    const char* bytes = static_cast<const char*>(data);
    int sent = 0;
    do {
        const int n = send(handle, bytes + sent, length - sent, 0);
        if (n == SOCKET_ERROR) {
            const int error = winsock::lastError();
            return sent > 0 && error == -kWsaEWouldBlock ? sent : error;
        }
        sent += n;
    } while (sent < length);
    return sent;
}

int recvSocket(SocketHandle handle, void* buffer, int length) {
    const int n = recv(handle, static_cast<char*>(buffer), length, 0);
    return n == SOCKET_ERROR ? winsock::lastError() : n;
}

int setDeadPeerTimeout(SocketHandle handle, int seconds) {
    // Keepalive probes start after half the time; Windows sends ten unanswered probes before it
    // ends the connection, so the interval is a tenth of the rest. TCP_MAXRT bounds the time
    // data may stay unacknowledged.
    const ULONG idleMs = static_cast<ULONG>(seconds > 1 ? seconds / 2 : 1) * 1000u;
    const ULONG restMs = static_cast<ULONG>(seconds > 1 ? seconds : 2) * 1000u - idleMs;
    tcp_keepalive keepalive{1, idleMs, restMs / 10 > 0 ? restMs / 10 : 1};
    DWORD returned = 0;
    if (WSAIoctl(handle, SIO_KEEPALIVE_VALS, &keepalive, sizeof keepalive, nullptr, 0, &returned,
                 nullptr, nullptr) == SOCKET_ERROR) {
        return winsock::lastError();
    }
    const DWORD maxRetransmitSeconds = static_cast<DWORD>(seconds);
    return resultOf(setsockopt(handle, IPPROTO_TCP, kTcpMaxRetransmitTime,
                               reinterpret_cast<const char*>(&maxRetransmitSeconds),
                               sizeof maxRetransmitSeconds));
}

int setSendAtOnce(SocketHandle handle) {
    const BOOL on = TRUE;
    return resultOf(setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                               sizeof on));
}

int setUnsentLimit(SocketHandle handle, int bytes) {
    // Winsock has no bound on the unsent bytes alone: its send buffer, which holds what is unsent
    // and what is in flight, is bounded instead.
    return resultOf(setsockopt(handle, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&bytes),
                               sizeof bytes));
}

int setResetOnClose(SocketHandle handle) {
    const linger reset{1, 0};
    return resultOf(setsockopt(handle, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&reset),
                               sizeof reset));
}

int64_t unacknowledgedBytes(SocketHandle handle) {
    // SIO_TCP_INFO (Windows 10 version 1703 and later; not in Wine 8): the bytes sent and not
    // yet acknowledged. Data the socket holds and has not sent yet is not counted, so the figure
    // can be low while the send buffer is full; the acknowledged count taken from it is then
    // ahead of the peer's TCP by at most that buffer.
    //
    // Where the system does not know the call (WSAEOPNOTSUPP), 0: everything the send buffer took
    // counts as acknowledged, ahead of the peer's TCP by at most that buffer as above. -1 there
    // would leave every written frame unacknowledged for good, so a connection with data would be
    // taken for stalled after deadPeerSeconds and rebuilt, again and again, with everything written
    // again.
    DWORD version = 0;
    TcpInfoV0 info{};
    DWORD returned = 0;
    if (WSAIoctl(handle, kSioTcpInfo, &version, sizeof version, &info, sizeof info, &returned,
                 nullptr, nullptr) == SOCKET_ERROR) {
        const int error = WSAGetLastError();
        return error == WSAEOPNOTSUPP ? 0 : -1;
    }
    return static_cast<int64_t>(info.BytesInFlight);
}

bool unacknowledgedBytesAreExact() {
    return false;
}

int shutdownSend(SocketHandle handle) {
    return resultOf(shutdown(handle, SD_SEND));
}

int closeSocket(SocketHandle handle) {
    if (handle == kInvalidSocket) {
        return -kWsaENotSocket;
    }
    winsock::forgetHandle(handle);
    return resultOf(closesocket(handle));
}

SocketHandle openListener(uint32_t address, uint16_t port, int backlog) {
    const SocketHandle h = openTcpSocket();
    if (h == kInvalidSocket) {
        return kInvalidSocket;
    }
    // Exclusive: on Windows SO_REUSEADDR would let another program take over the port.
    const BOOL on = TRUE;
    setsockopt(h, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
    const sockaddr_in sa = ipv4(address, port);
    if (bind(h, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == SOCKET_ERROR ||
        listen(h, backlog) == SOCKET_ERROR) {
        winsock::lastError();
        closesocket(h);
        return kInvalidSocket;
    }
    return h;
}

SocketHandle acceptSocket(SocketHandle listener) {
    const SOCKET s = accept(listener, nullptr, nullptr);
    if (s == INVALID_SOCKET) {
        winsock::lastError();
        return kInvalidSocket;
    }
    return s;
}

int abortiveClose(SocketHandle handle) {
    const linger immediately{1, 0};
    setsockopt(handle, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&immediately),
               sizeof immediately);
    return closeSocket(handle);
}

int setReceiveBuffer(SocketHandle handle, int bytes) {
    return resultOf(setsockopt(handle, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes),
                               sizeof bytes));
}

int setSendBuffer(SocketHandle handle, int bytes) {
    return resultOf(setsockopt(handle, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&bytes),
                               sizeof bytes));
}

int setReceiveTimeout(SocketHandle handle, int timeoutMs) {
    const DWORD limit = static_cast<DWORD>(timeoutMs);
    return resultOf(setsockopt(handle, SOL_SOCKET, SO_RCVTIMEO,
                               reinterpret_cast<const char*>(&limit), sizeof limit));
}

uint16_t localPort(SocketHandle handle) {
    sockaddr_in sa{};
    int len = sizeof sa;
    if (getsockname(handle, reinterpret_cast<sockaddr*>(&sa), &len) == SOCKET_ERROR) {
        return 0;
    }
    return sa.sin_port;
}

}  // namespace platform
