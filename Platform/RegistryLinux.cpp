#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <set>
#include <string_view>
#include <system_error>
#include <vector>

#include "Platform/Registry.h"

namespace fs = std::filesystem;

namespace platform {

// hive: the hive's directory name; path: the key's directories below it, spelled as on disk.
struct RegistryKey {
    std::string hive;
    std::string path;
};

namespace {

RegistryKey classesRoot{"HKEY_CLASSES_ROOT", ""};
RegistryKey localMachine{"HKEY_LOCAL_MACHINE", ""};

constexpr const char* kDefaultRoot = "/etc/kri-registry";
constexpr const char* kDefaultValueFile = "@";
// Values are written to a file of this prefix first and then renamed into place; no value name
// may start with it.
constexpr char kTemporaryPrefix = '\\';
// Keys and values are written with these modes whatever the process's umask: readable by all,
// writable by their owner only, as a service that trusts only such files requires.
constexpr fs::perms kKeyMode = static_cast<fs::perms>(0755);
constexpr fs::perms kValueMode = static_cast<fs::perms>(0644);

std::mutex openKeysMutex;
std::set<const RegistryKey*> openKeys;

bool isHive(const RegistryKey* key) {
    return key == &classesRoot || key == &localMachine;
}

bool isValidHandle(HKEY key) {
    if (isHive(key)) {
        return true;
    }
    std::lock_guard lock(openKeysMutex);
    return openKeys.count(key) != 0;
}

HKEY newOpenKey(RegistryKey key) {
    auto* opened = new RegistryKey(std::move(key));
    std::lock_guard lock(openKeysMutex);
    openKeys.insert(opened);
    return opened;
}

LSTATUS statusOf(const std::error_code& error, LSTATUS otherwise) {
    switch (error.value()) {
        case ENOENT:
        case ENOTDIR:
            return ERROR_FILE_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR:
        case EEXIST:
        case ENOTEMPTY:
            return ERROR_ACCESS_DENIED;
        case ENOMEM:
            return ERROR_OUTOFMEMORY;
        case ENOSPC:
        case EDQUOT:
            return ERROR_DISK_FULL;
        default:
            return otherwise;
    }
}

fs::path keyDirectory(const RegistryKey& key) {
    fs::path dir = fs::path(registryRoot()) / key.hive;
    if (!key.path.empty()) {
        dir /= key.path;
    }
    return dir;
}

bool isStorableName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos;
}

// Splits a backslash-separated key path; false when a component cannot be stored.
bool splitKeyPath(const char* subKey, std::vector<std::string>& components) {
    if (subKey == nullptr || *subKey == '\0') {
        return true;
    }
    std::string_view rest(subKey);
    while (true) {
        const std::size_t separator = rest.find('\\');
        const std::string_view component = rest.substr(0, separator);
        if (!isStorableName(component)) {
            return false;
        }
        components.emplace_back(component);
        if (separator == std::string_view::npos) {
            return true;
        }
        rest.remove_prefix(separator + 1);
    }
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// The on-disk spelling of the entry of dir named name in any letter case, when it exists and is
// a directory (wantDirectory) or a regular file.
std::optional<std::string> findEntry(const fs::path& dir, const std::string& name,
                                     bool wantDirectory) {
    auto hasKind = [wantDirectory](const fs::file_status& status) {
        return wantDirectory ? fs::is_directory(status) : fs::is_regular_file(status);
    };
    std::error_code error;
    if (hasKind(fs::status(dir / name, error))) {
        return name;
    }
    for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
        const std::string candidate = it->path().filename().string();
        if (equalsIgnoringCase(candidate, name) && hasKind(it->status(error))) {
            return candidate;
        }
    }
    return std::nullopt;
}

std::string joinPath(const std::string& parent, const std::string& child) {
    return parent.empty() ? child : parent + "/" + child;
}

// The value's file name, or nothing when the name cannot be stored.
std::optional<std::string> valueFileName(const char* valueName) {
    if (valueName == nullptr || *valueName == '\0') {
        return std::string(kDefaultValueFile);
    }
    const std::string_view name(valueName);
    if (!isStorableName(name) || name == kDefaultValueFile || name.front() == kTemporaryPrefix) {
        return std::nullopt;
    }
    return std::string(name);
}

std::error_code makeDirectory(const fs::path& dir) {
    std::error_code error;
    if (fs::create_directory(dir, error)) {
        fs::permissions(dir, kKeyMode, error);
    }
    return error;
}

// Makes dir and the directories above it that are missing.
std::error_code makeDirectories(const fs::path& dir) {
    std::error_code error;
    const fs::path parent = dir.parent_path();
    if (!parent.empty() && parent != dir && !fs::exists(parent, error)) {
        error = makeDirectories(parent);
    }
    return error ? error : makeDirectory(dir);
}

LSTATUS readFile(const fs::path& file, std::string& bytes) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_CANTREAD;
    }
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return in.bad() ? ERROR_CANTREAD : ERROR_SUCCESS;
}

