// TempRegistry: a registry of the test's own and a fresh temporary directory for the lifetime of
// a test.
//
// Linux (TempRegistryLinux.cpp): the directory is the registry stand-in's root; the constructor
// points KRI_REGISTRY_ROOT at it and the destructor unsets it and removes the directory.
// Windows (TempRegistryWindows.cpp): the registry is the Wine prefix's own, which belongs to the
// build tree, so keys a test writes stay there until the prefix goes; test programs that write
// the same keys take the "registry" lock. The directory holds the test's files and goes with the
// destructor.
// Used on the test's thread, before any other thread of the test reads the registry.
#pragma once

#include <filesystem>
#include <string>

class TempRegistry {
public:
    TempRegistry();
    ~TempRegistry();
    TempRegistry(const TempRegistry&) = delete;
    TempRegistry& operator=(const TempRegistry&) = delete;

    const std::filesystem::path& root() const { return root_; }

    // Writes a value as an operator would with a shell command: relative is the value's path
    // with '/' separators, e.g. "HKEY_LOCAL_MACHINE/SOFTWARE/Config", or a file's below root()
    // (on Windows a path that does not begin with a hive name is a file's).
    void writeFile(const std::string& relative, const std::string& bytes) const;

private:
    std::filesystem::path root_;
};
