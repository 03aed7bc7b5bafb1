#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "Platform/NetworkEvent.h"
#include "Platform/PollDeadlineLinux.h"
#include "Platform/SocketRecordsLinux.h"

namespace platform {

struct EventDescriptors {
    const int epollFd;
    const int wakeFd;  // in the epoll set; written to set the event without a handle's readiness
    std::unordered_set<SocketHandle> members;  // handles ever selected; guarded by the records
};

namespace {

enum class Phase {
    kFresh,       // no connect under way, no connection: records nothing
    kConnecting,  // a non-blocking connect is under way: waits for its completion
    kConnected,   // a connection: reads, writes after a blocked send, the peer's close
    kFailed,      // the connect failed: records nothing more
    kEnded,       // the connection has ended: records nothing more
};

struct Record {
    Phase phase = Phase::kFresh;
    bool writeWanted = false;  // a send would block: FD_WRITE is due once space frees up
    uint32_t recorded = 0;
    int errorCode[kFdMaxEvents] = {};
    EventDescriptors* selectedInto = nullptr;
    uint32_t armed = 0;       // epoll interest registered in selectedInto; 0: not in its set
    bool armPending = false;  // armed and not yet reported (the one-shot is still enabled)

    // A kind already recorded with an error keeps that error until it is enumerated.
    void note(uint32_t kind, int bit, int error) {
        if (!(recorded & kind) || errorCode[bit] == 0) {
            errorCode[bit] = error;
        }
        recorded |= kind;
    }
};

int pendingSocketError(SocketHandle h) {
    int error = 0;
    socklen_t len = sizeof error;
    if (::getsockopt(h, SOL_SOCKET, SO_ERROR, &error, &len) < 0) {
        return errno;
    }
    return error;
}

bool unreadDataWaiting(SocketHandle h) {
    int bytes = 0;
    return ::ioctl(h, FIONREAD, &bytes) == 0 && bytes > 0;
}

}  // namespace

// Every handle's record, behind one lock. The table outlives every static object that might
// still close a socket at exit, so it is never destroyed.
class SocketRecords {
public:
    static SocketRecords& instance() {
        static SocketRecords* records = new SocketRecords;
        return *records;
    }

    void opened(SocketHandle h, bool connected) {
        std::lock_guard<std::mutex> guard(mutex);
        table[h] = Record{connected ? Phase::kConnected : Phase::kFresh};
    }

    void connectStarted(SocketHandle h) {
        std::lock_guard<std::mutex> guard(mutex);
        Record& r = table[h];
        r.phase = Phase::kConnecting;
        r.writeWanted = false;
        arm(h, r);
    }

    bool connectionMade(SocketHandle h) {
        std::lock_guard<std::mutex> guard(mutex);
        auto it = table.find(h);
        return it == table.end() || it->second.phase == Phase::kConnected ||
               it->second.phase == Phase::kEnded;
    }

    void sendBlocked(SocketHandle h) {
        std::lock_guard<std::mutex> guard(mutex);
        auto it = table.find(h);
        if (it == table.end()) {
            it = table.emplace(h, Record{Phase::kConnected}).first;
        }
        if (it->second.phase == Phase::kConnected) {
            it->second.writeWanted = true;
            arm(h, it->second);
        }
    }

    void reportSendFailure(SocketHandle h, int error) {
        std::lock_guard<std::mutex> guard(mutex);
        Record& r = table[h];
        r.note(kFdWrite, kFdWriteBit, error);
        if (r.selectedInto != nullptr) {
            const uint64_t one = 1;
            while (::write(r.selectedInto->wakeFd, &one, sizeof one) < 0 && errno == EINTR) {
            }
        }
    }

    void closing(SocketHandle h) {
        std::lock_guard<std::mutex> guard(mutex);
        auto it = table.find(h);
        if (it == table.end()) {
            return;
        }
        disarm(h, it->second);
        table.erase(it);
    }

    int select(EventDescriptors& event, SocketHandle h) {
        std::lock_guard<std::mutex> guard(mutex);
        auto it = table.find(h);
        if (it == table.end()) {
            // A handle made outside this layer: a connection if it has a peer.
            sockaddr_storage peer{};
            socklen_t len = sizeof peer;
            Phase phase = Phase::kConnected;
            if (::getpeername(h, reinterpret_cast<sockaddr*>(&peer), &len) < 0) {
                if (errno != ENOTCONN) {
                    return -winsockError(errno);
                }
                phase = Phase::kFresh;
            }
            it = table.emplace(h, Record{phase}).first;
        }
        Record& r = it->second;
        if (r.selectedInto != &event) {
            disarm(h, r);
            r.selectedInto = &event;
            event.members.insert(h);
        }
        return arm(h, r);
    }

