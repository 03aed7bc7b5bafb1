#include "LibraryInterfaces/XMLSrc.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "LibraryInterfaces/XMLException.h"

std::string CFileXMLSrc::Describe() const {
    return "file '" + std::string(filePath.c_str()) + "'";
}

std::string CFileXMLSrc::ReadAll() const {
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(filePath.c_str(), "rb"), std::fclose);
    if (!file) {
        throw CXMLException("CFileXMLSrc::ReadAll(): Unable to open " + Describe() + ": " +
                            std::strerror(errno) + ".");
    }
    std::string text;
    char buffer[8192];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) {
        text.append(buffer, got);
    }
    if (std::ferror(file.get())) {
        throw CXMLException("CFileXMLSrc::ReadAll(): Unable to read " + Describe() + ": " +
                            std::strerror(errno) + ".");
    }
    return text;
}
