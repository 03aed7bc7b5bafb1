// ChildProcess on Linux: posix_spawn, a pipe read with poll, signals and waitpid.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "Tests/ChildProcess.h"

extern char** environ;

struct ChildProcess::Native {
    pid_t pid = -1;
    int outputPipe = -1;
    int inputPipe = -1;
};

namespace {

std::vector<std::string> mergedEnvironment(const std::vector<std::string>& added,
                                           const std::vector<std::string>& leftOut) {
    std::vector<std::string> merged(added);
    for (char** inherited = environ; *inherited != nullptr; ++inherited) {
        const std::string_view entry(*inherited);
        const std::string_view name = entry.substr(0, entry.find('=') + 1);
        if (std::none_of(added.begin(), added.end(),
                         [&](const std::string& a) { return a.rfind(name, 0) == 0; }) &&
            std::none_of(leftOut.begin(), leftOut.end(),
                         [&](const std::string& prefix) { return name.rfind(prefix, 0) == 0; })) {
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

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const Options& options)
    : options_(options), native_(std::make_unique<Native>()), logOffset_(logStart(options)) {
    int pipeEnds[2] = {-1, -1};
    int inputEnds[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!options.inputPipe) {
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    } else if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, inputEnds) == 0) {
        posix_spawn_file_actions_adddup2(&actions, inputEnds[0], 0);
    } else {
        posix_spawn_file_actions_destroy(&actions);
        throw std::runtime_error(std::string("socketpair: ") + std::strerror(errno));
    }
    if (options.logFile.empty()) {
        if (pipe2(pipeEnds, O_CLOEXEC) != 0) {
            posix_spawn_file_actions_destroy(&actions);
            throw std::runtime_error(std::string("pipe2: ") + std::strerror(errno));
        }
        posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
    } else {
        posix_spawn_file_actions_addopen(
            &actions, 1, options.logFile.c_str(),
            O_WRONLY | O_CREAT | (options.appendToLog ? O_APPEND : O_TRUNC), 0644);
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
    std::vector<std::string> environmentTexts =
        mergedEnvironment(options.environment, options.withoutInherited);
    std::vector<char*> argv = pointersTo(argumentTexts);
    std::vector<char*> envp = pointersTo(environmentTexts);
    pid_t child = -1;
    const int failure =
        posix_spawn(&child, program.c_str(), &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    for (const int childEnd : {pipeEnds[1], inputEnds[0]}) {
        if (childEnd >= 0) {
            close(childEnd);
        }
    }
    if (failure != 0) {
        for (const int ownEnd : {pipeEnds[0], inputEnds[1]}) {
            if (ownEnd >= 0) {
                close(ownEnd);
            }
        }
        throw std::runtime_error("cannot start " + program + ": " + std::strerror(failure));
    }
    native_->pid = child;
    pid_ = child;
    native_->outputPipe = pipeEnds[0];
    native_->inputPipe = inputEnds[1];
    if (native_->outputPipe >= 0) {
        fcntl(native_->outputPipe, F_SETFL, fcntl(native_->outputPipe, F_GETFL) | O_NONBLOCK);
    }
}

ChildProcess::~ChildProcess() {
    if (native_->pid > 0 && !exitStatus_) {
        kill(options_.ownProcessGroup ? -native_->pid : native_->pid, SIGKILL);
        waitpid(native_->pid, nullptr, 0);
    }
    if (native_->outputPipe >= 0) {
        close(native_->outputPipe);
    }
    if (native_->inputPipe >= 0) {
        close(native_->inputPipe);
    }
}

bool ChildProcess::writeInput(std::string_view text) {
    while (!text.empty() && native_->inputPipe >= 0) {
        const ssize_t written = send(native_->inputPipe, text.data(), text.size(), MSG_NOSIGNAL);
        if (written < 0 && errno != EINTR) {
            return false;
        }
        text.remove_prefix(written > 0 ? static_cast<std::size_t>(written) : 0);
    }
    return text.empty();
}

bool ChildProcess::readPipe(Milliseconds timeout) {
    if (native_->outputPipe < 0) {
        return false;
    }
    pollfd watched{native_->outputPipe, POLLIN, 0};
    const int ready = poll(&watched, 1, static_cast<int>(timeout.count()));
    if (ready <= 0) {
        return ready == 0 || errno == EINTR;
    }
    char chunk[4096];
    const ssize_t count = read(native_->outputPipe, chunk, sizeof chunk);
    if (count < 0) {
        return errno == EAGAIN || errno == EINTR;
    }
    if (count == 0) {
        close(native_->outputPipe);
        native_->outputPipe = -1;
        pipeEnded();
        return false;
    }
    takeIn(chunk, static_cast<std::size_t>(count));
    return true;
}

void ChildProcess::drainPipe() {
    while (readPipe(Milliseconds(0)) && native_->outputPipe >= 0) {
        pollfd waiting{native_->outputPipe, POLLIN, 0};
        if (poll(&waiting, 1, 0) <= 0) {
            break;
        }
    }
}

void ChildProcess::sendSignal(int signalNumber) {
    if (native_->pid > 0 && !exitStatus_) {
        kill(native_->pid, signalNumber);
    }
}

bool ChildProcess::running() {
    if (exitStatus_) {
        return false;
    }
    int status = 0;
    if (waitpid(native_->pid, &status, WNOHANG) != native_->pid) {
        return true;
    }
    exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return false;
}

bool ChildProcess::groupAlive() const {
    return kill(-native_->pid, 0) == 0 || errno != ESRCH;
}
