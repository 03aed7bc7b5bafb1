#include <windows.h>
#include <winsock2.h>

#include <mutex>
#include <unordered_map>

#include "Platform/NetworkEvent.h"
#include "Platform/WinsockWindows.h"

namespace platform {

struct EventDescriptors {
    const WSAEVENT event;
};

namespace {

// Windows records the network events itself. The side records keep what it does not: which
// event object a handle is selected into; a send failure reported from another thread
// (reportSendFailure), which the next enumeration adds as FD_WRITE with its error; and unread
// data found when the loop selects the handle again, which the next enumeration adds as
// FD_READ. Windows re-enables FD_READ only when the program receives, so a handler that left
// the data unread would otherwise not be told again.
struct SideRecord {
    EventDescriptors* selectedInto = nullptr;
    int sendFailure = 0;
    bool unreadData = false;
};

bool unreadDataWaiting(SocketHandle h) {
    u_long bytes = 0;
    return ioctlsocket(h, FIONREAD, &bytes) == 0 && bytes > 0;
}

class SideRecords {
public:
    // Never destroyed: sockets may still be closed by static objects at exit.
    static SideRecords& instance() {
        static SideRecords* records = new SideRecords;
        return *records;
    }

    // WSAEventSelect once per handle and event. Selecting again is left to Windows' own
    // re-enabling rules, except for unread data (see SideRecord): calling WSAEventSelect again
    // would also record FD_WRITE for a socket that can take data, which Windows reports only
    // after a send that would block.
    int select(EventDescriptors& event, SocketHandle h) {
        std::lock_guard<std::mutex> guard(mutex);
        SideRecord& r = table[h];
        if (r.selectedInto == &event) {
            if (unreadDataWaiting(h)) {
                r.unreadData = true;
                WSASetEvent(event.event);
            }
            return 0;
        }
        // FD_ACCEPT and FD_OOB are left out: the loop serves connected sockets only.
        if (WSAEventSelect(h, event.event, FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE) ==
            SOCKET_ERROR) {
            const int error = winsock::lastError();
            if (r.sendFailure == 0) {
                table.erase(h);
            }
            return error;
        }
        r.selectedInto = &event;
        return 0;
    }

    void reportSendFailure(SocketHandle h, int error) {
        std::lock_guard<std::mutex> guard(mutex);
        SideRecord& r = table[h];
        if (r.sendFailure == 0) {
            r.sendFailure = error;
        }
        if (r.selectedInto != nullptr) {
            WSASetEvent(r.selectedInto->event);
        }
    }

    // Adds what the side record holds for the handle to the events Windows recorded, and
    // clears it.
    void takeInto(SocketHandle h, NetworkEvents& events) {
        std::lock_guard<std::mutex> guard(mutex);
        auto it = table.find(h);
        if (it == table.end()) {
            return;
        }
        if (it->second.sendFailure != 0) {
            events.networkEvents |= kFdWrite;
            events.errorCode[kFdWriteBit] = it->second.sendFailure;
            it->second.sendFailure = 0;
        }
        if (it->second.unreadData) {
            events.networkEvents |= kFdRead;
            it->second.unreadData = false;
        }
        if (it->second.selectedInto == nullptr) {
            table.erase(it);
        }
    }

    void forget(SocketHandle h) {
        std::lock_guard<std::mutex> guard(mutex);
        table.erase(h);
    }

    // The event is closing: handles still selected into it are released from it, under the
    // lock, so that no sender sets a closed event.
    void release(EventDescriptors& event) {
        std::lock_guard<std::mutex> guard(mutex);
        for (auto it = table.begin(); it != table.end();) {
            if (it->second.selectedInto == &event) {
                WSAEventSelect(it->first, nullptr, 0);
                it->second.selectedInto = nullptr;
            }
            it = it->second.selectedInto == nullptr && it->second.sendFailure == 0 ? table.erase(it)
                                                                                   : std::next(it);
        }
        WSACloseEvent(event.event);
    }

private:
    SideRecords() = default;

    std::mutex mutex;
    std::unordered_map<SocketHandle, SideRecord> table;
};

}  // namespace

namespace winsock {

void forgetHandle(SocketHandle handle) {
    SideRecords::instance().forget(handle);
}

}  // namespace winsock

std::unique_ptr<NetworkEvent> NetworkEvent::create() {
    if (!winsock::ensureStarted()) {
        return nullptr;
    }
    const WSAEVENT event = WSACreateEvent();
    if (event == WSA_INVALID_EVENT) {
        return nullptr;
    }
    return std::unique_ptr<NetworkEvent>(
        new NetworkEvent(std::make_unique<EventDescriptors>(EventDescriptors{event})));
}

NetworkEvent::NetworkEvent(std::unique_ptr<EventDescriptors> descriptors)
    : descriptors(std::move(descriptors)) {}

NetworkEvent::~NetworkEvent() {
    SideRecords::instance().release(*descriptors);
}

void* NetworkEvent::nativeHandle() const {
    return descriptors->event;
}

int NetworkEvent::select(SocketHandle handle) {
    if (handle == kInvalidSocket) {
        return -kWsaENotSocket;
    }
    return SideRecords::instance().select(*descriptors, handle);
}

void NetworkEvent::reset() {
    WSAResetEvent(descriptors->event);
}

int enumNetworkEvents(SocketHandle handle, NetworkEvents& events) {
    events = NetworkEvents{};
    WSANETWORKEVENTS recorded{};
    if (WSAEnumNetworkEvents(handle, nullptr, &recorded) == SOCKET_ERROR) {
        return winsock::lastError();
    }
    constexpr uint32_t kReported = kFdRead | kFdWrite | kFdConnect | kFdClose;
    events.networkEvents = static_cast<uint32_t>(recorded.lNetworkEvents) & kReported;
    for (int bit = 0; bit < kFdMaxEvents; ++bit) {
        events.errorCode[bit] = recorded.iErrorCode[bit];
    }
    SideRecords::instance().takeInto(handle, events);
    return 0;
}

void reportSendFailure(SocketHandle handle, int error) {
    SideRecords::instance().reportSendFailure(handle, error);
}

LoopWaitResult waitForSignalOrNetwork(AutoResetEvent& signal, NetworkEvent* network,
                                      uint32_t timeoutMs) {
    const HANDLE handles[2] = {signal.nativeHandle(),
                               network != nullptr ? network->nativeHandle() : nullptr};
    // The first signalled entry in the array is the one reported: the signal wins.
    const DWORD count = network != nullptr ? 2 : 1;
    switch (WaitForMultipleObjects(count, handles, FALSE, timeoutMs)) {
        case WAIT_OBJECT_0:
            return LoopWaitResult::kSignal;
        case WAIT_OBJECT_0 + 1:
            return LoopWaitResult::kNetwork;
        case WAIT_TIMEOUT:
            return LoopWaitResult::kTimedOut;
        default:
            return LoopWaitResult::kFailed;
    }
}

}  // namespace platform
