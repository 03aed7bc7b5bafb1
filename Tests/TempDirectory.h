// TempDirectory: a directory of its own under the system's temporary directory, made by the
// constructor (readable and writable by its owner only) and removed with all it holds by the
// destructor.
//
// Owned by one test; not shared between threads.
#pragma once

#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>

class TempDirectory {
public:
    explicit TempDirectory(const char* prefix = "kri-test") : root(makeUnique(prefix)) {}
    ~TempDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;

    const std::string& path() const { return root; }
    std::string operator/(const std::string& name) const { return root + "/" + name; }

    // A fresh directory "<prefix>-<random>" under the temporary directory, as mkdtemp makes one:
    // the name is taken by creating it, so two tests never share one.
    static std::string makeUnique(const std::string& prefix) {
        static thread_local std::mt19937_64 random{std::random_device{}()};
        const std::filesystem::path base = std::filesystem::temp_directory_path();
        for (int attempt = 0; attempt < 100; ++attempt) {
            const std::filesystem::path candidate =
                base / (prefix + "-" + std::to_string(random() % 1000000000000u));
            std::error_code error;
            if (std::filesystem::create_directory(candidate, error)) {
                std::filesystem::permissions(candidate, std::filesystem::perms::owner_all,
                                             error);
                return candidate.generic_string();
            }
        }
        throw std::runtime_error("cannot make a temporary directory under " + base.string());
    }

private:
    std::string root;
};
