// The spool's files on Windows. Paths are UTF-8 and reach Windows as UTF-16 through the W
// functions. Every file is opened with FILE_SHARE_DELETE (and read and write sharing), so that a
// scanner or backup program that holds a spool file open shares it the same way and cannot make
// a rename or removal of the journal fail; the directory lock keeps other instances out. A name
// is opened without following a link in it (FILE_FLAG_OPEN_REPARSE_POINT), and only a regular
// file is accepted. Windows errors are turned into the errno values the journal expects.
#include "Platform/FileSecurityWindows.h"
#include "Platform/SpoolFiles.h"

// After windows.h, which it needs.
#include <sddl.h>

#include <cerrno>
#include <cstring>

namespace platform {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// What lets somebody remove, replace or add an entry of a directory, or change who may.
constexpr ACCESS_MASK kDirectoryChangeRights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY |
                                               FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER |
                                               DELETE | GENERIC_WRITE | GENERIC_ALL;

// A new spool directory, as mode 0700 on Linux: full access for SYSTEM, Administrators and its
// owner, inherited by the files made in it, and nothing inherited from above.
constexpr const wchar_t* kDirectorySecurity =
    L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;OW)";

int errnoOf(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_WRITE_PROTECT:
            return EACCES;
        case ERROR_LOCK_VIOLATION:
            return EWOULDBLOCK;
        case ERROR_SHARING_VIOLATION:
            return EBUSY;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ENOSPC;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return EEXIST;
        case ERROR_DIR_NOT_EMPTY:
            return ENOTEMPTY;
        case ERROR_DIRECTORY:
            return ENOTDIR;
        case ERROR_INVALID_NAME:
        case ERROR_INVALID_PARAMETER:
            return EINVAL;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return ENOMEM;
        case ERROR_CANT_RESOLVE_FILENAME:
            return ELOOP;
        case ERROR_HANDLE_EOF:
        default:
            return EIO;
    }
}

int lastErrno() {
    return errnoOf(GetLastError());
}

std::wstring wide(const std::string& text) {
    if (text.empty()) {
        return std::wstring();
    }
    const int length =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), length);
    return out;
}

std::string utf8(const wchar_t* text) {
    const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 1) {
        return std::string();
    }
    std::string out(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), length, nullptr, nullptr);
    out.pop_back();
    return out;
}

OVERLAPPED at(uint64_t offset) {
    OVERLAPPED position{};
    position.Offset = static_cast<DWORD>(offset);
    position.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return position;
}

// Writes the whole buffer at position; with both halves of the offset 0xFFFFFFFF Windows
// writes each piece at the file's end.
int writeWhole(HANDLE file, uint64_t offset, bool atEnd, const void* data, size_t length) {
    const auto* bytes = static_cast<const char*>(data);
    while (length > 0) {
        OVERLAPPED position = at(atEnd ? ~uint64_t{0} : offset);
        const DWORD piece = length > 0x40000000 ? 0x40000000 : static_cast<DWORD>(length);
        DWORD written = 0;
        if (!WriteFile(file, bytes, piece, &written, &position)) {
            return lastErrno();
        }
        bytes += written;
        offset += written;
        length -= written;
    }
    return 0;
}

// Which file an open handle is; a file whose deletion is pending has no names left.
int identityOf(HANDLE file, FileIdentity& identity) {
    BY_HANDLE_FILE_INFORMATION information{};
    FILE_STANDARD_INFO standard{};
    if (!GetFileInformationByHandle(file, &information) ||
        !GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard)) {
        return lastErrno();
    }
    identity.device = information.dwVolumeSerialNumber;
    identity.inode = (uint64_t{information.nFileIndexHigh} << 32) | information.nFileIndexLow;
    identity.links = standard.DeletePending ? 0 : information.nNumberOfLinks;
    return 0;
}

// Opens the name itself, never what a link or junction in its last component leads to; null
// with the errno value in *error otherwise, ELOOP for a link and EINVAL for what is not a regular
// file.
HANDLE openRegular(const std::wstring& path, DWORD access, DWORD disposition, int* error) {
    HANDLE file = CreateFileW(path.c_str(), access, kShareAll, nullptr, disposition,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *error = lastErrno();
        return nullptr;
    }
    BY_HANDLE_FILE_INFORMATION information{};
    *error = 0;
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &information) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        *error = EINVAL;
    } else if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        *error = ELOOP;
    }
    if (*error != 0) {
        CloseHandle(file);
        return nullptr;
    }
    return file;
}

