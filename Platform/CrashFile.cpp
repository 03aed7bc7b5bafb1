#include "Platform/CrashFile.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#if defined(__GNUC__)
#include <cxxabi.h>
#endif

namespace platform {

namespace {

std::mutex pathLock;

// kDefaultCrashFilePath, "/MarpoCrashes.txt", names the file in the root directory, and on
// Windows the root of the current drive: Windows takes a leading slash as it takes a backslash.
std::string& path() {
    static std::string* crashPath = new std::string(kDefaultCrashFilePath);
    return *crashPath;
}

}  // namespace

std::string crashFilePath() {
    std::lock_guard<std::mutex> guard(pathLock);
    return path();
}

void setCrashFilePath(const std::string& newPath) {
    std::lock_guard<std::mutex> guard(pathLock);
    path() = newPath;
}

bool appendCrashLine(const std::string& line) {
    std::FILE* file = std::fopen(crashFilePath().c_str(), "a");
    if (file == nullptr) {
        return false;
    }
    std::fputs(line.c_str(), file);
    std::fputc('\n', file);
    std::fclose(file);
    return true;
}

// g++'s names (MinGW's too) are mangled; MSVC's are readable already, behind "class " or
// "struct ".
bool runtimeTypeName(const std::type_info& type, std::string& name) {
#if defined(__GNUC__)
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> demangled(
        abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), std::free);
    if (status != 0 || demangled == nullptr) {
        return false;
    }
    name = demangled.get();
#else
    std::string readable = type.name();
    for (const char* prefix : {"class ", "struct ", "union ", "enum "}) {
        if (readable.rfind(prefix, 0) == 0) {
            readable.erase(0, std::strlen(prefix));
            break;
        }
    }
    if (readable.empty()) {
        return false;
    }
    name = readable;
#endif
    return true;
}

}  // namespace platform
