#include <fcntl.h>
#include <semaphore.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <vector>

#include "Platform/Clock.h"
#include "Platform/NamedEvent.h"

namespace platform {

namespace {

constexpr std::size_t kMaxNameLength = 250;
// Waits are made of slices of at most this length, so that a step of the wall clock, which the
// semaphore's deadline is measured in, cannot stretch a wait by more than one slice.
constexpr uint32_t kSliceMs = 1000;
constexpr mode_t kMode = 0600;
// Where the service's unit keeps its runtime files (RuntimeDirectory=kriatmnsvc).
constexpr char kServiceDirectory[] = "/run/kriatmnsvc";

// The file of an event: the semaphore, then the process that created it, so that a refusal can
// name the process that holds the event.
struct EventFile {
    sem_t semaphore;
    int32_t owner;
};

bool isAllowedName(const std::string& name) {
    return !name.empty() && name.size() <= kMaxNameLength && name.find('/') == std::string::npos;
}

// The directory of this process's events: the unit's runtime directory or, outside the unit, a
// directory of this user's own in /dev/shm.
std::string eventDirectory() {
    const char* runtime = std::getenv("RUNTIME_DIRECTORY");
    if (runtime != nullptr && *runtime == '/') {
        const std::string first = runtime;
        return first.substr(0, first.find(':'));
    }
    return "/dev/shm/kriatmnsvc-" + std::to_string(geteuid());
}

std::string fileOf(const std::string& directory, const std::string& name) {
    return directory + "/" + name;
}

sem_t* semaphoreOf(void* semaphore) {
    return &static_cast<EventFile*>(semaphore)->semaphore;
}

timespec wallClockAfter(uint32_t ms) {
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += ms / 1000;
    deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    return deadline;
}

std::string errorText() {
    return std::strerror(errno);
}

// What makes the file unfit to be this process's semaphore; empty when nothing does. A file of
// the wrong size is never mapped: touching it past its end would raise SIGBUS.
std::string flawOf(const struct stat& info) {
    if (!S_ISREG(info.st_mode)) {
        return "is not a regular file";
    }
    if (info.st_uid != geteuid()) {
        return "belongs to user " + std::to_string(info.st_uid) + ", not to this process's user " +
               std::to_string(geteuid());
    }
    if ((info.st_mode & 07777) != kMode) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
        return std::string("has mode ") + mode + ", not 0600";
    }
    if (info.st_size != static_cast<off_t>(sizeof(EventFile))) {
        return "has " + std::to_string(info.st_size) + " bytes, not " +
               std::to_string(sizeof(EventFile));
    }
    return "";
}

// Maps the event of an open file of the right size.
void* mapSemaphore(int fd) {
    void* mapped = mmap(nullptr, sizeof(EventFile), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return mapped == MAP_FAILED ? nullptr : mapped;
}

// The process recorded in an event file, as text; "unknown" when it cannot be read.
std::string ownerOf(int fd) {
    int32_t owner = 0;
    if (pread(fd, &owner, sizeof owner, offsetof(EventFile, owner)) != sizeof owner || owner <= 0) {
        return "unknown";
    }
    return std::to_string(owner);
}

// Makes sure the directory of this process's events exists and that nobody but this process's
// user can change what is in it: a directory (not a link) of this user, writable by no one else.
std::string privateDirectoryFlaw(const std::string& directory) {
    if (mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
        return "cannot create " + directory + ": " + errorText();
    }
    struct stat info {};
    if (lstat(directory.c_str(), &info) != 0) {
        return directory + " cannot be examined: " + errorText();
    }
    if (!S_ISDIR(info.st_mode)) {
        return directory + " is not a directory";
    }
    if (info.st_uid != geteuid()) {
        return directory + " belongs to user " + std::to_string(info.st_uid) +
               ", not to this process's user " + std::to_string(geteuid()) +
               " (someone else made it; it is not used)";
    }
    if ((info.st_mode & 0022) != 0) {
        return directory + " is writable by group or others";
    }
    return "";
}

// When this process runs outside the unit: the refusal to run beside the unit's service, which
// holds its event in kServiceDirectory. Empty when that event is not held (or cannot be looked
// at, as by a user who could not use the service's configuration either).
std::string serviceHolding(const std::string& name) {
    const std::string path = fileOf(kServiceDirectory, name);
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return "";
    }
    struct stat info {};
    std::string refusal;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && flock(fd, LOCK_SH | LOCK_NB) != 0 &&
        errno == EWOULDBLOCK) {
        refusal = "the service KriAtmn runs (process " + ownerOf(fd) + " holds " + path +
                  "); stop it first (systemctl stop KriAtmn) rather than run a second instance";
    }
    close(fd);
    return refusal;
}