    void recordReadiness(EventDescriptors& event, const epoll_event* ready, int count) {
        std::lock_guard<std::mutex> guard(mutex);
        for (int i = 0; i < count; ++i) {
            if (ready[i].data.fd == event.wakeFd) {
                uint64_t value;
                while (::read(event.wakeFd, &value, sizeof value) < 0 && errno == EINTR) {
                }
                continue;
            }
            auto it = table.find(ready[i].data.fd);
            if (it != table.end() && it->second.selectedInto == &event) {
                it->second.armPending = false;
                record(ready[i].data.fd, it->second, ready[i].events);
            }
        }
    }

    int enumerate(SocketHandle h, NetworkEvents& events) {
        std::lock_guard<std::mutex> guard(mutex);
        auto it = table.find(h);
        if (it == table.end()) {
            return ::fcntl(h, F_GETFD) < 0 ? -winsockError(errno) : 0;
        }
        Record& r = it->second;
        events.networkEvents = r.recorded;
        for (int bit = 0; bit < kFdMaxEvents; ++bit) {
            events.errorCode[bit] = r.errorCode[bit];
            r.errorCode[bit] = 0;
        }
        r.recorded = 0;
        return 0;
    }

    void release(EventDescriptors& event) {
        std::lock_guard<std::mutex> guard(mutex);
        for (SocketHandle h : event.members) {
            auto it = table.find(h);
            if (it != table.end() && it->second.selectedInto == &event) {
                disarm(h, it->second);
                it->second.selectedInto = nullptr;
            }
        }
        // Closed under the lock, so that no sender re-arms a handle into a closed descriptor.
        ::close(event.epollFd);
        ::close(event.wakeFd);
    }

private:
    SocketRecords() = default;

    static uint32_t interestOf(const Record& r) {
        if (r.selectedInto == nullptr) {
            return 0;
        }
        switch (r.phase) {
            case Phase::kConnecting:
                return EPOLLOUT;
            case Phase::kConnected:
                return EPOLLIN | EPOLLRDHUP | (r.writeWanted ? EPOLLOUT : 0u);
            default:
                return 0;
        }
    }

    // Brings the handle's registration in its event in line with its record. A registration is
    // one-shot: once the handle has reported, it stays silent until armed again.
    static int arm(SocketHandle h, Record& r) {
        const uint32_t interest = interestOf(r);
        if (interest == 0) {
            disarm(h, r);
            return 0;
        }
        if (r.armed == interest && r.armPending) {
            return 0;
        }
        epoll_event ev{};
        ev.events = interest | EPOLLONESHOT;
        ev.data.fd = h;
        const int epollFd = r.selectedInto->epollFd;
        int rc = ::epoll_ctl(epollFd, r.armed == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, h, &ev);
        if (rc < 0 && errno == EEXIST) {
            rc = ::epoll_ctl(epollFd, EPOLL_CTL_MOD, h, &ev);
        } else if (rc < 0 && errno == ENOENT) {
            rc = ::epoll_ctl(epollFd, EPOLL_CTL_ADD, h, &ev);
        }
        if (rc < 0) {
            r.armed = 0;
            r.armPending = false;
            return -winsockError(errno);
        }
        r.armed = interest;
        r.armPending = true;
        return 0;
    }

    static void disarm(SocketHandle h, Record& r) {
        if (r.armed != 0 && r.selectedInto != nullptr) {
            ::epoll_ctl(r.selectedInto->epollFd, EPOLL_CTL_DEL, h, nullptr);
        }
        r.armed = 0;
        r.armPending = false;
    }

    // Turns what epoll reported for a handle into the events Windows would have recorded.
    static void record(SocketHandle h, Record& r, uint32_t ready) {
        if (r.phase == Phase::kConnecting) {
            const int error = pendingSocketError(h);
            if (error != 0 || (ready & EPOLLOUT) == 0) {
                r.note(kFdConnect, kFdConnectBit, winsockError(error != 0 ? error : ENOTCONN));
                r.phase = Phase::kFailed;
                return;
            }
            r.note(kFdConnect, kFdConnectBit, 0);
            r.note(kFdWrite, kFdWriteBit, 0);
            r.phase = Phase::kConnected;
            ready &= ~static_cast<uint32_t>(EPOLLOUT);
        }
        if (r.phase != Phase::kConnected) {
            return;
        }
        if (ready & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
            int error = pendingSocketError(h);
            if (error == EPIPE) {
                error = 0;  // a reset after the peer's orderly close: the close came first
            } else if (error == 0 && (ready & EPOLLERR)) {
                error = ECONNRESET;  // the error was taken by a receive meanwhile
            }
            if (error == 0 && unreadDataWaiting(h)) {
                r.note(kFdRead, kFdReadBit, 0);
            }
            r.note(kFdClose, kFdCloseBit, error == 0 ? 0 : winsockError(error));
            r.phase = Phase::kEnded;
            r.writeWanted = false;
            return;
        }
        if (ready & EPOLLIN) {
            r.note(kFdRead, kFdReadBit, 0);
        }
        if ((ready & EPOLLOUT) && r.writeWanted) {
            r.note(kFdWrite, kFdWriteBit, 0);
            r.writeWanted = false;
        }
    }

