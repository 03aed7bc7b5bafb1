// TestSockets: the few socket calls the test servers need beyond Platform/Socket.h, with their
// Linux (TestSocketsLinux.cpp) and Windows (TestSocketsWindows.cpp) sides. Free functions,
// callable from any thread.
#pragma once

#include <cstdint>
#include <string>

#include "Platform/Socket.h"

namespace testsockets {

// A socket listening on a loopback address and port (host byte order; port 0 picks a free one)
// that child processes do not inherit, whose accepted connections get a receive buffer of
// `receiveBuffer` bytes (0: the system's). A server started again on the port of one that went
// away listens at once, while that one's last connections wait out their TIME_WAIT.
// kInvalidSocket on failure, with the reason in `reason`.
platform::SocketHandle listenOnLoopback(uint32_t address, uint16_t port, int receiveBuffer,
                                        std::string& reason);

// Blocking sends and receives on the handle give up after `seconds`.
void setIoTimeouts(platform::SocketHandle handle, int seconds);

// Waits up to timeoutMs until the handle has data to read, a connection to accept, or its peer
// has ended the connection; true when it has.
bool waitReadable(platform::SocketHandle handle, int timeoutMs);

// Waits up to timeoutMs for the peer to end the connection; true when it did. Linux asks for
// the peer's close alone (POLLRDHUP); Windows has no such wait, so what the peer sends
// meanwhile is read and dropped.
bool waitForPeerClose(platform::SocketHandle handle, int timeoutMs);

// Makes the system drop every packet that arrives for the connection, as a dead host would:
// nothing more is read or acknowledged. False where the system cannot (Windows has no socket
// filter).
bool dropIncoming(platform::SocketHandle handle);

}  // namespace testsockets
