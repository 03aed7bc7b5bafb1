#include <arpa/inet.h>

#include "Platform/AddrinfoAddresses.h"
#include "Platform/Resolver.h"

namespace platform {

uint32_t inetAddr(const char* text) {
    return ::inet_addr(text);
}

std::vector<uint32_t> resolveHost(const char* name) {
    return detail::addrinfoAddresses(name);
}

std::string inetNtoa(uint32_t address) {
    char text[INET_ADDRSTRLEN] = {};
    in_addr in{};
    in.s_addr = address;
    ::inet_ntop(AF_INET, &in, text, sizeof text);
    return text;
}

}  // namespace platform
