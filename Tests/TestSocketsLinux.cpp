// TestSockets on Linux: poll, POLLRDHUP and a classic BPF socket filter.
#include <linux/filter.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "Tests/TestSockets.h"

namespace testsockets {

platform::SocketHandle listenOnLoopback(uint32_t address, uint16_t port, int receiveBuffer,
                                        std::string& reason) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        reason = std::strerror(errno);
        return platform::kInvalidSocket;
    }
    const int reuse = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof(reuse));
    if (receiveBuffer > 0) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
    }
    sockaddr_in bound{};
    bound.sin_family = AF_INET;
    bound.sin_addr.s_addr = htonl(address);
    bound.sin_port = htons(port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&bound), sizeof(bound)) != 0 || listen(fd, 8) != 0) {
        reason = std::strerror(errno);
        close(fd);
        return platform::kInvalidSocket;
    }
    return fd;
}

void setIoTimeouts(platform::SocketHandle handle, int seconds) {
    timeval timeout{seconds, 0};
    setsockopt(handle, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    setsockopt(handle, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
}

bool waitReadable(platform::SocketHandle handle, int timeoutMs) {
    pollfd entry{handle, POLLIN, 0};
    return poll(&entry, 1, timeoutMs) > 0;
}

bool waitForPeerClose(platform::SocketHandle handle, int timeoutMs) {
    pollfd entry{handle, POLLRDHUP, 0};
    return poll(&entry, 1, timeoutMs) > 0;
}

bool dropIncoming(platform::SocketHandle handle) {
    sock_filter acceptNothing[] = {{BPF_RET | BPF_K, 0, 0, 0}};
    sock_fprog program{1, acceptNothing};
    return setsockopt(handle, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof(program)) == 0;
}

}  // namespace testsockets
