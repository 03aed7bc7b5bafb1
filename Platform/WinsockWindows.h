// What the Windows socket calls share: Windows Sockets started once per process, the failure
// of the last call as a negated Windows Sockets number, and the network-event side records.
//
// Internal to the Windows implementation (SocketWindows.cpp, NetworkEventWindows.cpp,
// ResolverWindows.cpp); callable from any thread.
#pragma once

#include "Platform/Socket.h"

namespace platform::winsock {

// WSAStartup(2.2) once for the process; Windows Sockets stays started until the process ends.
// False when it cannot be started (every socket call then fails with its own error).
bool ensureStarted();

// WSAGetLastError() negated; errno gets the matching errno value (EIO when there is none).
int lastError();

// Sets errno to the errno value of a Windows Sockets number (EIO when there is none).
void setErrno(int wsaError);

// The handle is about to be closed: its side record (NetworkEventWindows.cpp) goes.
void forgetHandle(SocketHandle handle);

}  // namespace platform::winsock
