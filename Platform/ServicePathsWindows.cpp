#include "Platform/ServicePaths.h"

#include <windows.h>

namespace platform {

std::string defaultStatusDirectory() {
    char programData[MAX_PATH];
    const DWORD length = GetEnvironmentVariableA("ProgramData", programData, sizeof programData);
    const std::string base =
        length > 0 && length < sizeof programData ? programData : "C:\\ProgramData";
    return base + "\\KriAtmnSvc\\status";
}

}  // namespace platform