// Removes the file at path when it is still the file open as fd.
void unlinkIfSame(int fd, const std::string& path) {
    struct stat held {};
    struct stat named {};
    if (fstat(fd, &held) == 0 && lstat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
        held.st_ino == named.st_ino) {
        unlink(path.c_str());
    }
}

// The files of the events this process owns. A process that ends through exit() without
// destroying its events still removes their names; a child forked from it does not.
class OwnedFiles {
public:
    static OwnedFiles& instance() {
        // Never destroyed, so that an event destroyed during the exit still finds it.
        static OwnedFiles* files = [] {
            auto* created = new OwnedFiles;
            std::atexit([] { OwnedFiles::instance().removeAll(); });
            return created;
        }();
        return *files;
    }

    void add(int fd, const std::string& path) {
        std::lock_guard<std::mutex> guard(lock);
        files.push_back({fd, path, getpid()});
    }

    // Removes the name of the file open as fd and closes it.
    void release(int fd) {
        std::lock_guard<std::mutex> guard(lock);
        const auto owned =
            std::find_if(files.begin(), files.end(), [fd](const File& f) { return f.fd == fd; });
        if (owned != files.end()) {
            unlinkIfSame(fd, owned->path);
            files.erase(owned);
        }
        close(fd);
    }

private:
    struct File {
        int fd;
        std::string path;
        pid_t owner;  // the process that created the event
    };

    void removeAll() {
        std::lock_guard<std::mutex> guard(lock);
        for (const File& file : files) {
            if (file.owner == getpid()) {
                unlinkIfSame(file.fd, file.path);
            }
        }
        files.clear();
    }

    std::mutex lock;
    std::vector<File> files;
};

// Clears the way for a new event at path: nothing there, or a file of this user's from an
// earlier run that no process holds, which is removed. Otherwise the reason it cannot be
// replaced.
std::string clearStaleFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            return "";
        }
        const std::string openError = errorText();
        struct stat info {};
        if (lstat(path.c_str(), &info) == 0) {
            const std::string flaw = S_ISLNK(info.st_mode) ? "is a symbolic link" : flawOf(info);
            if (!flaw.empty()) {
                return path + " " + flaw;
            }
        }
        return path + " cannot be opened: " + openError;
    }
    struct stat info {};
    std::string refusal;
    if (fstat(fd, &info) != 0) {
        refusal = path + " cannot be examined: " + errorText();
    } else if (const std::string flaw = flawOf(info); !flaw.empty()) {
        refusal = path + " " + flaw;
    } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        refusal = path + " is held by another running process (process " + ownerOf(fd) +
                  "): another instance runs; stop it first";
    } else if (unlink(path.c_str()) != 0 && errno != ENOENT) {
        refusal = path + " is left from an earlier run and cannot be removed: " + errorText();
    }
    close(fd);
    return refusal;
}

