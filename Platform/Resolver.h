// Name resolution: the stand-in for gethostbyname and inet_addr.
//
// Free functions, callable from any thread. Addresses are IPv4, in network byte order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// What inetAddr returns for a text that is not an address (INADDR_NONE).
constexpr uint32_t kAddressNone = 0xFFFFFFFFu;

// inet_addr: dotted IPv4 text (the classic forms "a.b.c.d", "a.b.c", "a.b", "a", with octal and
// hexadecimal parts) to an address; kAddressNone when the text is none.
uint32_t inetAddr(const char* text);

// gethostbyname for IPv4 TCP: the addresses of a host name (or of address text) in the
// resolver's order, each address once. Empty when the name cannot be resolved.
std::vector<uint32_t> resolveHost(const char* name);

// inet_ntoa: an address as dotted text.
std::string inetNtoa(uint32_t address);

}  // namespace platform
