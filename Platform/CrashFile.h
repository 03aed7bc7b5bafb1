// The crash file and run-time type names: the stand-ins for "\MarpoCrashes.txt" in the root of
// the current drive and for the compiler's run-time type names.
//
// Free functions, callable from any thread. The crash file is "/MarpoCrashes.txt" unless the
// process sets another path (tests do, before they start the code that writes to it).
#pragma once

#include <string>
#include <typeinfo>

namespace platform {

constexpr const char* kDefaultCrashFilePath = "/MarpoCrashes.txt";

// The process-wide crash-file path.
std::string crashFilePath();
void setCrashFilePath(const std::string& path);

// Opens the crash file anew in append mode (creating it when missing), writes `line` and a
// newline, and closes it. Returns false, writing nothing, when the file cannot be opened.
bool appendCrashLine(const std::string& line);

// The readable (demangled) name of a type, such as "Reactor" or "(anonymous namespace)::Task".
// Returns false when no name can be determined.
bool runtimeTypeName(const std::type_info& type, std::string& name);

}  // namespace platform
