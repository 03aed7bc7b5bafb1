#include "Platform/SpoolFiles.h"

#include <cerrno>

namespace platform {

int SpoolFiles::readWhole(const std::string& path, std::string& into, size_t maxBytes) {
    std::unique_ptr<SpoolFile> file;
    if (const int error = open(path, Opening::kReadOnly, file); error != 0) {
        return error;
    }
    const uint64_t size = file->size();
    if (size > maxBytes) {
        return EFBIG;
    }
    into.resize(size);
    return file->readAt(0, into.data(), into.size());
}

}  // namespace platform
