// Socket calls: the Windows Sockets calls on TCP stream sockets (SocketWindows.cpp), and their
// stand-in on POSIX sockets (SocketLinux.cpp).
//
// Free functions, callable from any thread. A handle is a SOCKET on Windows and a POSIX
// descriptor on Linux. Every call reports failure as a negated Windows Sockets error number, so
// that the numbers the system traces and compares ("-10035 would block", "-10054 reset") read
// the same on both systems. On Windows they are WSAGetLastError's numbers as they are; a failed
// call also leaves the matching errno value (the table below read backwards) in errno, as the
// POSIX calls do, for code that reads errno after a failed transport call.
//
// Error numbers. One table, in SocketLinux.cpp, maps errno values to Windows Sockets numbers:
//   EAGAIN, EWOULDBLOCK, EINPROGRESS -> 10035 (WSAEWOULDBLOCK)
//   EINTR -> 10004          EBADF, ENOTSOCK -> 10038     EACCES -> 10013     EFAULT -> 10014
//   EINVAL -> 10022         EMFILE, ENFILE -> 10024      EALREADY -> 10037   EDESTADDRREQ -> 10039
//   EMSGSIZE -> 10040       EPROTOTYPE -> 10041          ENOPROTOOPT -> 10042
//   EPROTONOSUPPORT -> 10043                             EOPNOTSUPP -> 10045
//   EAFNOSUPPORT -> 10047   EADDRINUSE -> 10048          EADDRNOTAVAIL -> 10049
//   ENETDOWN -> 10050       ENETUNREACH -> 10051         ENETRESET -> 10052
//   ECONNABORTED -> 10053   ECONNRESET -> 10054          ENOBUFS, ENOMEM -> 10055
//   EISCONN -> 10056        ENOTCONN -> 10057            EPIPE, ESHUTDOWN -> 10058
//   ETIMEDOUT -> 10060      ECONNREFUSED -> 10061        EHOSTDOWN -> 10064
//   EHOSTUNREACH -> 10065
// Any other errno becomes 10107 (WSASYSCALLFAILURE), never a number that means something else.
// (Windows has no ESHUTDOWN or EHOSTDOWN; a Windows Sockets number without an errno counterpart
// leaves EIO.)
//
// Sends use MSG_NOSIGNAL: a send on a connection the peer has closed fails with -10058 instead
// of raising SIGPIPE. The calls that change what a handle can report (open, connect, a send
// that would block, close) keep the handle's network-event record (NetworkEvent.h) up to date.
#pragma once

#include <bit>
#include <cstdint>

