#include "Platform/LastError.h"

#include <windows.h>

namespace platform {

uint32_t lastError() {
    return GetLastError();
}

void setLastError(uint32_t error) {
    SetLastError(error);
}

std::string formatMessage(uint32_t error) {
    char* text = nullptr;
    // With FORMAT_MESSAGE_ALLOCATE_BUFFER the buffer argument receives the allocated text.
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
        reinterpret_cast<char*>(&text), 0, nullptr);
    if (length == 0 || text == nullptr) {
        return std::string();
    }
    std::string message(text, length);
    LocalFree(text);
    return message;
}

}  // namespace platform
