// ServiceStatus: the SERVICE_STATUS record and the service constants that the service host and
// the service-manager stand-ins share.
//
// A plain value; whoever holds one owns it.
#pragma once

#include <cstdint>

namespace platform {

constexpr uint32_t kServiceWin32OwnProcess = 0x10;

constexpr uint32_t kServiceStopped = 1;
constexpr uint32_t kServiceStartPending = 2;
constexpr uint32_t kServiceStopPending = 3;
constexpr uint32_t kServiceRunning = 4;

constexpr uint32_t kServiceControlStop = 1;
constexpr uint32_t kServiceControlParamChange = 6;
constexpr uint32_t kServiceAcceptStop = 1;
constexpr uint32_t kServiceAcceptParamChange = 8;

constexpr uint32_t kServiceAutoStart = 2;
constexpr uint32_t kServiceDemandStart = 3;
constexpr uint32_t kServiceErrorNormal = 1;

struct ServiceStatus {
    uint32_t serviceType = 0;
    uint32_t currentState = 0;
    uint32_t controlsAccepted = 0;
    uint32_t win32ExitCode = 0;
    uint32_t serviceSpecificExitCode = 0;
    uint32_t checkPoint = 0;
    uint32_t waitHint = 0;
};

}  // namespace platform
