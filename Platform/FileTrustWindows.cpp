// On Windows a file is trusted when it is a regular file, it and every directory on the way to
// it belong to SYSTEM, Administrators, TrustedInstaller or this process's user, and no ACE that
// applies to it lets every user of the machine (Everyone, Authenticated Users, Users) change it:
// write or append to the file, remove or replace an entry of a directory, remove the object, or
// change its access control or owner. Adding entries to a directory is allowed, as a sticky
// directory is on Linux: an entry that somebody else added belongs to them and is refused on its
// own. Links and junctions are followed: the path checked is the file's final path. A missing
// path is refused when every user may add entries to the directory it would be made in. Deny
// ACEs are not weighed, so an ACL that allows and then denies is refused all the same.
#include "Platform/FileTrust.h"

#include "Platform/FileSecurityWindows.h"

namespace platform {

namespace {

constexpr ACCESS_MASK kChangeRights = WRITE_DAC | WRITE_OWNER | DELETE | GENERIC_ALL;
constexpr ACCESS_MASK kFileWriteRights =
    kChangeRights | FILE_WRITE_DATA | FILE_APPEND_DATA | GENERIC_WRITE;
constexpr ACCESS_MASK kDirectoryWriteRights = kChangeRights | FILE_DELETE_CHILD;
constexpr ACCESS_MASK kAddRights =
    FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | GENERIC_WRITE | GENERIC_ALL;
constexpr ACCESS_MASK kReadRights = FILE_READ_DATA | GENERIC_READ | GENERIC_ALL;

std::string utf8(const std::wstring& text) {
    const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(length > 0 ? length : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), length,
                        nullptr, nullptr);
    return out;
}

// The path made absolute against the current directory.
std::string absolutePath(const std::string& path) {
    const std::wstring name = widePath(path);
    const DWORD length = GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
    std::wstring full(length, L'\0');
    const DWORD written = GetFullPathNameW(name.c_str(), length, full.data(), nullptr);
    if (written == 0 || written >= length) {
        return path;
    }
    full.resize(written);
    return utf8(full);
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

// Why one of the directories above path (a final path) is not to be trusted; empty when none.
std::string flawAbove(const std::string& path) {
    for (std::string directory = parentOf(path); !directory.empty();
         directory = parentOf(directory)) {
        if (std::string flaw = flawOf(directory, kDirectoryWriteRights); !flaw.empty()) {
            return flaw;
        }
    }
    return "";
}

// A missing path is as safe as the directory it would be made in: one where every user may add
// entries lets them make it before we open it.
std::string missingFlaw(const std::string& path) {
    std::string missing = path;
    for (std::string directory = parentOf(path); !directory.empty();
         missing = directory, directory = parentOf(directory)) {
        bool isDirectory = false;
        const std::string existing = finalPath(directory, &isDirectory);
        if (existing.empty()) {
            continue;
        }
        if (!isDirectory) {
            return "";  // a file is in the way: whoever opens the path finds nothing
        }
        FileSecurity security;
        DWORD error = 0;
        if (readFileSecurity(existing, security, &error) &&
            (accessOfEveryUser(security) & kAddRights) != 0) {
            return missing + " does not exist and " + existing +
                   " is writable by Users, Authenticated Users or Everyone, who could make it";
        }
        if (std::string flaw = flawOf(existing, kDirectoryWriteRights); !flaw.empty()) {
            return flaw;
        }
        return flawAbove(existing);
    }
    return "";
}

enum class Kind { kFile, kDirectory };

// The check of untrustedReason and untrustedDirectoryReason.
std::string untrustedWay(const std::string& path, Kind kind) {
    if (path.empty()) {
        return "";
    }
    const std::string absolute = absolutePath(path);
    bool isDirectory = false;
    const std::string target = finalPath(absolute, &isDirectory);
    if (target.empty()) {
        return missingFlaw(absolute);
    }
    if (kind == Kind::kFile && isDirectory) {
        return target + " is not a regular file";
    }
    if (kind == Kind::kDirectory && !isDirectory) {
        return target + " is not a directory";
    }
    const ACCESS_MASK forbidden = kind == Kind::kFile ? kFileWriteRights : kDirectoryWriteRights;
    if (std::string flaw = flawOf(target, forbidden); !flaw.empty()) {
        return flaw;
    }
    return flawAbove(target);
}

}  // namespace

// The account needs no place here: the ACL's owners and writers are judged against the
// administrators and SYSTEM, under which the service and its check both run.
std::string untrustedReason(const std::string& path, const std::string&) {
    return untrustedWay(path, Kind::kFile);
}

std::string untrustedDirectoryReason(const std::string& path, const std::string&) {
    return untrustedWay(path, Kind::kDirectory);
}

// The ACL's entries for every user are what makes a key readable by others; the service's own
// account has no group of its own here to be excused.
bool readableByOthers(const std::string& path, const std::string&) {
    FileSecurity security;
    DWORD error = 0;
    return readFileSecurity(path, security, &error) &&
           (accessOfEveryUser(security) & kReadRights) != 0;
}

}  // namespace platform
