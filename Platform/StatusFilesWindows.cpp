// The status files on Windows. Paths are UTF-8 and reach Windows as UTF-16. The mode is not
// applied: a new file takes the ACL its directory passes on. A file is replaced by writing a new
// one under a name made afresh (CREATE_NEW, so never an existing file or link) and moving it over
// the old one; a reader opens the file itself, never a reparse point, and only a disk file.
#include "Platform/StatusFiles.h"

#include <windows.h>

#include <random>

namespace platform {
namespace {

std::wstring wide(const std::string& text) {
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    std::wstring converted(size > 0 ? static_cast<size_t>(size) : 1, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, converted.data(), size);
    converted.resize(converted.size() - 1);
    return converted;
}

std::string errorText(DWORD error) {
    char text[256] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                   text, sizeof text, nullptr);
    std::string message = text;
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
        message.pop_back();
    }
    return message;
}

}  // namespace

std::string replaceFile(const std::string& path, const std::string& text, uint32_t) {
    std::random_device random;
    HANDLE file = INVALID_HANDLE_VALUE;
    std::string temporary;
    for (int attempt = 0; attempt < 16 && file == INVALID_HANDLE_VALUE; ++attempt) {
        temporary = path + "." + std::to_string(random()) + ".new";
        file = CreateFileW(wide(temporary).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) {
            return "cannot create a file beside " + path + ": " + errorText(GetLastError());
        }
    }
    if (file == INVALID_HANDLE_VALUE) {
        return "cannot create a file beside " + path + ": " + errorText(GetLastError());
    }
    DWORD written = 0;
    const bool wrote =
        WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) != FALSE &&
        written == text.size();
    const DWORD writeError = GetLastError();
    CloseHandle(file);
    std::string failure;
    if (!wrote) {
        failure = "cannot write " + temporary + ": " + errorText(writeError);
    } else if (MoveFileExW(wide(temporary).c_str(), wide(path).c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == FALSE) {
        failure = "cannot rename " + temporary + " to " + path + ": " + errorText(GetLastError());
    }
    if (!failure.empty()) {
        DeleteFileW(wide(temporary).c_str());
    }
    return failure;
}

FileRead readRegularFile(const std::string& path, size_t maxBytes) {
    FileRead result;
    const HANDLE file = CreateFileW(wide(path).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        result.missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
        result.reason = path + ": " + errorText(error);
        return result;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(file) != FILE_TYPE_DISK || GetFileInformationByHandle(file, &info) == FALSE ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        result.reason = path + " is not a regular file";
        CloseHandle(file);
        return result;
    }
    std::string text(maxBytes, '\0');
    size_t done = 0;
    while (done < maxBytes) {
        DWORD read = 0;
        if (::ReadFile(file, text.data() + done, static_cast<DWORD>(maxBytes - done), &read,
                       nullptr) == FALSE) {
            result.reason = path + ": " + errorText(GetLastError());
            CloseHandle(file);
            return result;
        }
        if (read == 0) {
            break;
        }
        done += read;
    }
    CloseHandle(file);
    text.resize(done);
    result.text = std::move(text);
    return result;
}

}  // namespace platform
