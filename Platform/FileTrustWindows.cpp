// On Windows a file is trusted when it is a regular file, it and every directory on the way to
// it belong to SYSTEM, Administrators, TrustedInstaller or this process's user, and no ACE that
// applies to it lets every user of the machine (Everyone, Authenticated Users, Users) change it:
// write or append to the file, remove or replace an entry of a directory, remove the object, or
// change its access control or owner. Adding entries to a directory is allowed, as a sticky
// directory is on Linux: an entry that somebody else added belongs to them and is refused on its
// own. Links and junctions are followed: the path checked is the file's final path. Deny ACEs
// are not weighed, so an ACL that allows and then denies is refused all the same.
#include "Platform/FileTrust.h"

#include "Platform/FileSecurityWindows.h"

namespace platform {

namespace {

constexpr ACCESS_MASK kChangeRights = WRITE_DAC | WRITE_OWNER | DELETE | GENERIC_ALL;
constexpr ACCESS_MASK kFileWriteRights =
    kChangeRights | FILE_WRITE_DATA | FILE_APPEND_DATA | GENERIC_WRITE;
constexpr ACCESS_MASK kDirectoryWriteRights = kChangeRights | FILE_DELETE_CHILD;
constexpr ACCESS_MASK kReadRights = FILE_READ_DATA | GENERIC_READ | GENERIC_ALL;

std::string utf8(const std::wstring& text) {
    const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(length > 0 ? length : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), length,
                        nullptr, nullptr);
    return out;
}

// The path with links resolved, without the "\\?\" that GetFinalPathNameByHandleW puts in front;
// empty when the file does not exist. *isDirectory tells what it is.
std::string finalPath(const std::string& path, bool* isDirectory) {
    HANDLE file = CreateFileW(widePath(path).c_str(), 0,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return std::string();
    }
    BY_HANDLE_FILE_INFORMATION information{};
    *isDirectory = GetFileInformationByHandle(file, &information) &&
                   (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    std::wstring name(MAX_PATH, L'\0');
    DWORD length = GetFinalPathNameByHandleW(file, name.data(), static_cast<DWORD>(name.size()),
                                             FILE_NAME_NORMALIZED);
    if (length >= name.size()) {
        name.resize(length);
        length = GetFinalPathNameByHandleW(file, name.data(), static_cast<DWORD>(name.size()),
                                           FILE_NAME_NORMALIZED);
    }
    CloseHandle(file);
    name.resize(length < name.size() ? length : 0);
    if (name.rfind(L"\\\\?\\UNC\\", 0) == 0) {
        name.replace(0, 8, L"\\\\");
    } else if (name.rfind(L"\\\\?\\", 0) == 0) {
        name.erase(0, 4);
    }
    return utf8(name);
}

// Why the one file or directory is not to be trusted; empty when it is.
std::string flawOf(const std::string& path, ACCESS_MASK forbidden) {
    FileSecurity security;
    DWORD error = 0;
    if (!readFileSecurity(path, security, &error)) {
        return path + " cannot be examined (error " + std::to_string(error) + ")";
    }
    if (!isTrustedOwner(security.owner)) {
        return path + " belongs to " + accountName(security.owner) +
               ", not to SYSTEM, Administrators or this process's user";
    }
    if ((accessOfEveryUser(security) & forbidden) != 0) {
        return path + " is writable by Users, Authenticated Users or Everyone";
    }
    return "";
}

// The directory above path ("C:\a" for "C:\a\b", "C:\" for "C:\a"); empty above a root.
std::string parentOf(const std::string& path) {
    const size_t slash = path.find_last_of("\\/");
    if (slash == std::string::npos || slash + 1 == path.size()) {
        return std::string();
    }
    const std::string parent = path.substr(0, slash);
    // "C:" alone names the drive's current directory, not its root.
    return parent.size() == 2 && parent[1] == ':' ? parent + "\\" : parent;
}

}  // namespace

std::string untrustedReason(const std::string& path) {
    if (path.empty()) {
        return "";
    }
    bool isDirectory = false;
    const std::string file = finalPath(path, &isDirectory);
    if (file.empty()) {
        return "";
    }
    if (isDirectory) {
        return file + " is not a regular file";
    }
    if (std::string flaw = flawOf(file, kFileWriteRights); !flaw.empty()) {
        return flaw;
    }
    for (std::string directory = parentOf(file); !directory.empty();
         directory = parentOf(directory)) {
        if (std::string flaw = flawOf(directory, kDirectoryWriteRights); !flaw.empty()) {
            return flaw;
        }
    }
    return "";
}

bool readableByOthers(const std::string& path) {
    FileSecurity security;
    DWORD error = 0;
    return readFileSecurity(path, security, &error) &&
           (accessOfEveryUser(security) & kReadRights) != 0;
}

}  // namespace platform
