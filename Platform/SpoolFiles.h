// SpoolFiles: the file-system operations of the delivery spool (a directory of journal segment
// files), behind one small interface so that tests can make any of them fail.
//
// linuxSpoolFiles() gives the process's one Linux implementation; a test may pass a wrapper of
// its own to the journal instead. SpoolFilesWrapper and SpoolFileWrapper forward every
// operation to another implementation, so that a wrapper overrides only the operations it
// changes (as LevelDB's EnvWrapper does). Operations return 0 or an errno value; they keep no state
// of their own, so any thread may call them.
//
// Every file is opened without following a symbolic link in its last component, and only a
// regular file is accepted (ELOOP for a link, EINVAL for anything else), so that whoever placed
// an entry in the directory cannot make the caller write elsewhere or block on a FIFO.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
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
    // Through open, size and readAt unless an implementation knows better.
    virtual int readWhole(const std::string& path, std::string& into, size_t maxBytes);
    // Without following a symbolic link.
    virtual int identify(const std::string& path, FileIdentity& identity) = 0;
    virtual int rename(const std::string& from, const std::string& to) = 0;
    virtual int remove(const std::string& path) = 0;
    virtual int syncDirectory(const std::string& directory) = 0;
    // The bytes an unprivileged user may still write on the directory's file system.
    virtual int freeBytes(const std::string& directory, uint64_t& bytes) = 0;
};

SpoolFiles& linuxSpoolFiles();

// A spool file that forwards every operation to the file it owns.
class SpoolFileWrapper : public SpoolFile {
public:
    explicit SpoolFileWrapper(std::unique_ptr<SpoolFile> target) : target_(std::move(target)) {}

    SpoolFile& target() { return *target_; }

    int append(const void* data, size_t length) override { return target_->append(data, length); }
    int writeAt(uint64_t offset, const void* data, size_t length) override {
        return target_->writeAt(offset, data, length);
    }
    int readAt(uint64_t offset, void* into, size_t length) override {
        return target_->readAt(offset, into, length);
    }
    int truncate(uint64_t length) override { return target_->truncate(length); }
    int sync() override { return target_->sync(); }
    uint64_t size() override { return target_->size(); }
    int identify(FileIdentity& identity) override { return target_->identify(identity); }

private:
    std::unique_ptr<SpoolFile> target_;
};

// Spool files that forward every operation to another implementation, which outlives them.
class SpoolFilesWrapper : public SpoolFiles {
public:
    explicit SpoolFilesWrapper(SpoolFiles& target) : target_(target) {}

    SpoolFiles& target() { return target_; }

    std::string checkDirectory(const std::string& directory) override {
        return target_.checkDirectory(directory);
    }
    std::shared_ptr<void> lockDirectory(const std::string& directory, int& error) override {
        return target_.lockDirectory(directory, error);
    }
    int list(const std::string& directory, std::vector<std::string>& names) override {
        return target_.list(directory, names);
    }
    int open(const std::string& path, Opening opening, std::unique_ptr<SpoolFile>& file) override {
        return target_.open(path, opening, file);
    }
    int readWhole(const std::string& path, std::string& into, size_t maxBytes) override {
        return target_.readWhole(path, into, maxBytes);
    }
    int identify(const std::string& path, FileIdentity& identity) override {
        return target_.identify(path, identity);
    }
    int rename(const std::string& from, const std::string& to) override {
        return target_.rename(from, to);
    }
    int remove(const std::string& path) override { return target_.remove(path); }
    int syncDirectory(const std::string& directory) override {
        return target_.syncDirectory(directory);
    }
    int freeBytes(const std::string& directory, uint64_t& bytes) override {
        return target_.freeBytes(directory, bytes);
    }

private:
    SpoolFiles& target_;
};

}  // namespace platform