namespace platform {

#ifdef _WIN32
using SocketHandle = std::uintptr_t;  // SOCKET
constexpr SocketHandle kInvalidSocket = ~SocketHandle{0};
#else
using SocketHandle = int;
constexpr SocketHandle kInvalidSocket = -1;
#endif

// Windows Sockets error numbers that callers test by name.
constexpr int kWsaEInterrupted = 10004;
constexpr int kWsaEInvalid = 10022;
constexpr int kWsaEWouldBlock = 10035;
constexpr int kWsaENotSocket = 10038;
constexpr int kWsaEMsgSize = 10040;
constexpr int kWsaEConnAborted = 10053;
constexpr int kWsaEConnReset = 10054;
constexpr int kWsaENoBufferSpace = 10055;
constexpr int kWsaENotConnected = 10057;
constexpr int kWsaEShutdown = 10058;
constexpr int kWsaETimedOut = 10060;
constexpr int kWsaEConnRefused = 10061;
constexpr int kWsaSysCallFailure = 10107;

// The Windows Sockets number for an errno value (positive).
int winsockError(int errnoValue);

// The error's meaning in words ("connection refused") for a Windows Sockets number (positive).
const char* winsockErrorText(int wsaError);

// Byte order of the wire (big-endian).
constexpr uint16_t hostToNet16(uint16_t v) {
    if constexpr (std::endian::native == std::endian::big) {
        return v;
    }
    return static_cast<uint16_t>((v >> 8) | (v << 8));
}
constexpr uint32_t hostToNet32(uint32_t v) {
    if constexpr (std::endian::native == std::endian::big) {
        return v;
    }
    return ((v >> 24) & 0xFFu) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}
constexpr uint16_t netToHost16(uint16_t v) {
    return hostToNet16(v);
}
constexpr uint32_t netToHost32(uint32_t v) {
    return hostToNet32(v);
}

// socket(AF_INET, SOCK_STREAM, 0). Returns kInvalidSocket on failure.
SocketHandle openTcpSocket();

// The FIONBIO switch: non-blocking mode on. 0 or a negated error number.
int setNonBlocking(SocketHandle handle);

// Starts a connection to an IPv4 address and port, both in network byte order. 0 when it is
// made at once, -10035 when a non-blocking connect is under way (its outcome is reported as
// FD_CONNECT), otherwise the negated error.
int connectSocket(SocketHandle handle, uint32_t address, uint16_t port);

// send(handle, data, length, 0): the count sent, or a negated error number. A send that would
// block, or that takes only part of the data, re-enables FD_WRITE for the handle.
int sendSocket(SocketHandle handle, const void* data, int length);

// recv(handle, buffer, length, 0): the count received (0 when the peer has closed), or a
// negated error number.
int recvSocket(SocketHandle handle, void* buffer, int length);

// Makes a connection whose peer dies silently fail within about `seconds`: TCP keepalive probes
// on an idle connection, and TCP_USER_TIMEOUT for data that stays unacknowledged. 0 or a negated
// error number.
int setDeadPeerTimeout(SocketHandle handle, int seconds);

// Sends each write at once (TCP_NODELAY) instead of holding a small one back while earlier data
// waits for its acknowledgement. For a writer that gathers its messages itself, holding back only
// adds delay: up to the peer's delayed acknowledgement (tens of milliseconds) when the peer never
// sends anything that would carry the acknowledgement sooner. 0 or a negated error number.
int setSendAtOnce(SocketHandle handle);

// Bounds the bytes the kernel holds on the handle that it has not sent yet: a write that would
// queue more finds the socket not writable, so data waits with the writer rather than in the
// kernel, where it would go on being sent after the writer has given the connection up.
// 0 or a negated error number.
int setUnsentLimit(SocketHandle handle, int bytes);

// Makes the next close of the handle reset the connection (SO_LINGER with a zero time) and drop
// whatever the kernel still holds for it, instead of an orderly close that goes on sending.
// 0 or a negated error number.
int setResetOnClose(SocketHandle handle);

// The bytes written on the handle that the peer's TCP has not acknowledged yet (sent and unsent
// alike, SIOCOUTQ); still answers once the connection has ended. -1 when it cannot be read.
// Windows counts only the bytes in flight (SIO_TCP_INFO), and where it has no such count (before
// Windows 10 version 1703; Wine) answers 0: the acknowledgements then run ahead of the peer's
// TCP by at most the send buffer (setUnsentLimit).
int64_t unacknowledgedBytes(SocketHandle handle);

// Whether unacknowledgedBytes counts the bytes the socket holds and has not sent as well, so that
// what it leaves out has reached the peer's TCP: true on Linux, false on Windows, where the count
// can run ahead of the peer's TCP by the send buffer.
bool unacknowledgedBytesAreExact();

// shutdown(handle, SD_SEND): 0 or a negated error number.
int shutdownSend(SocketHandle handle);

// closesocket(handle): 0 or a negated error number. The handle's record goes with it.
int closeSocket(SocketHandle handle);

// A listening IPv4 TCP socket bound to address and port (network byte order; port 0 picks a
// free one). Returns kInvalidSocket on failure.
SocketHandle openListener(uint32_t address, uint16_t port, int backlog);

// accept(listener): a connected handle, or kInvalidSocket on failure.
SocketHandle acceptSocket(SocketHandle listener);

// The local port of a bound handle in network byte order, 0 on failure.
uint16_t localPort(SocketHandle handle);

// Closes the handle with a reset instead of an orderly close (SO_LINGER with a zero time), as a
// peer that fails hard does. 0 or a negated error number; the handle is closed either way.
int abortiveClose(SocketHandle handle);

// SO_RCVBUF and SO_SNDBUF: the size of the handle's receive or send buffer. 0 or a negated
// error number.
int setReceiveBuffer(SocketHandle handle, int bytes);
int setSendBuffer(SocketHandle handle, int bytes);

// SO_RCVTIMEO: a blocking receive on the handle gives up after timeoutMs. 0 or a negated error
// number.
int setReceiveTimeout(SocketHandle handle, int timeoutMs);

}  // namespace platform
