#include <cstdlib>
#include <fstream>

#include "Tests/TempDirectory.h"
#include "Tests/TempRegistry.h"

TempRegistry::TempRegistry() : root_(TempDirectory::makeUnique("kri-registry")) {
    setenv("KRI_REGISTRY_ROOT", root_.c_str(), 1);
}

TempRegistry::~TempRegistry() {
    unsetenv("KRI_REGISTRY_ROOT");
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

void TempRegistry::writeFile(const std::string& relative, const std::string& bytes) const {
    const std::filesystem::path file = root_ / relative;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << bytes;
}
