// The event "<name>" is the kernel event "Global\<name>": a service's kernel object names live in
// the global namespace, where a console program of another session finds them too. The creator
// gives it a security descriptor that lets only SYSTEM and Administrators open it, so nobody
// else can set it (and stop the service) or wait on it (and take the signal). An event of that
// name that exists already is refused: another instance runs, or another process made it first,
// possibly with a security descriptor of its own. The event goes away with its last handle.
//
// The members keep the event's handle in semaphore_; lockFd_ is unused (-1).
#include "Platform/NamedEvent.h"

#include <windows.h>
// After windows.h, which sddl.h needs.
#include <sddl.h>

#include <cstdio>

#include "Platform/LastError.h"
#include "Platform/WaitWindows.h"

namespace platform {

namespace {

// Protected from inheritance; full access for SYSTEM and the Administrators group only.
constexpr const char* kStopEventSecurity = "D:P(A;;GA;;;SY)(A;;GA;;;BA)";

bool nameAllowed(const std::string& name) {
    return !name.empty() && name.size() <= 250 && name.find_first_of("\\/") == std::string::npos;
}

std::string globalName(const std::string& name) {
    return "Global\\" + name;
}

std::string errorText(DWORD error) {
    std::string text = formatMessage(error);
    text.erase(text.find_last_not_of("\r\n") + 1);
    char number[16];
    std::snprintf(number, sizeof number, " (0x%lx)", error);
    return text + number;
}

}  // namespace

std::unique_ptr<NamedEvent> NamedEvent::create(const std::string& name, std::string* refusal) {
    std::string why;
    HANDLE event = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!nameAllowed(name)) {
        why = "the name \"" + name + "\" is not allowed";
    } else if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(
                   kStopEventSecurity, SDDL_REVISION_1, &descriptor, nullptr)) {
        why = "cannot make the security descriptor of " + globalName(name) + ": " +
              errorText(GetLastError());
    } else {
        SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
        event = CreateEventA(&attributes, FALSE, FALSE, globalName(name).c_str());
        const DWORD error = GetLastError();
        LocalFree(descriptor);
        if (event == nullptr) {
            why = "cannot create " + globalName(name) + ": " + errorText(error);
        } else if (error == ERROR_ALREADY_EXISTS) {
            CloseHandle(event);
            event = nullptr;
            why = globalName(name) +
                  " exists already: another instance runs, or another process made it";
        }
    }
    if (event == nullptr) {
        if (refusal != nullptr) {
            *refusal = why;
        }
        return nullptr;
    }
    return std::unique_ptr<NamedEvent>(new NamedEvent(name, event, -1));
}

std::unique_ptr<NamedEvent> NamedEvent::open(const std::string& name) {
    if (!nameAllowed(name)) {
        return nullptr;
    }
    HANDLE event = OpenEventA(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, globalName(name).c_str());
    if (event == nullptr) {
        return nullptr;
    }
    return std::unique_ptr<NamedEvent>(new NamedEvent(name, event, -1));
}

NamedEvent::~NamedEvent() {
    CloseHandle(static_cast<HANDLE>(semaphore_));
}

bool NamedEvent::set() {
    return SetEvent(static_cast<HANDLE>(semaphore_)) != FALSE;
}

NamedEvent::WaitResult NamedEvent::wait(uint32_t timeoutMs) {
    return detail::waitForHandle(static_cast<HANDLE>(semaphore_), timeoutMs);
}

}  // namespace platform
