// Module file name: the stand-in for GetModuleFileNameA of the program's own file.
//
// Callable from any thread.
#pragma once

#include <cstddef>

namespace platform {

// Writes the full path of the running program into buffer and returns its length. Returns 0
// with the last error set when the path cannot be read or does not fit with its terminator
// (kErrorInsufficientBuffer).
size_t moduleFileName(char* buffer, size_t size);

}  // namespace platform