// Makes a new semaphore, locked, under a temporary name and then links it to path, which fails
// when path exists: whoever links first owns the event. The descriptor and mapping on success.
std::string createLocked(const std::string& path, int& lockFd, void*& mapped) {
    std::string temporary = path + ".XXXXXX";
    const int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        return "cannot create " + temporary + ": " + errorText();
    }
    std::string refusal;
    void* semaphore = nullptr;
    if (fchmod(fd, kMode) != 0 || ftruncate(fd, sizeof(EventFile)) != 0 ||
        (semaphore = mapSemaphore(fd)) == nullptr || sem_init(semaphoreOf(semaphore), 1, 0) != 0 ||
        flock(fd, LOCK_EX | LOCK_NB) != 0) {
        refusal = "cannot prepare " + temporary + ": " + errorText();
    } else {
        static_cast<EventFile*>(semaphore)->owner = getpid();
        if (link(temporary.c_str(), path.c_str()) != 0) {
            refusal = errno == EEXIST ? path + " was created by another process at the same moment"
                                      : "cannot create " + path + ": " + errorText();
        }
    }
    unlink(temporary.c_str());
    if (!refusal.empty()) {
        if (semaphore != nullptr) {
            munmap(semaphore, sizeof(EventFile));
        }
        close(fd);
        return refusal;
    }
    lockFd = fd;
    mapped = semaphore;
    return "";
}

}  // namespace

std::unique_ptr<NamedEvent> NamedEvent::create(const std::string& name, std::string* refusal) {
    int lockFd = -1;
    void* semaphore = nullptr;
    const std::string directory = eventDirectory();
    const std::string path = fileOf(directory, name);
    std::string why = isAllowedName(name) ? "" : "the name \"" + name + "\" is not allowed";
    if (why.empty() && directory != kServiceDirectory) {
        why = serviceHolding(name);
    }
    if (why.empty()) {
        why = privateDirectoryFlaw(directory);
    }
    if (why.empty()) {
        why = clearStaleFile(path);
    }
    if (why.empty()) {
        why = createLocked(path, lockFd, semaphore);
    }
    if (!why.empty()) {
        if (refusal != nullptr) {
            *refusal = why;
        }
        return nullptr;
    }
    OwnedFiles::instance().add(lockFd, path);
    return std::unique_ptr<NamedEvent>(new NamedEvent(name, semaphore, lockFd));
}

std::unique_ptr<NamedEvent> NamedEvent::open(const std::string& name) {
    if (!isAllowedName(name)) {
        return nullptr;
    }
    const int fd = ::open(fileOf(eventDirectory(), name).c_str(),
                          O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    struct stat info {};
    void* semaphore = nullptr;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
        info.st_size == static_cast<off_t>(sizeof(EventFile))) {
        semaphore = mapSemaphore(fd);
    }
    close(fd);
    if (semaphore == nullptr) {
        return nullptr;
    }
    return std::unique_ptr<NamedEvent>(new NamedEvent(name, semaphore, -1));
}

NamedEvent::~NamedEvent() {
    munmap(semaphore_, sizeof(EventFile));
    if (lockFd_ >= 0) {
        OwnedFiles::instance().release(lockFd_);
    }
}

bool NamedEvent::set() {
    // Two processes setting at the same moment may both see 0 and leave a count of 2; the
    // waiter then finds the event set once more, which a stop request tolerates.
    int value = 0;
    if (sem_getvalue(semaphoreOf(semaphore_), &value) == 0 && value > 0) {
        return true;
    }
    return sem_post(semaphoreOf(semaphore_)) == 0;
}

NamedEvent::WaitResult NamedEvent::wait(uint32_t timeoutMs) {
    const uint32_t started = tickCount();
    for (;;) {
        uint32_t slice = kSliceMs;
        if (timeoutMs != kInfinite) {
            const uint32_t elapsed = tickCount() - started;
            if (elapsed >= timeoutMs) {
                return sem_trywait(semaphoreOf(semaphore_)) == 0 ? WaitResult::kSignalled
                                                                 : WaitResult::kTimedOut;
            }
            slice = std::min(slice, timeoutMs - elapsed);
        }
        const timespec deadline = wallClockAfter(slice);
        if (sem_timedwait(semaphoreOf(semaphore_), &deadline) == 0) {
            return WaitResult::kSignalled;
        }
        if (errno != ETIMEDOUT && errno != EINTR) {
            return WaitResult::kFailed;
        }
    }
}

}  // namespace platform
