// ChildProcess on Windows: CreateProcessW with inherited handles for the standard streams, an
// anonymous pipe read through PeekNamedPipe (it has no waitable read), a job object for the
// group, TerminateProcess to end the child.
#include <windows.h>

#include <algorithm>
#include <csignal>
#include <cwctype>
#include <stdexcept>
#include <string>
#include <thread>

#include "Tests/ChildProcess.h"

struct ChildProcess::Native {
    HANDLE process = nullptr;
    HANDLE outputPipe = nullptr;
    HANDLE inputPipe = nullptr;
    HANDLE job = nullptr;

    // The pipes' ends of the test, also when the child could not be started.
    ~Native() {
        for (const HANDLE end : {outputPipe, inputPipe}) {
            if (end != nullptr) {
                CloseHandle(end);
            }
        }
    }
};

namespace {

// How long a wait for the pipe sleeps before it looks again.
constexpr ChildProcess::Milliseconds kPipePollInterval(5);

std::wstring wide(const std::string& text) {
    if (text.empty()) {
        return {};
    }
    const int length =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(),
                        length);
    return result;
}

std::string lastError(const std::string& what) {
    return what + ": error " + std::to_string(GetLastError());
}

// One argument as the C runtime's command-line parser reads it back: quoted when it is empty or
// holds a blank or a quote; backslashes doubled where they come before a quote.
void appendQuoted(std::wstring& commandLine, const std::wstring& argument) {
    if (!commandLine.empty()) {
        commandLine += L' ';
    }
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        commandLine += argument;
        return;
    }
    commandLine += L'"';
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') {
            commandLine.append(backslashes * 2 + 1, L'\\');
        } else {
            commandLine.append(backslashes, L'\\');
        }
        backslashes = 0;
        commandLine += c;
    }
    commandLine.append(backslashes * 2, L'\\');
    commandLine += L'"';
}

// The test's environment with the added "NAME=value" entries in place of those it had and
// without the inherited ones whose names begin with a left-out prefix (names compared without
// case, as Windows does), as the block CreateProcessW takes.
std::wstring environmentBlock(const std::vector<std::string>& added,
                              const std::vector<std::string>& leftOut) {
    std::vector<std::wstring> entries;
    for (const std::string& entry : added) {
        entries.push_back(wide(entry));
    }
    const auto nameOf = [](const std::wstring& entry) {
        // Entries such as "=C:=C:\dir" begin with their '='.
        std::wstring name = entry.substr(0, entry.find(L'=', 1));
        std::transform(name.begin(), name.end(), name.begin(),
                       [](wchar_t c) { return static_cast<wchar_t>(std::towupper(c)); });
        return name;
    };
    std::vector<std::wstring> addedNames;
    for (const std::wstring& entry : entries) {
        addedNames.push_back(nameOf(entry));
    }
    std::vector<std::wstring> leftOutPrefixes;
    for (const std::string& prefix : leftOut) {
        leftOutPrefixes.push_back(nameOf(wide(prefix)));
    }
    const auto kept = [&](const std::wstring& name) {
        return std::find(addedNames.begin(), addedNames.end(), name) == addedNames.end() &&
               std::none_of(leftOutPrefixes.begin(), leftOutPrefixes.end(),
                            [&](const std::wstring& prefix) { return name.rfind(prefix, 0) == 0; });
    };
    wchar_t* inherited = GetEnvironmentStringsW();
    for (const wchar_t* entry = inherited; *entry != L'\0'; entry += wcslen(entry) + 1) {
        if (kept(nameOf(entry))) {
            entries.emplace_back(entry);
        }
    }
    FreeEnvironmentStringsW(inherited);
    std::sort(entries.begin(), entries.end(),
              [&](const std::wstring& a, const std::wstring& b) { return nameOf(a) < nameOf(b); });
    std::wstring block;
    for (const std::wstring& entry : entries) {
        block += entry;
        block += L'\0';
    }
    block += L'\0';
    return block;
}

