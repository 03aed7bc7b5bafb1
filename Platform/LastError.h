// Last error: the stand-in for GetLastError, SetLastError and FormatMessageA.
//
// Each thread has its own last-error number. The stand-ins set it when a call fails: either an
// errno value saved right after the failing system call, or one of the Windows error numbers
// below, which a stand-in reports where Windows would report that condition (all of them lie
// above every errno value). Callable from any thread.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorInsufficientBuffer = 122;
constexpr uint32_t kErrorInvalidName = 123;
constexpr uint32_t kErrorInvalidServiceAccount = 1057;
constexpr uint32_t kErrorServiceDoesNotExist = 1060;
constexpr uint32_t kErrorServiceCannotAcceptCtrl = 1061;
constexpr uint32_t kErrorServiceNotActive = 1062;
constexpr uint32_t kErrorFailedServiceControllerConnect = 1063;
constexpr uint32_t kErrorServiceExists = 1073;
constexpr uint32_t kErrorServiceNotInExe = 1083;
constexpr uint32_t kRpcServerUnavailable = 1722;

// The calling thread's last-error number.
uint32_t lastError();
void setLastError(uint32_t error);

// The system's message text for an error number, ending in "\r\n" as FormatMessageA's texts do;
// empty when the number has no text.
std::string formatMessage(uint32_t error);

}  // namespace platform
