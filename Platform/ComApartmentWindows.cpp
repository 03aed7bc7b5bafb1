// The apartment's thread waits on its wake event and on its message queue at once
// (MsgWaitForMultipleObjectsEx) and dispatches every message that arrives, so that a component
// living in a single-threaded apartment gets its window messages, COM's own included.
#include "Platform/ComApartment.h"

#include <windows.h>
// After windows.h, which it needs.
#include <objbase.h>

namespace platform {

bool ComApartment::enter(Model model) {
    wakeEvent_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (wakeEvent_ == nullptr) {
        return false;
    }
    // Makes the thread's message queue before anyone posts to it.
    MSG message;
    PeekMessageW(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    const DWORD mode =
        model == Model::kSingleThreaded ? COINIT_APARTMENTTHREADED : COINIT_MULTITHREADED;
    return CoInitializeEx(nullptr, mode) >= 0;
}

void ComApartment::leave() {
    CoUninitialize();
}

// Dispatches one message at a time and returns as soon as work is handed in, so that a component
// that keeps posting cannot hold a call of the service's (its Disconnect, say) back for good.
void ComApartment::waitForWork() {
    HANDLE wake = wakeEvent_;
    MsgWaitForMultipleObjectsEx(1, &wake, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    MSG message;
    while (!workHandedIn() && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

void ComApartment::wake() {
    if (wakeEvent_ != nullptr) {
        SetEvent(wakeEvent_);
    }
}

void ComApartment::closeWake() {
    if (wakeEvent_ != nullptr) {
        CloseHandle(wakeEvent_);
    }
}

}  // namespace platform