    std::mutex mutex;
    std::unordered_map<SocketHandle, Record> table;
};

namespace records {

void opened(SocketHandle handle, bool connected) {
    SocketRecords::instance().opened(handle, connected);
}
void connectStarted(SocketHandle handle) {
    SocketRecords::instance().connectStarted(handle);
}
bool connectionMade(SocketHandle handle) {
    return SocketRecords::instance().connectionMade(handle);
}
void sendBlocked(SocketHandle handle) {
    SocketRecords::instance().sendBlocked(handle);
}
void closing(SocketHandle handle) {
    SocketRecords::instance().closing(handle);
}

}  // namespace records

std::unique_ptr<NetworkEvent> NetworkEvent::create() {
    const int epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    const int wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = wakeFd;
    if (epollFd < 0 || wakeFd < 0 || ::epoll_ctl(epollFd, EPOLL_CTL_ADD, wakeFd, &ev) < 0) {
        if (epollFd >= 0) {
            ::close(epollFd);
        }
        if (wakeFd >= 0) {
            ::close(wakeFd);
        }
        return nullptr;
    }
    return std::unique_ptr<NetworkEvent>(new NetworkEvent(
        std::make_unique<EventDescriptors>(EventDescriptors{epollFd, wakeFd, {}})));
}

NetworkEvent::NetworkEvent(std::unique_ptr<EventDescriptors> descriptors)
    : descriptors(std::move(descriptors)) {}

NetworkEvent::~NetworkEvent() {
    SocketRecords::instance().release(*descriptors);
}

int NetworkEvent::pollDescriptor() const {
    return descriptors->epollFd;
}

int NetworkEvent::select(SocketHandle handle) {
    if (handle < 0) {
        return -kWsaENotSocket;
    }
    return SocketRecords::instance().select(*descriptors, handle);
}

void NetworkEvent::reset() {
    constexpr int kBatch = 64;
    epoll_event ready[kBatch];
    for (;;) {
        const int n = ::epoll_wait(descriptors->epollFd, ready, kBatch, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        SocketRecords::instance().recordReadiness(*descriptors, ready, n);
        if (n < kBatch) {
            return;
        }
    }
}

int enumNetworkEvents(SocketHandle handle, NetworkEvents& events) {
    events = NetworkEvents{};
    if (handle < 0) {
        return -kWsaENotSocket;
    }
    const int result = SocketRecords::instance().enumerate(handle, events);
    if (result != 0) {
        events = NetworkEvents{};
    }
    return result;
}

void reportSendFailure(SocketHandle handle, int error) {
    SocketRecords::instance().reportSendFailure(handle, error);
}

LoopWaitResult waitForSignalOrNetwork(AutoResetEvent& signal, NetworkEvent* network,
                                      uint32_t timeoutMs) {
    pollfd entries[2] = {{signal.pollDescriptor(), POLLIN, 0},
                         {network != nullptr ? network->pollDescriptor() : -1, POLLIN, 0}};
    const nfds_t count = network != nullptr ? 2 : 1;
    const PollDeadline deadline(timeoutMs);
    for (;;) {
        const int n = ::poll(entries, count, deadline.remainingMs());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return LoopWaitResult::kFailed;
        }
        if (n == 0) {
            if (deadline.remainingMs() == 0) {
                return LoopWaitResult::kTimedOut;
            }
            // A time-out longer than one poll() can take: wait for the rest.
            continue;
        }
        if ((entries[0].revents & POLLIN) && signal.tryConsume()) {
            return LoopWaitResult::kSignal;
        }
        if (count == 2 && (entries[1].revents & POLLIN)) {
            return LoopWaitResult::kNetwork;
        }
        if ((entries[0].revents | entries[1].revents) & (POLLERR | POLLNVAL)) {
            return LoopWaitResult::kFailed;
        }
        // Another waiter took the signal first: wait again.
    }
}

}  // namespace platform
