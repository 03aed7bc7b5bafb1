// NetworkEvent: a Windows Sockets event object with event selection (WSACreateEvent,
// WSAEventSelect, WSAResetEvent, WSAEnumNetworkEvents, WSACloseEvent) and the event loop's wait
// on its wake-up event and that object; on Linux, their stand-in.
//
// An event loop creates one NetworkEvent, owns it and uses it on its own thread only. On
// Windows it is one manual-reset event object that every socket of the loop is selected into,
// and Windows keeps the rules below itself. On Linux it is one epoll instance, and every socket
// handle carries a small record, shared by all threads and guarded inside this layer, that
// reproduces how Windows records network events and re-enables them:
//   FD_CONNECT  recorded once when a non-blocking connect on the handle completes, with the
//               connect's error or 0; a successful connect also records FD_WRITE.
//   FD_READ     recorded while unread data is waiting, so a reader that stops early is told
//               again after the next re-arm.
//   FD_WRITE    recorded after a successful connect, and after a send that would block (or
//               took only part of its data) once the socket can take data again; not again
//               until the next such send.
//   FD_CLOSE    recorded once when the peer ends the connection: error 0 for an orderly close,
//               10054 for a reset, the mapped socket error otherwise.
//   A handle with no connect under way and no connection records nothing; neither does a
//   listening handle (FD_ACCEPT and FD_OOB are never recorded).
// Enumeration returns what is recorded and clears it. The loop re-arms every watched handle with
// select() at the top of every iteration; between re-arms a handle reports each readiness at
// most once, so a loop whose sockets are quiet blocks in its wait and uses no CPU.
#pragma once

#include <cstdint>
#include <memory>

#include "Platform/Event.h"
#include "Platform/Socket.h"

namespace platform {

// Network event kinds, as the FD_* bits of Windows Sockets.
constexpr uint32_t kFdRead = 0x01;
constexpr uint32_t kFdWrite = 0x02;
constexpr uint32_t kFdConnect = 0x10;
constexpr uint32_t kFdClose = 0x20;
constexpr uint32_t kFdAllEvents = 0x3F;

// Positions of the per-kind error codes in NetworkEvents::errorCode (the FD_*_BIT numbers).
constexpr int kFdReadBit = 0;
constexpr int kFdWriteBit = 1;
constexpr int kFdConnectBit = 4;
constexpr int kFdCloseBit = 5;
constexpr int kFdMaxEvents = 6;

// What one enumeration reports: the kinds recorded and, per kind, its Windows Sockets error
// number (positive; 0 for none).
struct NetworkEvents {
    uint32_t networkEvents = 0;
    int errorCode[kFdMaxEvents] = {};
};

// Linux: the epoll instance, its wake-up descriptor and the handles selected into it.
// Windows: the event object.
struct EventDescriptors;

class NetworkEvent {
public:
    // WSACreateEvent. Returns null when the event (Linux: the epoll instance) cannot be made.
    static std::unique_ptr<NetworkEvent> create();

    // WSACloseEvent. Handles still selected into this event are released from it.
    ~NetworkEvent();
    NetworkEvent(const NetworkEvent&) = delete;
    NetworkEvent& operator=(const NetworkEvent&) = delete;

    // WSAEventSelect(handle, this, FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT | FD_CONNECT |
    // FD_CLOSE): the handle reports into this event, and is re-armed with the interest its
    // record allows. 0, or a negated error number for a handle that cannot be watched.
    int select(SocketHandle handle);

    // WSAResetEvent. Takes what the handles have reported into their records, so that the
    // following enumerations see it; the event is then clear until a handle reports again.
    void reset();

#ifdef _WIN32
    // The event object's HANDLE.
    void* nativeHandle() const;
#else
    // A descriptor that polls readable while the event is set.
    int pollDescriptor() const;
#endif

private:
    explicit NetworkEvent(std::unique_ptr<EventDescriptors> descriptors);

    const std::unique_ptr<EventDescriptors> descriptors;
};

// WSAEnumNetworkEvents(handle, no event, &events): moves the handle's recorded events into
// `events` and clears them. 0, or a negated error number (-10038 for a handle that is not an
// open descriptor), in which case `events` reports nothing.
int enumNetworkEvents(SocketHandle handle, NetworkEvents& events);

// Records FD_WRITE with the given Windows Sockets error number (positive) for the handle and
// sets the event it is selected into, so that the loop serving the handle learns on its own
// thread that a write failed on another thread. An error, once recorded, is not replaced by a
// later successful FD_WRITE before enumeration.
void reportSendFailure(SocketHandle handle, int error);

enum class LoopWaitResult { kSignal, kNetwork, kTimedOut, kFailed };

// WaitForMultipleObjects(2, {signal, network}, FALSE, timeoutMs). The signal entry wins when
// both are set: its signal is then taken, and the network event stays set for the next wait.
// With a null network event only the signal is waited for.
LoopWaitResult waitForSignalOrNetwork(AutoResetEvent& signal, NetworkEvent* network,
                                      uint32_t timeoutMs);

}  // namespace platform
