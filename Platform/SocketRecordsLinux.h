// The per-handle network-event records, as seen by the socket calls of SocketLinux.cpp.
//
// Internal to the Linux stand-in; implemented with NetworkEvent in NetworkEventLinux.cpp. Each
// function may be called from any thread; the records are guarded by one lock inside.
#pragma once

#include "Platform/Socket.h"

namespace platform::records {

// A handle was made: fresh (records nothing) or already connected (accepted).
void opened(SocketHandle handle, bool connected);

// A non-blocking connect was started (or made at once) on the handle.
void connectStarted(SocketHandle handle);

// Whether a connection has been made on the handle (true for a handle without a record).
bool connectionMade(SocketHandle handle);

// A send on the handle would block: FD_WRITE is re-enabled.
void sendBlocked(SocketHandle handle);

// The handle is about to be closed: its record goes.
void closing(SocketHandle handle);

}  // namespace platform::records
