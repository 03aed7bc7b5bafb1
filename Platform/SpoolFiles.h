// SpoolFiles: the file-system operations of the delivery spool (a directory of journal segment
// files), behind one small interface so that tests can make any of them fail.
//
// linuxSpoolFiles() gives the process's one Linux implementation; a test may pass a wrapper of
// its own to the journal instead. Operations return 0 or an errno value; they keep no state of
// their own, so any thread may call them.
//
// Every file is opened without following a symbolic link in its last component, and only a
// regular file is accepted (ELOOP for a link, EINVAL for anything else), so that whoever placed
// an entry in the directory cannot make the caller write elsewhere or block on a FIFO.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// Which file a name or an open file is, and how many names it has (0: it was deleted).
struct FileIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
    uint64_t links = 0;

    bool sameFile(const FileIdentity& other) const {
        return device == other.device && inode == other.inode;
    }
};

// One open spool file. Appends go to its end, or, for a file opened Opening::kInPlace, writes go
// where writeAt says; reads may be anywhere. Closed when destroyed.
class SpoolFile {
public:
    virtual ~SpoolFile() = default;
    virtual int append(const void* data, size_t length) = 0;
    // Requires: the file was opened Opening::kInPlace.
    virtual int writeAt(uint64_t offset, const void* data, size_t length) = 0;
    // Reads exactly length bytes at offset; EIO when the file is shorter.
    virtual int readAt(uint64_t offset, void* into, size_t length) = 0;
    virtual int truncate(uint64_t length) = 0;
    // fdatasync: the file's data is on the disk.
    virtual int sync() = 0;
    virtual uint64_t size() = 0;
    virtual int identify(FileIdentity& identity) = 0;
};

class SpoolFiles {
public:
    enum class Opening {
        kExisting,  // an existing file, for reading and appending
        kNew,       // made (mode 0600) when missing, for reading and appending
        kInPlace,   // made (mode 0600) when missing, for reading and writeAt
        kReadOnly,  // an existing file, for reading only
    };

    virtual ~SpoolFiles() = default;

    // Makes the directory (mode 0700) when it is missing and its parent exists; then "" when the
    // process may use it, or why it may not: not a directory (a symbolic link is not one), owned
    // by another user, writable by its group or others, or not writable.
    virtual std::string checkDirectory(const std::string& directory) = 0;
    // Takes an advisory lock on the file "lock" in the directory for the life of the returned
    // object; nothing, with the errno value in `error` (EWOULDBLOCK: another process holds it).
    virtual std::shared_ptr<void> lockDirectory(const std::string& directory, int& error) = 0;
    // The names of the directory's entries, "." and ".." left out.
    virtual int list(const std::string& directory, std::vector<std::string>& names) = 0;
    virtual int open(const std::string& path, Opening opening,
                     std::unique_ptr<SpoolFile>& file) = 0;
    // Reads a whole file, opened for reading only; EFBIG when it holds more than maxBytes.
    virtual int readWhole(const std::string& path, std::string& into, size_t maxBytes) = 0;
    // Without following a symbolic link.
    virtual int identify(const std::string& path, FileIdentity& identity) = 0;
    virtual int rename(const std::string& from, const std::string& to) = 0;
    virtual int remove(const std::string& path) = 0;
    virtual int syncDirectory(const std::string& directory) = 0;
    // The bytes an unprivileged user may still write on the directory's file system.
    virtual int freeBytes(const std::string& directory, uint64_t& bytes) = 0;
};

SpoolFiles& linuxSpoolFiles();

}  // namespace platform