class WindowsSpoolFile : public SpoolFile {
public:
    WindowsSpoolFile(HANDLE handle, bool inPlace) : file(handle), inPlace(inPlace) {}
    ~WindowsSpoolFile() override { CloseHandle(file); }
    WindowsSpoolFile(const WindowsSpoolFile&) = delete;
    WindowsSpoolFile& operator=(const WindowsSpoolFile&) = delete;

    int append(const void* data, size_t length) override {
        return writeWhole(file, 0, true, data, length);
    }

    int writeAt(uint64_t offset, const void* data, size_t length) override {
        return inPlace ? writeWhole(file, offset, false, data, length) : EBADF;
    }

    int readAt(uint64_t offset, void* into, size_t length) override {
        auto* bytes = static_cast<char*>(into);
        while (length > 0) {
            OVERLAPPED position = at(offset);
            const DWORD piece = length > 0x40000000 ? 0x40000000 : static_cast<DWORD>(length);
            DWORD got = 0;
            if (!ReadFile(file, bytes, piece, &got, &position)) {
                return lastErrno();
            }
            if (got == 0) {
                return EIO;
            }
            bytes += got;
            offset += got;
            length -= got;
        }
        return 0;
    }

    int truncate(uint64_t length) override {
        FILE_END_OF_FILE_INFO end{};
        end.EndOfFile.QuadPart = static_cast<LONGLONG>(length);
        return SetFileInformationByHandle(file, FileEndOfFileInfo, &end, sizeof end) ? 0
                                                                                     : lastErrno();
    }

    int sync() override { return FlushFileBuffers(file) ? 0 : lastErrno(); }

    uint64_t size() override {
        LARGE_INTEGER length{};
        return GetFileSizeEx(file, &length) ? static_cast<uint64_t>(length.QuadPart) : 0;
    }

    int identify(FileIdentity& identity) override { return identityOf(file, identity); }

private:
    const HANDLE file;
    const bool inPlace;
};

std::string errorText(int error) {
    return std::strerror(error);
}

constexpr int kRenameAttempts = 20;
constexpr DWORD kRenameRetryMs = 50;

// FileRenameInfoEx and its flags (Windows 10 1709), named here because the headers declare them
// only for programs that require that version.
constexpr FILE_INFO_BY_HANDLE_CLASS kFileRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);
constexpr DWORD kRenameReplaceIfExists = 0x1;
constexpr DWORD kRenamePosixSemantics = 0x2;

// Renames with POSIX semantics, replacing a target that others hold open; false where Windows,
// the file system or the files do not allow it.
bool renameOverOpenTarget(const std::wstring& source, const std::wstring& target) {
    HANDLE file = CreateFileW(source.c_str(), DELETE | SYNCHRONIZE, kShareAll, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    const size_t nameBytes = target.size() * sizeof(wchar_t);
    std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + nameBytes, 0);
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    // The flags share their place with ReplaceIfExists, the structure's first member.
    const DWORD flags = kRenameReplaceIfExists | kRenamePosixSemantics;
    std::memcpy(buffer.data(), &flags, sizeof flags);
    rename->FileNameLength = static_cast<DWORD>(nameBytes);
    std::memcpy(rename->FileName, target.data(), nameBytes);
    const bool renamed = SetFileInformationByHandle(file, kFileRenameInfoEx, rename,
                                                    static_cast<DWORD>(buffer.size())) != FALSE;
    CloseHandle(file);
    return renamed;
}

