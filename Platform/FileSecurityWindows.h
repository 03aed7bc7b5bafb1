// FileSecurityWindows: a file's owner and access control list, and the accounts they name, for
// FileTrust and FileAccess on Windows. Internal to Platform/.
//
// Stateless; callable from any thread.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

namespace platform {

// The security descriptor of a file or directory, with its owner, primary group and DACL.
struct FileSecurity {
    std::unique_ptr<void, decltype(&LocalFree)> descriptor{nullptr, &LocalFree};
    PSID owner = nullptr;
    PSID group = nullptr;
    PACL dacl = nullptr;  // null: everybody may do everything
};

// Reads it for the path (UTF-8); false with the Windows error in *error when it cannot.
bool readFileSecurity(const std::string& path, FileSecurity& security, DWORD* error);

// The well-known groups whose members are every user of the machine: Everyone, Authenticated
// Users and Users.
bool isEveryUsersGroup(PSID sid);

// SYSTEM, Administrators, TrustedInstaller (the owner of Windows' own directories) or the user
// this process runs as.
bool isTrustedOwner(PSID sid);

// The access that the DACL's ACEs (those applying to the object itself) allow every user of the
// machine, through Everyone, Authenticated Users or Users; all access for a missing DACL.
ACCESS_MASK accessOfEveryUser(const FileSecurity& security);

// "DOMAIN\name" of the account, or the SID in string form when it has no name.
std::string accountName(PSID sid);

// The path as UTF-16, for the W functions.
std::wstring widePath(const std::string& path);

}  // namespace platform
