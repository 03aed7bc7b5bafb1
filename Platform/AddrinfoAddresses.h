// resolveHost's body on both systems, which share getaddrinfo: the IPv4 TCP addresses of a name
// in the resolver's order, each address once. Internal to ResolverLinux.cpp and
// ResolverWindows.cpp (which starts Windows Sockets first).
#pragma once

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <algorithm>
#include <cstdint>
#include <vector>

namespace platform::detail {

inline std::vector<uint32_t> addrinfoAddresses(const char* name) {
    std::vector<uint32_t> addresses;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    if (::getaddrinfo(name, nullptr, &hints, &found) != 0) {
        return addresses;
    }
    for (const addrinfo* ai = found; ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET || ai->ai_addr == nullptr) {
            continue;
        }
        const uint32_t address = reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr;
        if (std::find(addresses.begin(), addresses.end(), address) == addresses.end()) {
            addresses.push_back(address);
        }
    }
    ::freeaddrinfo(found);
    return addresses;
}

}  // namespace platform::detail
