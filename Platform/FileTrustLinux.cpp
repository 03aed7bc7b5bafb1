#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <vector>

#include "Platform/FileTrust.h"

namespace platform {

namespace {

// As the kernel's limit on symbolic links followed in one lookup.
constexpr int kMaxLinks = 40;

std::deque<std::string> componentsOf(const std::string& path) {
    std::deque<std::string> components;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        if (end > start) {
            components.push_back(path.substr(start, end - start));
        }
        start = end + 1;
    }
    return components;
}

std::string parentOf(const std::string& directory) {
    const std::size_t slash = directory.rfind('/');
    return slash == 0 || slash == std::string::npos ? "/" : directory.substr(0, slash);
}

std::string joined(const std::string& directory, const std::string& name) {
    return directory == "/" ? "/" + name : directory + "/" + name;
}

// The user of the named account, who may own what is trusted besides root and this process's
// user; this process's user when no account (or none of that name) is named.
uid_t alsoTrustedUser(const std::string& account) {
    const passwd* user = account.empty() ? nullptr : getpwnam(account.c_str());
    return user != nullptr ? user->pw_uid : geteuid();
}

std::string ownerFlaw(const std::string& path, const struct stat& info, uid_t alsoTrusted) {
    const uid_t owner = info.st_uid;
    if (owner == 0 || owner == geteuid() || owner == alsoTrusted) {
        return "";
    }
    return path + " belongs to user " + std::to_string(owner) +
           ", not to root or to this process's user " + std::to_string(geteuid());
}

enum class Kind { kFile, kDirectory };

// The flaw of one step of the way: a directory (not last) or what the path names (last).
std::string flawOf(const std::string& path, const struct stat& info, bool last, Kind kind,
                   uid_t alsoTrusted) {
    if (std::string flaw = ownerFlaw(path, info, alsoTrusted); !flaw.empty()) {
        return flaw;
    }
    if (last && kind == Kind::kFile && !S_ISREG(info.st_mode)) {
        return path + " is not a regular file";
    }
    if (last && kind == Kind::kDirectory && !S_ISDIR(info.st_mode)) {
        return path + " is not a directory";
    }
    const bool othersMayWrite = (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    const bool sticky = S_ISDIR(info.st_mode) && (info.st_mode & S_ISVTX) != 0;
    if (othersMayWrite && !sticky) {
        return path + " is writable by group or others";
    }
    return "";
}

// A missing step is as safe as the directory it would be made in: one that others may write to
// (sticky or not) lets them make it before we open it.
std::string missingFlaw(const std::string& missing, const std::string& directory) {
    struct stat info {};
    if (lstat(directory.c_str(), &info) != 0) {
        return directory + " cannot be examined: " + std::strerror(errno);
    }
    return (info.st_mode & (S_IWGRP | S_IWOTH)) == 0
               ? ""
               : missing + " does not exist and " + directory +
                     " is writable by group or others, who could make it";
}

// The walk of untrustedReason and untrustedDirectoryReason.
std::string untrustedWay(const std::string& path, Kind kind, uid_t alsoTrusted) {
    std::string start = "/";
    if (path.empty()) {
        return "";
    }
    if (path.front() != '/') {
        char cwd[4096];
        if (getcwd(cwd, sizeof cwd) == nullptr) {
            return "the current directory cannot be read: " + std::string(std::strerror(errno));
        }
        start = cwd;
    }
    struct stat info {};
    if (lstat("/", &info) != 0) {
        return "/ cannot be examined";
    }
    if (std::string flaw = flawOf("/", info, false, kind, alsoTrusted); !flaw.empty()) {
        return flaw;
    }
    // The steps still to take; a relative path begins with those of the current directory.
    std::deque<std::string> pending = componentsOf(path);
    if (path.front() != '/') {
        const std::deque<std::string> base = componentsOf(start);
        pending.insert(pending.begin(), base.begin(), base.end());
    }
    std::string current = "/";
    int links = 0;
    while (!pending.empty()) {
        const std::string name = pending.front();
        pending.pop_front();
        if (name == ".") {
            continue;
        }
        if (name == "..") {
            current = parentOf(current);
            continue;
        }
        const std::string next = joined(current, name);
        if (lstat(next.c_str(), &info) != 0) {
            return errno == ENOENT ? missingFlaw(next, current)
                                   : next + " cannot be examined: " + std::strerror(errno);
        }
        if (S_ISLNK(info.st_mode)) {
            if (std::string flaw = ownerFlaw(next, info, alsoTrusted); !flaw.empty()) {
                return flaw;
            }
            if (++links > kMaxLinks) {
                return path + " leads through too many symbolic links";
            }
            std::vector<char> target(static_cast<std::size_t>(info.st_size) + 1);
            const ssize_t length = readlink(next.c_str(), target.data(), target.size());
            if (length < 0 || static_cast<std::size_t>(length) >= target.size()) {
                return next + " cannot be read as a symbolic link";
            }
            const std::string to(target.data(), static_cast<std::size_t>(length));
            if (!to.empty() && to.front() == '/') {
                current = "/";
            }
            const std::deque<std::string> steps = componentsOf(to);
            pending.insert(pending.begin(), steps.begin(), steps.end());
            continue;
        }
        if (std::string flaw = flawOf(next, info, pending.empty(), kind, alsoTrusted);
            !flaw.empty()) {
            return flaw;
        }
        current = next;
    }
    return current == "/" && kind == Kind::kFile ? "/ is not a regular file" : "";
}

}  // namespace

std::string untrustedReason(const std::string& path, const std::string& account) {
    return untrustedWay(path, Kind::kFile, alsoTrustedUser(account));
}

std::string untrustedDirectoryReason(const std::string& path, const std::string& account) {
    return untrustedWay(path, Kind::kDirectory, alsoTrustedUser(account));
}

bool readableByOthers(const std::string& path, const std::string& account) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        return false;
    }
    const passwd* user = account.empty() ? nullptr : getpwnam(account.c_str());
    const bool serviceGroup = user != nullptr && info.st_gid == user->pw_gid;
    const bool groupReads =
        (info.st_mode & S_IRGRP) != 0 && info.st_gid != getegid() && !serviceGroup;
    return groupReads || (info.st_mode & S_IROTH) != 0;
}

}  // namespace platform
