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
#include <stdexcept>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const std::vector<std::string>& environment) {
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0) {
        throw std::runtime_error(std::string("pipe2: ") + std::strerror(errno));
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 2);
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
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<std::string> copies{program};
    copies.insert(copies.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : copies) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> variables(environment);
    for (char** inherited = environ; *inherited != nullptr; ++inherited) {
        const std::string_view entry(*inherited);
        const std::string_view name = entry.substr(0, entry.find('=') + 1);
        if (std::none_of(environment.begin(), environment.end(),
                         [&](const std::string& e) { return e.rfind(name, 0) == 0; })) {
            variables.emplace_back(entry);
        }
    }
    std::vector<char*> envp;
    for (std::string& variable : variables) {
        envp.push_back(variable.data());
    }
    envp.push_back(nullptr);
    const int failure =
        posix_spawn(&pid_, program.c_str(), &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(pipeEnds[1]);
    if (failure != 0) {
        close(pipeEnds[0]);
        pid_ = -1;
        throw std::runtime_error("cannot start " + program + ": " + std::strerror(failure));
    }
    outputPipe_ = pipeEnds[0];
    fcntl(outputPipe_, F_SETFL, fcntl(outputPipe_, F_GETFL) | O_NONBLOCK);
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !exitStatus_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (outputPipe_ >= 0) {
        close(outputPipe_);
    }
}

bool ChildProcess::readOutput(Milliseconds timeout) {
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
    partialLine_.append(chunk, static_cast<std::size_t>(count));
    std::size_t end;
    while ((end = partialLine_.find('\n')) != std::string::npos) {
        lines_.push_back(partialLine_.substr(0, end));
        partialLine_.erase(0, end + 1);
    }
    return true;
}

bool ChildProcess::waitForLines(std::string_view needle, std::size_t count, Milliseconds timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        if (linesContaining(needle).size() >= count) {
            return true;
        }
        const auto left = std::chrono::duration_cast<Milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || !readOutput(left)) {
            return linesContaining(needle).size() >= count;
        }
    }
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

std::string ChildProcess::output() {
    while (readOutput(Milliseconds(0)) && outputPipe_ >= 0) {
        pollfd waiting{outputPipe_, POLLIN, 0};
        if (poll(&waiting, 1, 0) <= 0) {
            break;
        }
    }
    std::string text;
    for (const std::string& line : lines_) {
        text += line + "\n";
    }
    return text + partialLine_;
}

void ChildProcess::sendSignal(int signalNumber) {
    if (pid_ > 0 && !exitStatus_) {
        kill(pid_, signalNumber);
    }
}

std::optional<int> ChildProcess::waitForExit(Milliseconds timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    while (!exitStatus_) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        const auto left = std::chrono::duration_cast<Milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return std::nullopt;
        }
        if (!readOutput(std::min(left, Milliseconds(20)))) {
            usleep(5000);
        }
    }
    // The child has ended: its output ends once the pipe is drained.
    const Clock::time_point drainDeadline = Clock::now() + Milliseconds(1000);
    while (outputPipe_ >= 0 && Clock::now() < drainDeadline) {
        readOutput(Milliseconds(50));
    }
    return exitStatus_;
}