LSTATUS writeFileReplacing(const fs::path& dir, const std::string& name, const uint8_t* data,
                           uint32_t size) {
    static std::atomic<unsigned> sequence{0};
    char temporaryName[64];
    std::snprintf(temporaryName, sizeof temporaryName, "%c~%d.%u", kTemporaryPrefix,
                  static_cast<int>(getpid()), sequence.fetch_add(1));
    const fs::path temporary = dir / temporaryName;
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) {
            return statusOf(std::error_code(errno, std::generic_category()), ERROR_CANTWRITE);
        }
        out.write(reinterpret_cast<const char*>(data), size);
        out.close();
        std::error_code modeError;
        fs::permissions(temporary, kValueMode, modeError);
        if (!out || modeError) {
            std::error_code ignored;
            fs::remove(temporary, ignored);
            return ERROR_CANTWRITE;
        }
    }
    std::error_code error;
    fs::rename(temporary, dir / name, error);
    if (error) {
        std::error_code ignored;
        fs::remove(temporary, ignored);
        return statusOf(error, ERROR_CANTWRITE);
    }
    return ERROR_SUCCESS;
}

}  // namespace

HKEY const HKEY_CLASSES_ROOT = &classesRoot;
HKEY const HKEY_LOCAL_MACHINE = &localMachine;

std::string registryRoot() {
    const char* root = std::getenv("KRI_REGISTRY_ROOT");
    return root != nullptr && *root != '\0' ? root : kDefaultRoot;
}

namespace {

// Where opening and creating a key start: the key handed in, and the names of the keys below it
// to walk through. The walk goes on only when status is ERROR_SUCCESS.
struct KeyWalk {
    LSTATUS status = ERROR_INVALID_PARAMETER;
    RegistryKey key;
    std::vector<std::string> components;
};

// What opening and creating a key check first: clears *result and splits subKey.
KeyWalk startKeyWalk(HKEY key, const char* subKey, HKEY* result) {
    KeyWalk walk;
    if (result == nullptr) {
        return walk;
    }
    *result = nullptr;
    if (!isValidHandle(key)) {
        walk.status = ERROR_INVALID_HANDLE;
        return walk;
    }
    walk.key = *key;
    if (splitKeyPath(subKey, walk.components)) {
        walk.status = ERROR_SUCCESS;
    }
    return walk;
}

}  // namespace

LSTATUS RegOpenKeyExA(HKEY key, const char* subKey, uint32_t, REGSAM, HKEY* result) {
    auto [status, opened, components] = startKeyWalk(key, subKey, result);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    std::error_code error;
    if (!fs::is_directory(keyDirectory(opened), error)) {
        return ERROR_FILE_NOT_FOUND;
    }
    for (const std::string& component : components) {
        const auto found = findEntry(keyDirectory(opened), component, true);
        if (!found) {
            return ERROR_FILE_NOT_FOUND;
        }
        opened.path = joinPath(opened.path, *found);
    }
    *result = newOpenKey(std::move(opened));
    return ERROR_SUCCESS;
}

