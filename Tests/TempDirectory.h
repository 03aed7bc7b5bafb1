// TempDirectory: a directory of its own under the system's temporary directory, made by the
// constructor and removed with all it holds by the destructor.
//
// Owned by one test; not shared between threads.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

class TempDirectory {
public:
    explicit TempDirectory(const char* prefix = "kri-test") {
        std::string pattern =
            std::filesystem::temp_directory_path() / (std::string(prefix) + "-XXXXXX");
        root = mkdtemp(pattern.data());
    }
    ~TempDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;

    const std::string& path() const { return root; }
    std::string operator/(const std::string& name) const { return root + "/" + name; }

private:
    std::string root;
};
