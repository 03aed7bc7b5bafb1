#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Platform/StatusFiles.h"

namespace platform {

namespace {

std::string errorText() {
    return std::strerror(errno);
}

std::string directoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Why the directory may not hold our files; empty when it may.
std::string directoryFlaw(const std::string& directory) {
    struct stat info {};
    if (stat(directory.c_str(), &info) != 0) {
        return directory + ": " + errorText();
    }
    if (!S_ISDIR(info.st_mode)) {
        return directory + " is not a directory";
    }
    if (info.st_uid != geteuid() && info.st_uid != 0) {
        return directory + " belongs to user " + std::to_string(info.st_uid);
    }
    if ((info.st_mode & S_IWOTH) != 0) {
        return directory + " is writable by others";
    }
    return "";
}

bool writeAll(int fd, const std::string& text) {
    for (size_t done = 0; done < text.size();) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

std::string replaceFile(const std::string& path, const std::string& text, uint32_t mode) {
    if (std::string flaw = directoryFlaw(directoryOf(path)); !flaw.empty()) {
        return "cannot write " + path + ": " + flaw;
    }
    std::string temporary = path + ".XXXXXX";
    const int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        return "cannot create a file beside " + path + ": " + errorText();
    }
    std::string failure;
    if (fchmod(fd, static_cast<mode_t>(mode)) != 0 || !writeAll(fd, text)) {
        failure = "cannot write " + temporary + ": " + errorText();
    }
    close(fd);
    if (failure.empty() && rename(temporary.c_str(), path.c_str()) != 0) {
        failure = "cannot rename " + temporary + " to " + path + ": " + errorText();
    }
    if (!failure.empty()) {
        unlink(temporary.c_str());
    }
    return failure;
}

FileRead readRegularFile(const std::string& path, size_t maxBytes) {
    FileRead result;
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        result.missing = errno == ENOENT;
        result.reason = path + ": " + (errno == ELOOP ? "is a symbolic link" : errorText());
        return result;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        result.reason = path + " is not a regular file";
        close(fd);
        return result;
    }
    std::string text(maxBytes, '\0');
    size_t done = 0;
    while (done < maxBytes) {
        const ssize_t n = read(fd, text.data() + done, maxBytes - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            result.reason = path + ": " + errorText();
            close(fd);
            return result;
        }
        if (n == 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    close(fd);
    text.resize(done);
    result.text = std::move(text);
    return result;
}

}  // namespace platform
