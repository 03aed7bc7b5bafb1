#include <cerrno>

#include "Platform/Socket.h"
#include "Platform/SocketErrors.h"

namespace platform {

namespace detail {

std::span<const SocketErrorMapping> sharedSocketErrors() {
    static constexpr SocketErrorMapping kErrors[] = {
        {EWOULDBLOCK, 10035, "Resource temporarily unavailable"},
        {EAGAIN, 10035, "Resource temporarily unavailable"},
        {EINPROGRESS, 10035, "Operation now in progress"},
        {EINTR, 10004, "Interrupted system call"},
        {EBADF, 10038, "Bad file descriptor"},
        {ENOTSOCK, 10038, "Socket operation on non-socket"},
        {EACCES, 10013, "Permission denied"},
        {EFAULT, 10014, "Bad address"},
        {EINVAL, 10022, "Invalid argument"},
        {EMFILE, 10024, "Too many open files"},
        {ENFILE, 10024, "Too many open files in system"},
        {EALREADY, 10037, "Operation already in progress"},
        {EDESTADDRREQ, 10039, "Destination address required"},
        {EMSGSIZE, 10040, "Message too long"},
        {EPROTOTYPE, 10041, "Protocol wrong type for socket"},
        {ENOPROTOOPT, 10042, "Protocol not available"},
        {EPROTONOSUPPORT, 10043, "Protocol not supported"},
        {EOPNOTSUPP, 10045, "Operation not supported"},
        {EAFNOSUPPORT, 10047, "Address family not supported by protocol"},
        {EADDRINUSE, 10048, "Address already in use"},
        {EADDRNOTAVAIL, 10049, "Cannot assign requested address"},
        {ENETDOWN, 10050, "Network is down"},
        {ENETUNREACH, 10051, "Network is unreachable"},
        {ENETRESET, 10052, "Network dropped connection on reset"},
        {ECONNABORTED, 10053, "Software caused connection abort"},
        {ECONNRESET, 10054, "Connection reset by peer"},
        {ENOBUFS, 10055, "No buffer space available"},
        {ENOMEM, 10055, "Cannot allocate memory"},
        {EISCONN, 10056, "Transport endpoint is already connected"},
        {ENOTCONN, 10057, "Transport endpoint is not connected"},
        {EPIPE, 10058, "Broken pipe"},
        {ETIMEDOUT, 10060, "Connection timed out"},
        {ECONNREFUSED, 10061, "Connection refused"},
        {EHOSTUNREACH, 10065, "No route to host"},
    };
    return kErrors;
}

}  // namespace detail

int winsockError(int errnoValue) {
    for (const auto errors : {detail::sharedSocketErrors(), detail::systemSocketErrors()}) {
        for (const detail::SocketErrorMapping& m : errors) {
            if (m.errnoValue != 0 && m.errnoValue == errnoValue) {
                return m.winsockNumber;
            }
        }
    }
    return kWsaSysCallFailure;
}

const char* winsockErrorText(int wsaError) {
    for (const auto errors : {detail::sharedSocketErrors(), detail::systemSocketErrors()}) {
        for (const detail::SocketErrorMapping& m : errors) {
            if (m.winsockNumber == wsaError) {
                return m.text;
            }
        }
    }
    return "socket error";
}

}  // namespace platform
