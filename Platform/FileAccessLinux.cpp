#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "Platform/FileAccess.h"
#include "Platform/LastError.h"

namespace platform {

std::optional<FileOwnership> fileOwnership(const std::string& path) {
    struct stat s {};
    if (stat(path.c_str(), &s) != 0) {
        setLastError(static_cast<uint32_t>(errno));
        return std::nullopt;
    }
    const passwd* user = getpwuid(s.st_uid);
    const group* grp = getgrgid(s.st_gid);
    return FileOwnership{static_cast<uint32_t>(s.st_mode & 07777),
                         user != nullptr ? user->pw_name : std::to_string(s.st_uid),
                         grp != nullptr ? grp->gr_name : std::to_string(s.st_gid)};
}

bool accountExists(const std::string& account) {
    return getpwnam(account.c_str()) != nullptr;
}

namespace {

// Whether the account holds every permission of ownerBits (given as the owner's bits) in the
// class it falls in for the file: owner, group (its own or a supplementary one) or others.
bool accountMay(const std::string& account, const std::string& path, mode_t ownerBits) {
    const passwd* user = getpwnam(account.c_str());
    struct stat s {};
    if (user == nullptr || stat(path.c_str(), &s) != 0) {
        return false;
    }
    if (s.st_uid == user->pw_uid) {
        return (s.st_mode & ownerBits) == ownerBits;
    }
    int count = 64;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    if (getgrouplist(user->pw_name, user->pw_gid, groups.data(), &count) < 0) {
        groups.resize(static_cast<size_t>(count));
        getgrouplist(user->pw_name, user->pw_gid, groups.data(), &count);
    }
    groups.resize(static_cast<size_t>(std::max(count, 0)));
    if (std::find(groups.begin(), groups.end(), s.st_gid) != groups.end()) {
        return (s.st_mode & (ownerBits >> 3)) == (ownerBits >> 3);
    }
    return (s.st_mode & (ownerBits >> 6)) == (ownerBits >> 6);
}

}  // namespace

bool accountCanRead(const std::string& account, const std::string& path) {
    return accountMay(account, path, S_IRUSR);
}

bool accountCanWriteIn(const std::string& account, const std::string& directory) {
    return accountMay(account, directory, S_IWUSR | S_IXUSR);
}

}  // namespace platform
