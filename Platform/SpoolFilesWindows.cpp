// The spool's files on Windows. Paths are UTF-8 and reach Windows as UTF-16 through the W
// functions. Every file is opened with FILE_SHARE_DELETE (and read and write sharing), so that a
// scanner or backup program that holds a spool file open shares it the same way and cannot make
// a rename or removal of the journal fail; the directory lock keeps other instances out. Windows
// errors are turned into the errno values the journal expects.
#include "Platform/SpoolFiles.h"

#include <windows.h>
// After windows.h, which sddl.h needs.
#include <sddl.h>

#include <cerrno>
#include <cstring>

namespace platform {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

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

private:
    const HANDLE file;
    const bool inPlace;
};

HANDLE openFile(const std::wstring& path, DWORD access, DWORD disposition) {
    return CreateFileW(path.c_str(), access, kShareAll, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}

std::string errorText(int error) {
    return std::strerror(error);
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
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            return "it is not a directory";
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
        HANDLE lock =
            openFile(wide(directory + "\\lock"), GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS);
        if (lock == INVALID_HANDLE_VALUE) {
            error = lastErrno();
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
        const std::wstring name = wide(path);
        const DWORD disposition = opening == Opening::kExisting ? OPEN_EXISTING : OPEN_ALWAYS;
        HANDLE handle = openFile(name, GENERIC_READ | GENERIC_WRITE, disposition);
        if (handle == INVALID_HANDLE_VALUE && opening == Opening::kExisting &&
            GetLastError() == ERROR_ACCESS_DENIED) {
            // A spool that is only looked into may be read-only to the caller.
            handle = openFile(name, GENERIC_READ, OPEN_EXISTING);
        }
        if (handle == INVALID_HANDLE_VALUE) {
            return lastErrno();
        }
        file = std::make_unique<WindowsSpoolFile>(handle, opening == Opening::kInPlace);
        return 0;
    }

    int readWhole(const std::string& path, std::string& into) override {
        std::unique_ptr<SpoolFile> file;
        if (const int error = open(path, Opening::kExisting, file); error != 0) {
            return error;
        }
        into.resize(file->size());
        return file->readAt(0, into.data(), into.size());
    }

    // Replaces an existing target in one step; MOVEFILE_WRITE_THROUGH returns only once the
    // rename is on the disk.
    int rename(const std::string& from, const std::string& to) override {
        return MoveFileExW(wide(from).c_str(), wide(to).c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
                   ? 0
                   : lastErrno();
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
