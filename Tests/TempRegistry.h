// TempRegistry: a registry root in a fresh temporary directory for the lifetime of a test.
//
// Points KRI_REGISTRY_ROOT at the directory on construction and removes both on destruction.
// Used on the test's thread, before any other thread of the test reads the registry.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

class TempRegistry {
public:
    TempRegistry() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kri-registry-XXXXXX");
        root_ = mkdtemp(pattern.data());
        setenv("KRI_REGISTRY_ROOT", root_.c_str(), 1);
    }
    ~TempRegistry() {
        unsetenv("KRI_REGISTRY_ROOT");
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    TempRegistry(const TempRegistry&) = delete;
    TempRegistry& operator=(const TempRegistry&) = delete;

    const std::filesystem::path& root() const { return root_; }

    // Writes a value file directly, as an operator would with a shell command. relative is the
    // value's path below the root with '/' separators, e.g. "HKEY_LOCAL_MACHINE/SOFTWARE/Config".
    void writeFile(const std::string& relative, const std::string& bytes) const {
        const std::filesystem::path file = root_ / relative;
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << bytes;
    }

private:
    std::filesystem::path root_;
};
