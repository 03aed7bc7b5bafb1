#include <winsock2.h>
#include <ws2tcpip.h>

#include "Platform/AddrinfoAddresses.h"
#include "Platform/Resolver.h"
#include "Platform/WinsockWindows.h"

namespace platform {

uint32_t inetAddr(const char* text) {
    winsock::ensureStarted();
    return ::inet_addr(text);
}

std::vector<uint32_t> resolveHost(const char* name) {
    if (!winsock::ensureStarted()) {
        return {};
    }
    return detail::addrinfoAddresses(name);
}

std::string inetNtoa(uint32_t address) {
    const uint8_t* octets = reinterpret_cast<const uint8_t*>(&address);
    return std::to_string(octets[0]) + "." + std::to_string(octets[1]) + "." +
           std::to_string(octets[2]) + "." + std::to_string(octets[3]);
}

}  // namespace platform
