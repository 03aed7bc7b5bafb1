// The signals that control the program on Linux, in the console and under systemd alike:
// SIGINT and SIGTERM stop it, SIGHUP reloads it.
#pragma once

#include <csignal>

namespace platform {

inline sigset_t controlSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

}  // namespace platform