HANDLE inheritableFile(const std::wstring& path, DWORD access, DWORD disposition) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       &inherit, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const Options& options)
    : options_(options), native_(std::make_unique<Native>()), logOffset_(logStart(options)) {
    HANDLE input = nullptr;
    if (options.inputPipe) {
        SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        if (!CreatePipe(&input, &native_->inputPipe, &inherit, 0)) {
            throw std::runtime_error(lastError("CreatePipe"));
        }
        SetHandleInformation(native_->inputPipe, HANDLE_FLAG_INHERIT, 0);
    } else {
        input = inheritableFile(L"NUL", GENERIC_READ, OPEN_EXISTING);
        if (input == INVALID_HANDLE_VALUE) {
            throw std::runtime_error(lastError("cannot open NUL"));
        }
    }
    HANDLE output = nullptr;
    if (options.logFile.empty()) {
        SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        if (!CreatePipe(&native_->outputPipe, &output, &inherit, 0)) {
            CloseHandle(input);
            throw std::runtime_error(lastError("CreatePipe"));
        }
        // Only the child's end is inherited.
        SetHandleInformation(native_->outputPipe, HANDLE_FLAG_INHERIT, 0);
    } else {
        output = options.appendToLog
                     ? inheritableFile(options.logFile.wstring(), FILE_APPEND_DATA, OPEN_ALWAYS)
                     : inheritableFile(options.logFile.wstring(), GENERIC_WRITE, CREATE_ALWAYS);
        if (output == INVALID_HANDLE_VALUE) {
            CloseHandle(input);
            throw std::runtime_error(lastError("cannot create " + options.logFile.string()));
        }
    }

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = output;
    startup.hStdError = output;
    std::wstring commandLine;
    appendQuoted(commandLine, wide(program));
    for (const std::string& argument : arguments) {
        appendQuoted(commandLine, wide(argument));
    }
    std::wstring environment = environmentBlock(options.environment, options.withoutInherited);
    // A child of a group starts suspended, so that it is in its job before it can start others.
    DWORD flags = CREATE_UNICODE_ENVIRONMENT;
    if (options.ownProcessGroup) {
        flags |= CREATE_SUSPENDED | CREATE_NEW_PROCESS_GROUP;
    }
    PROCESS_INFORMATION started{};
    const BOOL created = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, flags,
                                        environment.data(), nullptr, &startup, &started);
    const DWORD error = GetLastError();
    CloseHandle(input);
    CloseHandle(output);
    if (!created) {
        throw std::runtime_error("cannot start " + program + ": error " + std::to_string(error));
    }
    native_->process = started.hProcess;
    pid_ = started.dwProcessId;
    if (options.ownProcessGroup) {
        native_->job = CreateJobObjectW(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (native_->job == nullptr ||
            !SetInformationJobObject(native_->job, JobObjectExtendedLimitInformation, &limits,
                                     sizeof limits) ||
            !AssignProcessToJobObject(native_->job, native_->process)) {
            const std::string failure = lastError("cannot put " + program + " in a job");
            TerminateProcess(native_->process, 1);
            CloseHandle(started.hThread);
            throw std::runtime_error(failure);
        }
        ResumeThread(started.hThread);
    }
    CloseHandle(started.hThread);
}

ChildProcess::~ChildProcess() {
    if (native_->process != nullptr) {
        if (!exitStatus_) {
            TerminateProcess(native_->process, 1);
            WaitForSingleObject(native_->process, INFINITE);
        }
        CloseHandle(native_->process);
    }
    if (native_->job != nullptr) {
        // Ends what the child left running in its group.
        CloseHandle(native_->job);
    }
}

bool ChildProcess::writeInput(std::string_view text) {
    while (!text.empty() && native_->inputPipe != nullptr) {
        DWORD written = 0;
        if (!WriteFile(native_->inputPipe, text.data(), static_cast<DWORD>(text.size()), &written,
                       nullptr)) {
            return false;
        }
        text.remove_prefix(written);
    }
    return text.empty();
}

bool ChildProcess::readPipe(Milliseconds timeout) {
    if (native_->outputPipe == nullptr) {
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(native_->outputPipe, nullptr, 0, nullptr, &available, nullptr)) {
            // ERROR_BROKEN_PIPE: every writer has closed its end and nothing is left.
            CloseHandle(native_->outputPipe);
            native_->outputPipe = nullptr;
            pipeEnded();
            return false;
        }
        if (available > 0) {
            char chunk[4096];
            DWORD count = 0;
            if (ReadFile(native_->outputPipe, chunk,
                         std::min<DWORD>(available, static_cast<DWORD>(sizeof chunk)), &count,
                         nullptr)) {
                takeIn(chunk, count);
            }
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return true;
        }
        std::this_thread::sleep_for(kPipePollInterval);
    }
}

void ChildProcess::drainPipe() {
    DWORD available = 0;
    while (native_->outputPipe != nullptr &&
           (!PeekNamedPipe(native_->outputPipe, nullptr, 0, nullptr, &available, nullptr) ||
            available > 0)) {
        readPipe(Milliseconds(0));
    }
}

void ChildProcess::sendSignal(int signalNumber) {
    if (signalNumber != SIGTERM) {
        throw std::invalid_argument("signal " + std::to_string(signalNumber) +
                                    " cannot be sent to a Windows process");
    }
    if (native_->process != nullptr && !exitStatus_) {
        TerminateProcess(native_->process, static_cast<UINT>(128 + SIGTERM));
    }
}

bool ChildProcess::running() {
    if (exitStatus_) {
        return false;
    }
    if (WaitForSingleObject(native_->process, 0) != WAIT_OBJECT_0) {
        return true;
    }
    DWORD code = 0;
    GetExitCodeProcess(native_->process, &code);
    exitStatus_ = static_cast<int>(code);
    return false;
}

bool ChildProcess::groupAlive() const {
    if (native_->job == nullptr) {
        return WaitForSingleObject(native_->process, 0) == WAIT_TIMEOUT;
    }
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
    if (!QueryInformationJobObject(native_->job, JobObjectBasicAccountingInformation, &accounting,
                                   sizeof accounting, nullptr)) {
        return true;
    }
    return accounting.ActiveProcesses > 0;
}
