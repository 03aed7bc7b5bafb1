// The seam inside the socket layer, internal to Socket.cpp and Socket<System>.cpp: errno values
// and the Windows Sockets numbers of Socket.h, with the words Linux gives for them, so that a
// reason in a trace line reads the same on both systems. The shared file holds the errors both
// systems have; each system's file adds its own, after them.
#pragma once

#include <span>

namespace platform::detail {

struct SocketErrorMapping {
    int errnoValue;  // 0 where the system has no errno for the number
    int winsockNumber;
    const char* text;
};

// The errors both systems know, in the order in which a number's first entry names it.
std::span<const SocketErrorMapping> sharedSocketErrors();

// The errors this system alone knows; searched after the shared ones.
std::span<const SocketErrorMapping> systemSocketErrors();

}  // namespace platform::detail
