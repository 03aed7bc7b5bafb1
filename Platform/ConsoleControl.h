// Console control: the stand-in for SetConsoleCtrlHandler.
//
// The first handler added starts a process-lived thread that waits for the signals a terminal
// sends and turns them into console control events: SIGINT is Ctrl+C, SIGTERM counts as
// Ctrl+Break, SIGHUP (the terminal went away) is the close event. Handlers run on that thread,
// never inside a signal handler, the most recently added first, until one returns true. When
// none handles an event the process ends by the signal's default action, as Windows' default
// handler ends the process.
//
// Requires: the first handler is added on the main thread before any other thread of the
// process exists (every thread must inherit the blocked signals).
#pragma once

#include <cstdint>

namespace platform {

constexpr uint32_t kCtrlCEvent = 0;
constexpr uint32_t kCtrlBreakEvent = 1;
constexpr uint32_t kCtrlCloseEvent = 2;

using ConsoleCtrlHandler = bool (*)(uint32_t ctrlType);

// Adds (add true) or removes a handler. Returns false with the last error set when the
// handler cannot be added (too many handlers, or the signal thread cannot start) or is not
// registered when removed.
bool setConsoleCtrlHandler(ConsoleCtrlHandler handler, bool add);

}  // namespace platform
