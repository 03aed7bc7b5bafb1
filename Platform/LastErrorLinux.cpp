#include <cstring>

#include "Platform/LastError.h"

namespace platform {

namespace {

thread_local uint32_t threadLastError = 0;

// The texts Windows gives the error numbers that the stand-ins report themselves.
struct WindowsMessage {
    uint32_t error;
    const char* text;
};

constexpr WindowsMessage kWindowsMessages[] = {
    {kErrorInvalidHandle, "The handle is invalid."},
    {kErrorInvalidParameter, "The parameter is incorrect."},
    {kErrorInsufficientBuffer, "The data area passed to a system call is too small."},
    {kErrorInvalidName, "The filename, directory name, or volume label syntax is incorrect."},
    {kErrorInvalidServiceAccount,
     "The account name is invalid or does not exist, or the password is invalid for the account "
     "name specified."},
    {kErrorServiceDoesNotExist, "The specified service does not exist as an installed service."},
    {kErrorServiceCannotAcceptCtrl, "The service cannot accept control messages at this time."},
    {kErrorServiceNotActive, "The service has not been started."},
    {kErrorFailedServiceControllerConnect,
     "The service process could not connect to the service controller."},
    {kErrorServiceExists, "The specified service already exists."},
    {kErrorServiceNotInExe,
     "The executable program that this service is configured to run in does not implement the "
     "service."},
    {kRpcServerUnavailable, "The RPC server is unavailable."},
};

// Every errno value is far below the Windows service error numbers.
constexpr uint32_t kFirstWindowsOnlyError = 1000;

}  // namespace

uint32_t lastError() {
    return threadLastError;
}

void setLastError(uint32_t error) {
    threadLastError = error;
}

std::string formatMessage(uint32_t error) {
    for (const WindowsMessage& m : kWindowsMessages) {
        if (m.error == error) {
            return std::string(m.text) + "\r\n";
        }
    }
    if (error >= kFirstWindowsOnlyError) {
        return std::string();
    }
    char buffer[256];
    // The GNU strerror_r returns its text, which need not be in buffer.
    const char* text = strerror_r(static_cast<int>(error), buffer, sizeof buffer);
    return std::string(text) + "\r\n";
}

}  // namespace platform
