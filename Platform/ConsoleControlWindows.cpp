#include <windows.h>

#include "Platform/ConsoleControl.h"
#include "Platform/ConsoleEvents.h"

namespace platform {

namespace {

// Windows calls this on a thread it starts for the event. The handlers stay behind this one
// routine because Windows calls a routine of its own calling convention and our handlers have
// the plain one.
BOOL WINAPI consoleRoutine(DWORD ctrlType) {
    return detail::dispatchConsoleEvent(ctrlType) ? TRUE : FALSE;
}

}  // namespace

bool detail::startConsoleEvents() {
    return SetConsoleCtrlHandler(consoleRoutine, TRUE) != FALSE;
}

}  // namespace platform
