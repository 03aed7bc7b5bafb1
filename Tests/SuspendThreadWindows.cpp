// KriSuspendThread <program file name> <thread name>: suspends, in every running process of that
// program, the threads that carry that name (platform::nameCurrentThread), as a debugger would,
// so that a test can stall one thread of a running service. Exits 0 when it suspended at least
// one thread, 1 when it found none, 2 for a bad command line.
#include <windows.h>

#include <tlhelp32.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::vector<DWORD> processesOf(const char* program) {
    std::vector<DWORD> ids;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more;
         more = Process32Next(snapshot, &entry)) {
        if (_stricmp(entry.szExeFile, program) == 0) {
            ids.push_back(entry.th32ProcessID);
        }
    }
    CloseHandle(snapshot);
    return ids;
}

std::wstring descriptionOf(HANDLE thread) {
    using GetDescription = HRESULT(WINAPI*)(HANDLE, PWSTR*);
    static const auto getDescription = reinterpret_cast<GetDescription>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetThreadDescription")));
    PWSTR text = nullptr;
    if (getDescription == nullptr || FAILED(getDescription(thread, &text))) {
        return {};
    }
    std::wstring description(text);
    LocalFree(text);
    return description;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <program file name> <thread name>\n", argv[0]);
        return 2;
    }
    const std::string name(argv[2]);
    const std::wstring wanted(name.begin(), name.end());
    int suspended = 0;
    for (const DWORD process : processesOf(argv[1])) {
        const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
        THREADENTRY32 entry{};
        entry.dwSize = sizeof entry;
        for (BOOL more = Thread32First(snapshot, &entry); more;
             more = Thread32Next(snapshot, &entry)) {
            if (entry.th32OwnerProcessID != process) {
                continue;
            }
            const HANDLE thread =
                OpenThread(THREAD_SUSPEND_RESUME | THREAD_QUERY_LIMITED_INFORMATION, FALSE,
                           entry.th32ThreadID);
            if (thread == nullptr) {
                continue;
            }
            if (descriptionOf(thread) == wanted &&
                SuspendThread(thread) != static_cast<DWORD>(-1)) {
                std::printf("suspended thread %lu of process %lu\n", entry.th32ThreadID, process);
                ++suspended;
            }
            CloseHandle(thread);
        }
        CloseHandle(snapshot);
    }
    if (suspended == 0) {
        std::fprintf(stderr, "%s: no thread named %s in %s\n", argv[0], argv[2], argv[1]);
        return 1;
    }
    return 0;
}
