#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "Platform/CrashFile.h"

namespace platform {

namespace {

std::mutex pathLock;

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

bool runtimeTypeName(const std::type_info& type, std::string& name) {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> demangled(
        abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), std::free);
    if (status != 0 || demangled == nullptr) {
        return false;
    }
    name = demangled.get();
    return true;
}

}  // namespace platform
