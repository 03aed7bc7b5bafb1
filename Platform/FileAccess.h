// FileAccess: who owns a file and who may read it, for the check of the service's key file.
//
// Stateless; callable from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

struct FileOwnership {
    uint32_t mode;      // the permission bits, as 0640
    std::string owner;  // user and group names, or their numbers where they have none
    std::string group;
};

// The file's permissions and owners (following symbolic links); nothing when it cannot be
// examined (the last error then holds the errno value).
std::optional<FileOwnership> fileOwnership(const std::string& path);

// Whether the account exists on this machine.
bool accountExists(const std::string& account);

// Whether the account could open the file for reading by its permission bits: as its owner, as
// a member of its group (the account's own group or a supplementary one), or as anyone. The
// directories on the way are not examined. False when the account or the file does not exist.
bool accountCanRead(const std::string& account, const std::string& path);

// Whether the account could make files in the directory by its permission bits (write and
// search), judged as accountCanRead judges reading.
bool accountCanWriteIn(const std::string& account, const std::string& directory);

}  // namespace platform
