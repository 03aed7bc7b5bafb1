// TestSockets on Windows: Windows Sockets with select, which waits on one socket as well as
// poll does and is there on every Windows version.
#include <winsock2.h>

#include <chrono>
#include <string>

#include "Tests/TestSockets.h"

namespace testsockets {

namespace {

bool started() {
    static const bool ok = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return ok;
}

}  // namespace

platform::SocketHandle listenOnLoopback(uint32_t address, uint16_t port, int receiveBuffer,
                                        std::string& reason) {
    if (!started()) {
        reason = "Windows Sockets did not start";
        return platform::kInvalidSocket;
    }
    const SOCKET s = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) {
        reason = platform::winsockErrorText(WSAGetLastError());
        return platform::kInvalidSocket;
    }
    // Windows binds a port whose last connections wait in TIME_WAIT without it; Wine, on the
    // Linux kernel, needs it. Another program taking over a test server's port does no harm.
    const BOOL reuse = TRUE;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse), sizeof reuse);
    if (receiveBuffer > 0) {
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receiveBuffer),
                   sizeof receiveBuffer);
    }
    sockaddr_in bound{};
    bound.sin_family = AF_INET;
    bound.sin_addr.s_addr = htonl(address);
    bound.sin_port = htons(port);
    if (bind(s, reinterpret_cast<const sockaddr*>(&bound), sizeof bound) == SOCKET_ERROR ||
        listen(s, 8) == SOCKET_ERROR) {
        reason = platform::winsockErrorText(WSAGetLastError());
        closesocket(s);
        return platform::kInvalidSocket;
    }
    return s;
}

void setIoTimeouts(platform::SocketHandle handle, int seconds) {
    const DWORD limit = static_cast<DWORD>(seconds) * 1000;
    setsockopt(handle, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit),
               sizeof limit);
    setsockopt(handle, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&limit),
               sizeof limit);
}

bool waitReadable(platform::SocketHandle handle, int timeoutMs) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(static_cast<SOCKET>(handle), &readable);
    timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    return select(0, &readable, nullptr, nullptr, &limit) > 0;
}

bool waitForPeerClose(platform::SocketHandle handle, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !waitReadable(handle, static_cast<int>(left.count()))) {
            return false;
        }
        char dropped[4096];
        if (recv(static_cast<SOCKET>(handle), dropped, sizeof dropped, 0) <= 0) {
            return true;
        }
    }
}

bool dropIncoming(platform::SocketHandle /*handle*/) {
    return false;
}

}  // namespace testsockets
