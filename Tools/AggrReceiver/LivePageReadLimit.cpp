#include "Tools/AggrReceiver/LivePageReadLimit.h"

#include <sys/socket.h>
#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <optional>

namespace {

thread_local std::optional<std::size_t> readsLeft;

}  // namespace

namespace aggrreceiver {

void limitReadsOfThisThread(std::size_t bytes) {
    readsLeft = bytes;
}

}  // namespace aggrreceiver

// Takes the place of the C library's recv for the whole program (recvfrom without an address
// is the same call).
extern "C" ssize_t recv(int socket, void* buffer, std::size_t length, int flags) {
    if (readsLeft) {
        if (*readsLeft == 0) {
            errno = EMSGSIZE;
            return -1;
        }
        length = std::min(length, *readsLeft);
    }
    const ssize_t received = recvfrom(socket, buffer, length, flags, nullptr, nullptr);
    if (readsLeft && received > 0 && (flags & MSG_PEEK) == 0) {
        *readsLeft -= static_cast<std::size_t>(received);
    }
    return received;
}