LSTATUS RegCreateKeyExA(HKEY key, const char* subKey, REGSAM, HKEY* result, uint32_t* disposition) {
    auto [status, opened, components] = startKeyWalk(key, subKey, result);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    std::error_code error;
    if (!fs::is_directory(keyDirectory(opened), error)) {
        error = makeDirectories(keyDirectory(opened));
    }
    if (error) {
        return statusOf(error, ERROR_CANTWRITE);
    }
    bool created = false;
    for (const std::string& component : components) {
        const fs::path parent = keyDirectory(opened);
        std::string name = component;
        if (const auto found = findEntry(parent, component, true)) {
            name = *found;
        } else {
            error = makeDirectory(parent / name);
            if (error) {
                return statusOf(error, ERROR_CANTWRITE);
            }
            created = true;
        }
        opened.path = joinPath(opened.path, name);
    }
    if (disposition != nullptr) {
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    }
    *result = newOpenKey(std::move(opened));
    return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExA(HKEY key, const char* valueName, uint32_t*, uint32_t* type, uint8_t* data,
                         uint32_t* dataSize) {
    if (!isValidHandle(key)) {
        return ERROR_INVALID_HANDLE;
    }
    if (data != nullptr && dataSize == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    const auto fileName = valueFileName(valueName);
    if (!fileName) {
        return ERROR_FILE_NOT_FOUND;
    }
    const fs::path dir = keyDirectory(*key);
    const auto found = findEntry(dir, *fileName, false);
    if (!found) {
        return ERROR_FILE_NOT_FOUND;
    }
    std::string bytes;
    if (const LSTATUS status = readFile(dir / *found, bytes); status != ERROR_SUCCESS) {
        return status;
    }
    if (bytes.size() > UINT32_MAX) {
        return ERROR_CANTREAD;
    }
    if (type != nullptr) {
        *type = REG_BINARY;
    }
    const auto size = static_cast<uint32_t>(bytes.size());
    if (dataSize == nullptr) {
        return ERROR_SUCCESS;
    }
    const uint32_t capacity = *dataSize;
    *dataSize = size;
    if (data == nullptr) {
        return ERROR_SUCCESS;
    }
    if (size > capacity) {
        return ERROR_MORE_DATA;
    }
    std::memcpy(data, bytes.data(), size);
    return ERROR_SUCCESS;
}

LSTATUS RegSetValueExA(HKEY key, const char* valueName, uint32_t, uint32_t, const uint8_t* data,
                       uint32_t dataSize) {
    if (!isValidHandle(key)) {
        return ERROR_INVALID_HANDLE;
    }
    const auto fileName = valueFileName(valueName);
    if (!fileName || (data == nullptr && dataSize != 0)) {
        return ERROR_INVALID_PARAMETER;
    }
    const fs::path dir = keyDirectory(*key);
    std::error_code error;
    if (!fs::is_directory(dir, error)) {
        return ERROR_FILE_NOT_FOUND;
    }
    const auto existing = findEntry(dir, *fileName, false);
    return writeFileReplacing(dir, existing.value_or(*fileName), data, dataSize);
}

LSTATUS RegDeleteTreeA(HKEY key, const char* subKey) {
    HKEY target = nullptr;
    if (const LSTATUS status = RegOpenKeyExA(key, subKey, 0, KEY_ALL_ACCESS, &target);
        status != ERROR_SUCCESS) {
        return status;
    }
    const fs::path dir = keyDirectory(*target);
    const bool wholeKey = subKey != nullptr && *subKey != '\0';
    RegCloseKey(target);
    std::error_code error;
    if (wholeKey) {
        fs::remove_all(dir, error);
        return error ? statusOf(error, ERROR_CANTWRITE) : ERROR_SUCCESS;
    }
    std::vector<fs::path> entries;
    for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
        entries.push_back(it->path());
    }
    if (error) {
        return statusOf(error, ERROR_CANTREAD);
    }
    for (const fs::path& entry : entries) {
        fs::remove_all(entry, error);
        if (error) {
            return statusOf(error, ERROR_CANTWRITE);
        }
    }
    return ERROR_SUCCESS;
}

std::string registryValueFile(HKEY key, const char* subKey, const char* valueName) {
    HKEY opened = nullptr;
    if (RegOpenKeyExA(key, subKey, 0, KEY_READ, &opened) != ERROR_SUCCESS) {
        return "";
    }
    const fs::path dir = keyDirectory(*opened);
    RegCloseKey(opened);
    const auto fileName = valueFileName(valueName);
    const auto found = fileName ? findEntry(dir, *fileName, false) : std::nullopt;
    return found ? (dir / *found).string() : "";
}

LSTATUS RegCloseKey(HKEY key) {
    if (isHive(key)) {
        return ERROR_SUCCESS;
    }
    {
        std::lock_guard lock(openKeysMutex);
        if (openKeys.erase(key) == 0) {
            return ERROR_INVALID_HANDLE;
        }
    }
    delete key;
    return ERROR_SUCCESS;
}

}  // namespace platform
