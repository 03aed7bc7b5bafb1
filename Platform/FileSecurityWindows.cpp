#include "Platform/FileSecurityWindows.h"

// After windows.h, which these need.
#include <aclapi.h>
#include <sddl.h>

namespace platform {

namespace {

bool sidIs(PSID sid, WELL_KNOWN_SID_TYPE type) {
    return IsWellKnownSid(sid, type) != FALSE;
}

bool sidIsText(PSID sid, const char* text) {
    PSID other = nullptr;
    if (!ConvertStringSidToSidA(text, &other)) {
        return false;
    }
    const bool same = EqualSid(sid, other) != FALSE;
    LocalFree(other);
    return same;
}

bool isProcessUser(PSID sid) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return false;
    }
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::unique_ptr<char[]> buffer(new char[size > 0 ? size : 1]);
    const bool same = GetTokenInformation(token, TokenUser, buffer.get(), size, &size) &&
                      EqualSid(sid, reinterpret_cast<TOKEN_USER*>(buffer.get())->User.Sid);
    CloseHandle(token);
    return same;
}

// NT SERVICE\TrustedInstaller.
constexpr const char* kTrustedInstaller =
    "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

}  // namespace

std::wstring widePath(const std::string& path) {
    const int length =
        MultiByteToWideChar(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(length > 0 ? length : 0), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), out.data(), length);
    return out;
}

bool readFileSecurity(const std::string& path, FileSecurity& security, DWORD* error) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const std::wstring name = widePath(path);
    const DWORD result = GetNamedSecurityInfoW(
        name.c_str(), SE_FILE_OBJECT,
        OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
        &security.owner, &security.group, &security.dacl, nullptr, &descriptor);
    if (result != ERROR_SUCCESS) {
        *error = result;
        return false;
    }
    security.descriptor.reset(descriptor);
    return true;
}

bool isEveryUsersGroup(PSID sid) {
    return sidIs(sid, WinWorldSid) || sidIs(sid, WinAuthenticatedUserSid) ||
           sidIs(sid, WinBuiltinUsersSid);
}

bool isTrustedOwner(PSID sid) {
    return sid != nullptr &&
           (sidIs(sid, WinLocalSystemSid) || sidIs(sid, WinBuiltinAdministratorsSid) ||
            sidIsText(sid, kTrustedInstaller) || isProcessUser(sid));
}

ACCESS_MASK accessOfEveryUser(const FileSecurity& security) {
    if (security.dacl == nullptr) {
        return GENERIC_ALL | FILE_ALL_ACCESS;
    }
    ACCESS_MASK allowed = 0;
    for (DWORD i = 0; i < security.dacl->AceCount; ++i) {
        void* entry = nullptr;
        if (!GetAce(security.dacl, i, &entry)) {
            continue;
        }
        const auto* header = static_cast<ACE_HEADER*>(entry);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE)) {
            continue;
        }
        auto* allow = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        if (isEveryUsersGroup(&allow->SidStart)) {
            allowed |= allow->Mask;
        }
    }
    return allowed;
}

std::string accountName(PSID sid) {
    char name[256];
    char domain[256];
    DWORD nameSize = sizeof name;
    DWORD domainSize = sizeof domain;
    SID_NAME_USE use{};
    if (LookupAccountSidA(nullptr, sid, name, &nameSize, domain, &domainSize, &use)) {
        return domainSize > 0 ? std::string(domain) + "\\" + name : std::string(name);
    }
    char* text = nullptr;
    if (!ConvertSidToStringSidA(sid, &text)) {
        return "?";
    }
    std::string out = text;
    LocalFree(text);
    return out;
}

}  // namespace platform
