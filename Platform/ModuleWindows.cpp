#include "Platform/Module.h"

#include <windows.h>

namespace platform {

size_t moduleFileName(char* buffer, size_t size) {
    if (size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    const DWORD capacity = size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
    const DWORD length = GetModuleFileNameA(nullptr, buffer, capacity);
    if (length == 0) {
        return 0;
    }
    // A path that does not fit comes back cut to the buffer; Windows XP does not even set the
    // error then.
    if (length >= capacity) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    return length;
}

}  // namespace platform