class WindowsSpoolFiles : public SpoolFiles {
public:
    std::string checkDirectory(const std::string& directory) override {
        const std::wstring path = wide(directory);
        if (const int error = makeDirectory(path); error != 0 && error != EEXIST) {
            return "it cannot be made: " + errorText(error);
        }
        const DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            return errorText(lastErrno());
        }
        if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            return "it is a symbolic link or junction";
        }
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            return "it is not a directory";
        }
        FileSecurity security;
        DWORD error = 0;
        if (!readFileSecurity(directory, security, &error)) {
            return errorText(errnoOf(error));
        }
        if (!isTrustedOwner(security.owner)) {
            return "it belongs to " + accountName(security.owner) +
                   ", not to SYSTEM, Administrators or this process's user";
        }
        if ((accessOfEveryUser(security) & kDirectoryChangeRights) != 0) {
            return "Users, Authenticated Users or Everyone may write to it";
        }
        // Opening the directory for adding files asks its access control whether we may.
        HANDLE handle = CreateFileW(path.c_str(), FILE_ADD_FILE | FILE_DELETE_CHILD, kShareAll,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            return "it is not writable";
        }
        CloseHandle(handle);
        return "";
    }

    std::shared_ptr<void> lockDirectory(const std::string& directory, int& error) override {
        HANDLE lock = openRegular(wide(directory + "\\lock"), GENERIC_READ | GENERIC_WRITE,
                                  OPEN_ALWAYS, &error);
        if (lock == nullptr) {
            return nullptr;
        }
        OVERLAPPED whole{};
        if (!LockFileEx(lock, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD,
                        MAXDWORD, &whole)) {
            error = lastErrno();
            CloseHandle(lock);
            return nullptr;
        }
        error = 0;
        // Closing the handle releases the lock.
        return std::shared_ptr<void>(lock, [](void* held) { CloseHandle(held); });
    }

    int list(const std::string& directory, std::vector<std::string>& names) override {
        WIN32_FIND_DATAW entry{};
        HANDLE search = FindFirstFileW(wide(directory + "\\*").c_str(), &entry);
        if (search == INVALID_HANDLE_VALUE) {
            return lastErrno();
        }
        do {
            const std::string name = utf8(entry.cFileName);
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        } while (FindNextFileW(search, &entry));
        const DWORD error = GetLastError();
        FindClose(search);
        return error == ERROR_NO_MORE_FILES ? 0 : errnoOf(error);
    }

    int open(const std::string& path, Opening opening, std::unique_ptr<SpoolFile>& file) override {
        DWORD access = GENERIC_READ | GENERIC_WRITE;
        DWORD disposition = OPEN_ALWAYS;
        if (opening == Opening::kExisting || opening == Opening::kReadOnly) {
            disposition = OPEN_EXISTING;
        }
        if (opening == Opening::kReadOnly) {
            access = GENERIC_READ;
        }
        int error = 0;
        HANDLE handle = openRegular(wide(path), access, disposition, &error);
        if (handle == nullptr) {
            return error;
        }
        file = std::make_unique<WindowsSpoolFile>(handle, opening == Opening::kInPlace);
        return 0;
    }

    int identify(const std::string& path, FileIdentity& identity) override {
        HANDLE file =
            CreateFileW(wide(path).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return lastErrno();
        }
        const int error = identityOf(file, identity);
        CloseHandle(file);
        return error;
    }

    // Replaces an existing target in one step. A scanner or backup program may hold the target
    // open: POSIX rename semantics (Windows 10 1709 and later, NTFS) replace it all the same,
    // provided it shares deletion. Elsewhere, and under Wine, a plain replacement is tried again
    // for up to a second while another program holds either file without sharing it.
    int rename(const std::string& from, const std::string& to) override {
        const std::wstring source = wide(from);
        const std::wstring target = wide(to);
        if (renameOverOpenTarget(source, target)) {
            return 0;
        }
        for (int attempt = 1;; ++attempt) {
            if (MoveFileExW(source.c_str(), target.c_str(),
                            MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
                return 0;
            }
            const DWORD error = GetLastError();
            const bool held = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
            if (!held || attempt == kRenameAttempts) {
                return errnoOf(error);
            }
            Sleep(kRenameRetryMs);
        }
    }

    int remove(const std::string& path) override {
        return DeleteFileW(wide(path).c_str()) ? 0 : lastErrno();
    }

    // NTFS journals its directory entries, and renames are written through already; Windows
    // has no call that flushes a directory as fsync does.
    int syncDirectory(const std::string&) override { return 0; }

    int freeBytes(const std::string& directory, uint64_t& bytes) override {
        ULARGE_INTEGER available{};
        if (!GetDiskFreeSpaceExW(wide(directory).c_str(), &available, nullptr, nullptr)) {
            return lastErrno();
        }
        bytes = available.QuadPart;
        return 0;
    }

private:
    static int makeDirectory(const std::wstring& path) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
                kDirectorySecurity, SDDL_REVISION_1, &descriptor, nullptr)) {
            return lastErrno();
        }
        SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
        const bool made = CreateDirectoryW(path.c_str(), &attributes);
        const DWORD error = GetLastError();
        LocalFree(descriptor);
        return made ? 0 : errnoOf(error);
    }
};

}  // namespace

// The journal's callers name the seam by its first implementation; on Windows it is this one.
SpoolFiles& linuxSpoolFiles() {
    static WindowsSpoolFiles files;
    return files;
}

}  // namespace platform
