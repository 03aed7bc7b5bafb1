// StatusFiles: the files the service publishes for other programs (its status, its Prometheus
// counters) and the reading of them by `KriAtmnSvc -status`, done so that no link or special
// file planted in their directory is followed.
//
// Stateless; callable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace platform {

// Replaces the file at path with text, as a whole: a new file made exclusively in the same
// directory (never a fixed name, never through a link), given mode, written and renamed over
// path, so that a reader sees the old file or the new one. The directory must be a directory
// of this process's user or of root that others cannot write to. Empty on success, else the
// reason, naming the path.
std::string replaceFile(const std::string& path, const std::string& text, uint32_t mode);

struct FileRead {
    std::optional<std::string> text;  // the content, when it could be read
    bool missing = false;             // nothing of that name
    std::string reason;               // why it could not be read, naming the path
};

// Reads at most maxBytes of the regular file at path. A link, a FIFO or a device is refused
// without being opened for reading, so that the read never blocks.
FileRead readRegularFile(const std::string& path, size_t maxBytes);

}  // namespace platform
