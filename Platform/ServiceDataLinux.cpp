#include "Platform/ServiceData.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace platform {

std::string serviceDataDirectory() {
    return "/var/lib/kriatmnsvc";
}

std::string makeProtectedDirectory(const std::string& path) {
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        return "cannot make " + path + ": " + std::strerror(errno);
    }
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        return path + " is not a directory";
    }
    if (chmod(path.c_str(), 0700) != 0) {
        return "cannot restrict " + path + ": " + std::strerror(errno);
    }
    return {};
}

}  // namespace platform
