// On Windows a file's access is its ACL, which the permission bits of FileOwnership can only
// summarise: the owner's bits are read and write (the owner may always rewrite the ACL), the
// group's stay 0, and the others' bits are what the ACL allows every user of the machine
// (Everyone, Authenticated Users, Users): 04 for reading, 02 for writing. The owner and group are
// the account names of the file's owner and primary group.
#include "Platform/FileAccess.h"

#include "Platform/FileSecurityWindows.h"

// After windows.h, which it needs.
#include <aclapi.h>

namespace platform {

std::optional<FileOwnership> fileOwnership(const std::string& path) {
    FileSecurity security;
    DWORD error = 0;
    if (!readFileSecurity(path, security, &error)) {
        SetLastError(error);
        return std::nullopt;
    }
    const ACCESS_MASK others = accessOfEveryUser(security);
    uint32_t mode = 0600;
    if ((others & (FILE_READ_DATA | GENERIC_READ | GENERIC_ALL)) != 0) {
        mode |= 04;
    }
    if ((others & (FILE_WRITE_DATA | FILE_APPEND_DATA | GENERIC_WRITE | GENERIC_ALL)) != 0) {
        mode |= 02;
    }
    return FileOwnership{mode, accountName(security.owner),
                         security.group != nullptr ? accountName(security.group) : "?"};
}

bool accountExists(const std::string& account) {
    char sid[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof sid;
    char domain[256];
    DWORD domainSize = sizeof domain;
    SID_NAME_USE use{};
    return LookupAccountNameA(nullptr, account.c_str(), sid, &sidSize, domain, &domainSize, &use) !=
           FALSE;
}

// The rights the ACL gives the account, through its own entries and those of the groups
// Windows knows it to be a member of.
namespace {

bool accountHasRights(const std::string& account, const std::string& path, ACCESS_MASK wanted) {
    FileSecurity security;
    DWORD error = 0;
    if (!accountExists(account) || !readFileSecurity(path, security, &error)) {
        return false;
    }
    if (security.dacl == nullptr) {
        return true;
    }
    TRUSTEE_A trustee{};
    std::string name = account;
    BuildTrusteeWithNameA(&trustee, name.data());
    ACCESS_MASK rights = 0;
    return GetEffectiveRightsFromAclA(security.dacl, &trustee, &rights) == ERROR_SUCCESS &&
           (rights & wanted) == wanted;
}

}  // namespace

bool accountCanRead(const std::string& account, const std::string& path) {
    return accountHasRights(account, path, FILE_READ_DATA);
}

bool accountCanWriteIn(const std::string& account, const std::string& directory) {
    return accountHasRights(account, directory, FILE_ADD_FILE);
}

}  // namespace platform
