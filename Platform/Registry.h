// Registry: the stand-in for the Windows registry calls the system and its plug-ins make.
//
// The registry is a directory tree. Each hive is a directory under the registry root
// ("<root>/HKEY_LOCAL_MACHINE", "<root>/HKEY_CLASSES_ROOT"), each key a directory below its
// parent key, and each value a regular file in its key's directory holding exactly the value's
// bytes; a key's default (unnamed) value is the file "@". The root is the directory named by the
// environment variable KRI_REGISTRY_ROOT, or /etc/kri-registry when it is unset or empty; it is
// read at every call, so a process may point it elsewhere before its first registry call.
//
// Key paths use backslashes, as on Windows ("SOFTWARE\Varnholt\KriAtmnSvc"). Key and value names
// are matched without regard to ASCII letter case, as on Windows; a new key or value takes the
// spelling it was created with. Names that a directory tree cannot hold are refused with
// ERROR_INVALID_PARAMETER: empty key names (a leading, trailing or doubled backslash), "." and
// "..", names containing '/', the value name "@", and value names starting with a backslash.
// Value types are not kept: a query reports every value as REG_BINARY. A string value holds
// the bytes it was set with, so a caller that wants a terminating zero writes one.
//
// Results are Windows system error numbers (ERROR_SUCCESS, ERROR_FILE_NOT_FOUND, ...). Every
// function may be called from any thread; an open key handle is used by one thread at a time
// and closed once.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

using LSTATUS = int32_t;
using REGSAM = uint32_t;

constexpr LSTATUS ERROR_SUCCESS = 0;
constexpr LSTATUS ERROR_FILE_NOT_FOUND = 2;
constexpr LSTATUS ERROR_ACCESS_DENIED = 5;
constexpr LSTATUS ERROR_INVALID_HANDLE = 6;
constexpr LSTATUS ERROR_OUTOFMEMORY = 14;
constexpr LSTATUS ERROR_DISK_FULL = 112;
constexpr LSTATUS ERROR_INVALID_PARAMETER = 87;
constexpr LSTATUS ERROR_MORE_DATA = 234;
constexpr LSTATUS ERROR_CANTREAD = 1012;
constexpr LSTATUS ERROR_CANTWRITE = 1013;

// Access rights are accepted and not enforced; the file system's permissions apply.
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

constexpr uint32_t REG_NONE = 0;
constexpr uint32_t REG_SZ = 1;
constexpr uint32_t REG_EXPAND_SZ = 2;
constexpr uint32_t REG_BINARY = 3;
constexpr uint32_t REG_DWORD = 4;

constexpr uint32_t REG_CREATED_NEW_KEY = 1;
constexpr uint32_t REG_OPENED_EXISTING_KEY = 2;

// An open key. The predefined hive keys need not be opened or closed.
struct RegistryKey;
using HKEY = RegistryKey*;

extern HKEY const HKEY_CLASSES_ROOT;
extern HKEY const HKEY_LOCAL_MACHINE;

// The registry root directory in use now ("of Windows" on Windows, where the registry is the
// system's own).
std::string registryRoot();

// Opens the existing key subKey below key (an empty or null subKey opens key itself again).
// On success *result is a key to close with RegCloseKey; otherwise *result is null.
LSTATUS RegOpenKeyExA(HKEY key, const char* subKey, uint32_t options, REGSAM access, HKEY* result);

// Opens subKey below key, creating it and any missing keys above it. *disposition (when not
// null) tells whether the key was created or already existed.
LSTATUS RegCreateKeyExA(HKEY key, const char* subKey, REGSAM access, HKEY* result,
                        uint32_t* disposition = nullptr);

// Reads the value named valueName (null or empty: the default value). *type (when not null)
// receives REG_BINARY. With data null, *dataSize receives the value's size. Otherwise *dataSize
// gives the buffer's size and receives the value's size; a value larger than the buffer gives
// ERROR_MORE_DATA and leaves the buffer's contents unspecified.
LSTATUS RegQueryValueExA(HKEY key, const char* valueName, uint32_t* reserved, uint32_t* type,
                         uint8_t* data, uint32_t* dataSize);

// Writes the value, replacing any earlier one as a whole: a reader sees the old bytes or the
// new ones, never a mixture. The type is accepted and not kept.
LSTATUS RegSetValueExA(HKEY key, const char* valueName, uint32_t reserved, uint32_t type,
                       const uint8_t* data, uint32_t dataSize);

// Deletes subKey below key with all its keys and values; with subKey null or empty, deletes
// everything below key but key itself.
LSTATUS RegDeleteTreeA(HKEY key, const char* subKey);

// The file that holds the value valueName (null or empty: the default value) of key's subKey,
// as RegQueryValueExA would read it; empty when the key or the value does not exist. Always
// empty on Windows: there the registry's own access control guards a value.
std::string registryValueFile(HKEY key, const char* subKey, const char* valueName);

// Closes a key from RegOpenKeyExA or RegCreateKeyExA. Closing a hive key does nothing; a handle
// that is not open gives ERROR_INVALID_HANDLE.
LSTATUS RegCloseKey(HKEY key);

}  // namespace platform
