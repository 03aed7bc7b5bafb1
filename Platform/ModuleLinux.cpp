#include <unistd.h>

#include <cerrno>

#include "Platform/LastError.h"
#include "Platform/Module.h"

namespace platform {

size_t moduleFileName(char* buffer, size_t size) {
    if (size == 0) {
        setLastError(kErrorInsufficientBuffer);
        return 0;
    }
    const ssize_t n = readlink("/proc/self/exe", buffer, size);
    if (n < 0) {
        setLastError(static_cast<uint32_t>(errno));
        return 0;
    }
    if (static_cast<size_t>(n) >= size) {
        setLastError(kErrorInsufficientBuffer);
        return 0;
    }
    buffer[n] = '\0';
    return static_cast<size_t>(n);
}

}  // namespace platform
