#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>

#include "Platform/Resolver.h"
#include "Platform/WinsockWindows.h"

namespace platform {

uint32_t inetAddr(const char* text) {
    winsock::ensureStarted();
    return ::inet_addr(text);
}

std::vector<uint32_t> resolveHost(const char* name) {
    std::vector<uint32_t> addresses;
    if (!winsock::ensureStarted()) {
        return addresses;
    }
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

std::string inetNtoa(uint32_t address) {
    const uint8_t* octets = reinterpret_cast<const uint8_t*>(&address);
    return std::to_string(octets[0]) + "." + std::to_string(octets[1]) + "." +
           std::to_string(octets[2]) + "." + std::to_string(octets[3]);
}

}  // namespace platform
