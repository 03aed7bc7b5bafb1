// The application's status codes and event-log codes, defined once for the link to the
// aggregation server and for the automation binding.
//
// Constants only. Results are in the Windows status-code layout: two severity bits on top,
// facility 0xE00 in bits 16 to 27, the code in the low 16 bits. Results the automation component
// returns are tested only for sign.
#pragma once

#include <cstdint>

inline constexpr int32_t kAtmnOk = 0x0E000000;
inline constexpr int32_t kAtmnNotSupported = static_cast<int32_t>(0x8E000D00u);
inline constexpr int32_t kAtmnSslContextFailed = static_cast<int32_t>(0xCE000D01u);

// Event-log codes of the application.
inline constexpr uint32_t kAtmnEventSslContext = 0xCE000D01u;
inline constexpr uint32_t kAtmnEventConfiguration = 0xCE000D02u;
inline constexpr uint32_t kAtmnEventNoComponent = 0xCE000D03u;
// A warning about the link's security: a key file others can read, a certificate that expires
// soon, a server name that is not checked.
inline constexpr uint32_t kAtmnEventSslWarning = 0x8E000D01u;
