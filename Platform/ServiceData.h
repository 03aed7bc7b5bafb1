// ServiceData: the folder that holds the service's configuration, spool and status on a machine
// where the installer made them, and the access control that keeps them to administrators.
//
// Stateless; callable from any thread.
#pragma once

#include <string>

namespace platform {

// On Windows "KriAtmnSvc" below %ProgramData% (C:\ProgramData when the variable is unset); on
// Linux, where the package keeps these in /etc and /var, /var/lib/kriatmnsvc.
std::string serviceDataDirectory();

// Makes the directory (its parent must exist) or takes the one that is there (not a link or
// junction), makes Administrators its owner and gives it an access control list of its own that
// only SYSTEM and Administrators may use, inherited by everything in it; any other entries, own
// or inherited, are dropped. The Linux stand-in: mode 0700, owner unchanged. Empty on success,
// otherwise what failed.
std::string makeProtectedDirectory(const std::string& path);

}  // namespace platform
