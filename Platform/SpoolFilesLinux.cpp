#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Platform/SpoolFiles.h"

namespace platform {
namespace {

FileIdentity identityOf(const struct stat& s) {
    return FileIdentity{static_cast<uint64_t>(s.st_dev), static_cast<uint64_t>(s.st_ino),
                        static_cast<uint64_t>(s.st_nlink)};
}

// Opens a regular file without following a link in its last component; O_NONBLOCK keeps an
// open of a FIFO from waiting for a writer. The descriptor, or -1 with errno set.
int openRegular(const std::string& path, int flags, mode_t mode = 0) {
    const int fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
    if (fd < 0) {
        return -1;
    }
    struct stat s {};
    if (::fstat(fd, &s) != 0 || !S_ISREG(s.st_mode)) {
        const int error = S_ISREG(s.st_mode) ? errno : EINVAL;
        ::close(fd);
        errno = error;
        return -1;
    }
    // Blocking again, for the writes and reads of a regular file (which ignore the flag).
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

class LinuxSpoolFile : public SpoolFile {
public:
    explicit LinuxSpoolFile(int descriptor) : fd(descriptor) {}
    ~LinuxSpoolFile() override { ::close(fd); }
    LinuxSpoolFile(const LinuxSpoolFile&) = delete;
    LinuxSpoolFile& operator=(const LinuxSpoolFile&) = delete;

    int append(const void* data, size_t length) override {
        const auto* bytes = static_cast<const char*>(data);
        while (length > 0) {
            const ssize_t written = ::write(fd, bytes, length);
            if (written < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return errno;
            }
            bytes += written;
            length -= static_cast<size_t>(written);
        }
        return 0;
    }

    int writeAt(uint64_t offset, const void* data, size_t length) override {
        const auto* bytes = static_cast<const char*>(data);
        while (length > 0) {
            const ssize_t written = ::pwrite(fd, bytes, length, static_cast<off_t>(offset));
            if (written < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return errno;
            }
            bytes += written;
            offset += static_cast<uint64_t>(written);
            length -= static_cast<size_t>(written);
        }
        return 0;
    }

    int readAt(uint64_t offset, void* into, size_t length) override {
        auto* bytes = static_cast<char*>(into);
        while (length > 0) {
            const ssize_t got = ::pread(fd, bytes, length, static_cast<off_t>(offset));
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                return got < 0 ? errno : EIO;
            }
            bytes += got;
            offset += static_cast<uint64_t>(got);
            length -= static_cast<size_t>(got);
        }
        return 0;
    }

    int truncate(uint64_t length) override {
        return ::ftruncate(fd, static_cast<off_t>(length)) == 0 ? 0 : errno;
    }

    int sync() override { return ::fdatasync(fd) == 0 ? 0 : errno; }

    uint64_t size() override {
        struct stat s {};
        return ::fstat(fd, &s) == 0 ? static_cast<uint64_t>(s.st_size) : 0;
    }

    int identify(FileIdentity& identity) override {
        struct stat s {};
        if (::fstat(fd, &s) != 0) {
            return errno;
        }
        identity = identityOf(s);
        return 0;
    }

private:
    const int fd;
};

int syncPath(const std::string& path, int flags) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    const int result = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    return result;
}

class LinuxSpoolFiles : public SpoolFiles {
public:
    std::string checkDirectory(const std::string& directory) override {
        if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
            return std::string("it cannot be made: ") + strerrorText(errno);
        }
        struct stat s {};
        if (::lstat(directory.c_str(), &s) != 0) {
            return strerrorText(errno);
        }
        if (!S_ISDIR(s.st_mode)) {
            return S_ISLNK(s.st_mode) ? "it is a symbolic link" : "it is not a directory";
        }
        if (s.st_uid != ::geteuid()) {
            return "it belongs to user " + std::to_string(s.st_uid) +
                   ", not to this process's user " + std::to_string(::geteuid());
        }
        if ((s.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
            return "its group or others may write to it";
        }
        if (::access(directory.c_str(), W_OK | X_OK) != 0) {
            return "it is not writable";
        }
        return "";
    }

    std::shared_ptr<void> lockDirectory(const std::string& directory, int& error) override {
        const int fd = openRegular(directory + "/lock", O_RDWR | O_CREAT, 0600);
        if (fd < 0) {
            error = errno;
            return nullptr;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            error = errno;
            ::close(fd);
            return nullptr;
        }
        error = 0;
        return std::shared_ptr<void>(new int(fd), [](void* held) {
            ::close(*static_cast<int*>(held));
            delete static_cast<int*>(held);
        });
    }

    int list(const std::string& directory, std::vector<std::string>& names) override {
        DIR* dir = ::opendir(directory.c_str());
        if (dir == nullptr) {
            return errno;
        }
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        ::closedir(dir);
        return 0;
    }

    int open(const std::string& path, Opening opening, std::unique_ptr<SpoolFile>& file) override {
        int flags = O_RDWR | O_APPEND | O_CREAT;
        switch (opening) {
            case Opening::kExisting:
                flags = O_RDWR | O_APPEND;
                break;
            case Opening::kNew:
                break;
            case Opening::kInPlace:
                flags = O_RDWR | O_CREAT;
                break;
            case Opening::kReadOnly:
                flags = O_RDONLY;
                break;
        }
        const int fd = openRegular(path, flags, 0600);
        if (fd < 0) {
            return errno;
        }
        file = std::make_unique<LinuxSpoolFile>(fd);
        return 0;
    }

    int identify(const std::string& path, FileIdentity& identity) override {
        struct stat s {};
        if (::lstat(path.c_str(), &s) != 0) {
            return errno;
        }
        identity = identityOf(s);
        return 0;
    }

    int rename(const std::string& from, const std::string& to) override {
        return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
    }

    int remove(const std::string& path) override { return ::unlink(path.c_str()) == 0 ? 0 : errno; }

    int syncDirectory(const std::string& directory) override {
        return syncPath(directory, O_RDONLY | O_DIRECTORY);
    }

    int freeBytes(const std::string& directory, uint64_t& bytes) override {
        struct statvfs s {};
        if (::statvfs(directory.c_str(), &s) != 0) {
            return errno;
        }
        bytes = static_cast<uint64_t>(s.f_bavail) * s.f_frsize;
        return 0;
    }

private:
    static std::string strerrorText(int error) {
        char buffer[128];
        return ::strerror_r(error, buffer, sizeof buffer);
    }
};

}  // namespace

SpoolFiles& linuxSpoolFiles() {
    static LinuxSpoolFiles files;
    return files;
}

}  // namespace platform
