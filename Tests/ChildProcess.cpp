#include "Tests/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using Milliseconds = ChildProcess::Milliseconds;

// How long a wait on a log file sleeps before it looks again.
constexpr Milliseconds kLogPollInterval(10);

std::vector<std::string> mergedEnvironment(const std::vector<std::string>& added) {
    std::vector<std::string> merged(added);
    for (char** inherited = environ; *inherited != nullptr; ++inherited) {
        const std::string_view entry(*inherited);
        const std::string_view name = entry.substr(0, entry.find('=') + 1);
        if (std::none_of(added.begin(), added.end(),
                         [&](const std::string& a) { return a.rfind(name, 0) == 0; })) {
            merged.emplace_back(entry);
        }
    }
    return merged;
}

std::vector<char*> pointersTo(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

Milliseconds until(Clock::time_point deadline) {
    return std::max(Milliseconds(0),
                    std::chrono::duration_cast<Milliseconds>(deadline - Clock::now()));
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const std::vector<std::string>& environment)
    : ChildProcess(program, arguments, Options{environment, {}, false}) {}

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const Options& options)
    : options_(options) {
    int pipeEnds[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (options.logFile.empty()) {
        if (pipe2(pipeEnds, O_CLOEXEC) != 0) {
            posix_spawn_file_actions_destroy(&actions);
            throw std::runtime_error(std::string("pipe2: ") + std::strerror(errno));
        }
        posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, options.logFile.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (options.ownProcessGroup) {
        posix_spawnattr_setpgroup(&attributes, 0);
        flags |= POSIX_SPAWN_SETPGROUP;
    }
    posix_spawnattr_setflags(&attributes, flags);

    std::vector<std::string> argumentTexts{program};
    argumentTexts.insert(argumentTexts.end(), arguments.begin(), arguments.end());
    std::vector<std::string> environmentTexts = mergedEnvironment(options.environment);
    std::vector<char*> argv = pointersTo(argumentTexts);
    std::vector<char*> envp = pointersTo(environmentTexts);
    const int failure =
        posix_spawn(&pid_, program.c_str(), &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (pipeEnds[1] >= 0) {
        close(pipeEnds[1]);
    }
    if (failure != 0) {
        if (pipeEnds[0] >= 0) {
            close(pipeEnds[0]);
        }
        pid_ = -1;
        throw std::runtime_error("cannot start " + program + ": " + std::strerror(failure));
    }
    outputPipe_ = pipeEnds[0];
    if (outputPipe_ >= 0) {
        fcntl(outputPipe_, F_SETFL, fcntl(outputPipe_, F_GETFL) | O_NONBLOCK);
    }
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !exitStatus_) {
        kill(options_.ownProcessGroup ? -pid_ : pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (outputPipe_ >= 0) {
        close(outputPipe_);
    }
}

void ChildProcess::takeIn(const char* data, std::size_t size) {
    partialLine_.append(data, size);
    std::size_t start = 0;
    std::size_t end;
    while ((end = partialLine_.find('\n', start)) != std::string::npos) {
        lines_.push_back(partialLine_.substr(start, end - start));
        start = end + 1;
    }
    partialLine_.erase(0, start);
}

bool ChildProcess::readPipe(Milliseconds timeout) {
    if (outputPipe_ < 0) {
        return false;
    }
    pollfd watched{outputPipe_, POLLIN, 0};
    const int ready = poll(&watched, 1, static_cast<int>(timeout.count()));
    if (ready <= 0) {
        return ready == 0 || errno == EINTR;
    }
    char chunk[4096];
    const ssize_t count = read(outputPipe_, chunk, sizeof chunk);
    if (count < 0) {
        return errno == EAGAIN || errno == EINTR;
    }
    if (count == 0) {
        close(outputPipe_);
        outputPipe_ = -1;
        if (!partialLine_.empty()) {
            lines_.push_back(std::move(partialLine_));
            partialLine_.clear();
        }
        return false;
    }
    takeIn(chunk, static_cast<std::size_t>(count));
    return true;
}

void ChildProcess::readLog() {
    std::ifstream log(options_.logFile, std::ios::binary);
    if (!log) {
        return;
    }
    log.seekg(static_cast<std::streamoff>(logOffset_));
    std::ostringstream fresh;
    fresh << log.rdbuf();
    const std::string text = fresh.str();
    logOffset_ += text.size();
    takeIn(text.data(), text.size());
}

bool ChildProcess::collect(Milliseconds timeout) {
    if (options_.logFile.empty()) {
        return readPipe(timeout);
    }
    // Whether the child still runs is asked first: once it has ended, this read takes all.
    const bool alive = running();
    const std::size_t before = lines_.size();
    readLog();
    if (alive && lines_.size() == before) {
        std::this_thread::sleep_for(std::min(timeout, kLogPollInterval));
    }
    return alive;
}

bool ChildProcess::waitForLines(std::string_view needle, std::size_t count, Milliseconds timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    std::size_t scanned = 0;
    std::size_t found = 0;
    bool more = true;
    for (;;) {
        for (; scanned < lines_.size(); ++scanned) {
            found += lines_[scanned].find(needle) != std::string::npos ? 1 : 0;
        }
        if (found >= count) {
            return true;
        }
        const Milliseconds left = until(deadline);
        if (!more || left.count() == 0) {
            return false;
        }
        more = collect(left);
    }
}

std::optional<std::string> ChildProcess::waitForLine(std::string_view needle,
                                                     Milliseconds timeout) {
    if (!waitForLines(needle, 1, timeout)) {
        return std::nullopt;
    }
    return linesContaining(needle).front();
}

std::vector<std::string> ChildProcess::linesContaining(std::string_view needle) const {
    std::vector<std::string> found;
    for (const std::string& line : lines_) {
        if (line.find(needle) != std::string::npos) {
            found.push_back(line);
        }
    }
    return found;
}

const std::vector<std::string>& ChildProcess::lines() {
    if (options_.logFile.empty()) {
        while (readPipe(Milliseconds(0)) && outputPipe_ >= 0) {
            pollfd waiting{outputPipe_, POLLIN, 0};
            if (poll(&waiting, 1, 0) <= 0) {
                break;
            }
        }
    } else {
        readLog();
    }
    return lines_;
}

std::size_t ChildProcess::count(std::string_view needle) {
    lines();
    return linesContaining(needle).size();
}

std::string ChildProcess::output() {
    std::string text;
    for (const std::string& line : lines()) {
        text += line + "\n";
    }
    return text + partialLine_;
}

std::string ChildProcess::tail(std::size_t n) {
    lines();
    std::string text =
        "--- last lines of " +
        (options_.logFile.empty() ? std::string("the output") : options_.logFile.string());
    text += exitStatus_ ? " (ended with status " + std::to_string(*exitStatus_) + ")\n" : "\n";
    for (std::size_t i = lines_.size() > n ? lines_.size() - n : 0; i < lines_.size(); ++i) {
        text += lines_[i] + "\n";
    }
    return text + partialLine_;
}

void ChildProcess::sendSignal(int signalNumber) {
    if (pid_ > 0 && !exitStatus_) {
        kill(pid_, signalNumber);
    }
}

bool ChildProcess::running() {
    if (exitStatus_) {
        return false;
    }
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) != pid_) {
        return true;
    }
    exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return false;
}

std::optional<int> ChildProcess::waitForExit(Milliseconds timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    while (running()) {
        const Milliseconds left = until(deadline);
        if (left.count() == 0) {
            return std::nullopt;
        }
        // The pipe is read meanwhile, so that a child with much to say is never stuck on it.
        if (!collect(std::min(left, Milliseconds(20)))) {
            std::this_thread::sleep_for(Milliseconds(5));
        }
    }
    // The child has ended: its output ends once the pipe is drained.
    const Clock::time_point drainDeadline = Clock::now() + Milliseconds(1000);
    while (collect(Milliseconds(50)) && Clock::now() < drainDeadline) {
    }
    return exitStatus_;
}

bool ChildProcess::groupAlive() const {
    return kill(-pid_, 0) == 0 || errno != ESRCH;
}
