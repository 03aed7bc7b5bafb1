#include "Platform/Clock.h"

#include <cstdio>

namespace platform {

std::string formatTime(int64_t unixSeconds, const char* format, TimeZone zone) {
    const std::tm parts = zone == TimeZone::kUtc ? utcParts(unixSeconds) : localParts(unixSeconds);
    char text[64];
    const size_t length = std::strftime(text, sizeof text, format, &parts);
    return std::string(text, length);
}

std::string utcTimeStamp() {
    const int64_t now = wallClockMs();
    char milliseconds[8];
    std::snprintf(milliseconds, sizeof milliseconds, ".%03dZ", static_cast<int>(now % 1000));
    return formatTime(now / 1000, "%Y-%m-%dT%H:%M:%S") + milliseconds;
}

}  // namespace platform
