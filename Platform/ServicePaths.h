// ServicePaths: where the running service keeps what it writes for others to read.
//
// Stateless; callable from any thread.
#pragma once

#include <string>

namespace platform {

// The directory of the service's status files when nothing names another: on Linux systemd's
// runtime directory of the unit, /run/kriatmnsvc; on Windows, which has no runtime directories,
// "KriAtmnSvc\status" below %ProgramData%, beside the configuration, whose access control
// (SYSTEM and Administrators) it inherits.
std::string defaultStatusDirectory();

}  // namespace platform
