#include <windows.h>

#include <fstream>
#include <stdexcept>

#include "Tests/TempDirectory.h"
#include "Tests/TempRegistry.h"

namespace {

// The hive a value path begins with ("HKEY_LOCAL_MACHINE/..."), or null for a file's path.
HKEY hiveOf(const std::string& relative, std::string& rest) {
    for (const auto& [name, hive] : {std::pair{"HKEY_LOCAL_MACHINE/", HKEY_LOCAL_MACHINE},
                                     std::pair{"HKEY_CLASSES_ROOT/", HKEY_CLASSES_ROOT}}) {
        if (relative.rfind(name, 0) == 0) {
            rest = relative.substr(std::char_traits<char>::length(name));
            return hive;
        }
    }
    return nullptr;
}

}  // namespace

TempRegistry::TempRegistry() : root_(TempDirectory::makeUnique("kri-registry")) {}

TempRegistry::~TempRegistry() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

void TempRegistry::writeFile(const std::string& relative, const std::string& bytes) const {
    std::string path;
    const HKEY hive = hiveOf(relative, path);
    if (hive == nullptr) {
        const std::filesystem::path file = root_ / relative;
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << bytes;
        return;
    }
    const size_t lastSlash = path.rfind('/');
    std::string keyPath = path.substr(0, lastSlash == std::string::npos ? 0 : lastSlash);
    for (char& c : keyPath) {
        c = c == '/' ? '\\' : c;
    }
    const std::string valueName =
        lastSlash == std::string::npos ? path : path.substr(lastSlash + 1);
    HKEY key = nullptr;
    if (RegCreateKeyExA(hive, keyPath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                        nullptr, &key, nullptr) != ERROR_SUCCESS) {
        throw std::runtime_error("TempRegistry: cannot create the key " + keyPath);
    }
    const LSTATUS status = RegSetValueExA(key, valueName.c_str(), 0, REG_SZ,
                                          reinterpret_cast<const BYTE*>(bytes.data()),
                                          static_cast<DWORD>(bytes.size()));
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) {
        throw std::runtime_error("TempRegistry: cannot set the value " + relative);
    }
}
