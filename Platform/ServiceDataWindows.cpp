#include "Platform/ServiceData.h"

#include <aclapi.h>
#include <sddl.h>
#include <windows.h>

#include "Platform/FileSecurityWindows.h"
#include "Platform/LastError.h"

namespace platform {

namespace {

// Owned by Administrators; protected (no inherited entries), full control for SYSTEM and
// Administrators, inherited by files and folders below. The owner matters where a user made the
// folder before the installer ran: an owner may always change the access control list.
constexpr const wchar_t* kProtectedSecurity = L"O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

std::string failure(const std::string& what, DWORD error) {
    std::string text = formatMessage(error);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return what + ": " + text + " (" + std::to_string(error) + ")";
}

}  // namespace

std::string serviceDataDirectory() {
    char programData[MAX_PATH];
    const DWORD length = GetEnvironmentVariableA("ProgramData", programData, sizeof programData);
    const std::string base =
        length > 0 && length < sizeof programData ? programData : "C:\\ProgramData";
    return base + "\\KriAtmnSvc";
}

std::string makeProtectedDirectory(const std::string& path) {
    const std::wstring wide = widePath(path);
    if (!CreateDirectoryW(wide.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        return failure("cannot make " + path, GetLastError());
    }
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return path + " is not a directory";
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kProtectedSecurity, SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
        return failure("cannot make the access control list", GetLastError());
    }
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    PSID owner = nullptr;
    GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
    GetSecurityDescriptorOwner(descriptor, &owner, &defaulted);
    // SetNamedSecurityInfoW also passes the inheritable entries on to what the folder holds.
    const DWORD error =
        SetNamedSecurityInfoW(const_cast<wchar_t*>(wide.c_str()), SE_FILE_OBJECT,
                              OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                  PROTECTED_DACL_SECURITY_INFORMATION,
                              owner, nullptr, dacl, nullptr);
    LocalFree(descriptor);
    return error == ERROR_SUCCESS ? std::string() : failure("cannot protect " + path, error);
}

}  // namespace platform
