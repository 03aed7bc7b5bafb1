#include "LibraryInterfaces/XMLSrc.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

#include "LibraryInterfaces/XMLException.h"

std::string CFileXMLSrc::Describe() const {
    return "file '" + std::string(filePath.c_str()) + "'";
}

std::string CFileXMLSrc::ReadAll() const {
    // Opening a FIFO would wait for a writer and a device may never end: only a regular file
    // (or a link to one) is read.
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(filePath.c_str(), error);
    if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
        throw CXMLException("CFileXMLSrc::ReadAll(): Unable to read " + Describe() +
                            ": not a regular file.");
    }
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(filePath.c_str(), "rb"), std::fclose);
    if (!file) {
        throw CXMLException("CFileXMLSrc::ReadAll(): Unable to open " + Describe() + ": " +
                            std::strerror(errno) + ".");
    }
    std::string text;
    char buffer[8192];
    size_t got = 0;
    while (text.size() <= kMaxTextBytes &&
           (got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) {
        text.append(buffer, got);
    }
    if (std::ferror(file.get())) {
        throw CXMLException("CFileXMLSrc::ReadAll(): Unable to read " + Describe() + ": " +
                            std::strerror(errno) + ".");
    }
    return text;
}
