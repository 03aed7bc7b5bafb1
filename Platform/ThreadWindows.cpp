#include <process.h>
#include <windows.h>

#include <cstring>
#include <string>

#include "Platform/Event.h"
#include "Platform/Thread.h"

namespace platform {

namespace {

unsigned __stdcall threadEntry(void* argument) {
    static_cast<std::function<void()>*>(argument)->operator()();
    return 0;
}

}  // namespace

std::unique_ptr<Thread> Thread::start(std::function<void()> body) {
    std::unique_ptr<Thread> t(new Thread());
    t->body_ = std::move(body);
    unsigned id = 0;
    // The body lives in the Thread object, which the destructor keeps until the thread has
    // ended. _beginthreadex writes the id before it returns.
    const uintptr_t handle = _beginthreadex(nullptr, 0, threadEntry, &t->body_, 0, &id);
    if (handle == 0) {
        return nullptr;
    }
    t->handle_ = reinterpret_cast<void*>(handle);
    t->id_ = id;
    return t;
}

Thread::~Thread() {
    WaitForSingleObject(handle_, INFINITE);
    CloseHandle(handle_);
}

bool Thread::waitFinished(uint32_t timeoutMs) {
    return WaitForSingleObject(handle_, timeoutMs) == WAIT_OBJECT_0;
}

void nameCurrentThread(const char* name) {
    // SetThreadDescription came with Windows 10 1607; older systems keep their threads unnamed.
    using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    const auto setDescription = reinterpret_cast<SetDescription>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
    if (setDescription == nullptr) {
        return;
    }
    const std::wstring wide(name, name + std::strlen(name));
    setDescription(GetCurrentThread(), wide.c_str());
}

}  // namespace platform
