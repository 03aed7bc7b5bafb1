#include "Tests/AggrReceiverProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "Tests/TestCerts.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view kListeningPrefix = "listening on 127.0.0.1:";

}  // namespace

std::vector<std::string> AggrReceiverProcess::testCertArguments() {
    const testcerts::CertFiles& certs = testcerts::testCerts();
    return {"--cert",     certs.serverCert, "--key",     certs.serverKey, "--ca",
            certs.caCert, "--address",      "127.0.0.1", "--port",        "0"};
}

std::unique_ptr<AggrReceiverProcess> AggrReceiverProcess::start(
    const std::vector<std::string>& extraArguments) {
    std::vector<std::string> arguments = testCertArguments();
    arguments.insert(arguments.end(), extraArguments.begin(), extraArguments.end());
    auto receiver = std::make_unique<AggrReceiverProcess>(arguments);
    if (!receiver->waitForLine(kListeningPrefix)) {
        throw std::runtime_error("the receiver did not start:\n" + receiver->output());
    }
    return receiver;
}

AggrReceiverProcess::AggrReceiverProcess(const std::vector<std::string>& arguments) {
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0) {
        throw std::runtime_error(std::string("pipe2: ") + std::strerror(errno));
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 2);

    // The child starts with no blocked signals and default handling of the stop signals,
    // whatever the test program has done with its own.
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

    std::vector<char*> argv;
    std::string program = KRI_AGGR_RECEIVER_PATH;
    argv.push_back(program.data());
    std::vector<std::string> copies(arguments);
    for (std::string& argument : copies) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    int failure = posix_spawn(&pid_, program.c_str(), &actions, &attributes, argv.data(), environ);
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

AggrReceiverProcess::~AggrReceiverProcess() {
    if (pid_ > 0 && !exitStatus_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (outputPipe_ >= 0) {
        close(outputPipe_);
    }
}

bool AggrReceiverProcess::readOutput(Milliseconds timeout) {
    if (outputPipe_ < 0) {
        return false;
    }
    pollfd watched{outputPipe_, POLLIN, 0};
    int ready = poll(&watched, 1, static_cast<int>(timeout.count()));
    if (ready <= 0) {
        return ready == 0 || errno == EINTR;
    }
    char chunk[4096];
    ssize_t count = read(outputPipe_, chunk, sizeof chunk);
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
        std::string line = partialLine_.substr(0, end);
        partialLine_.erase(0, end + 1);
        if (port_ == 0 && line.rfind(kListeningPrefix, 0) == 0) {
            port_ = static_cast<std::uint16_t>(std::stoi(line.substr(kListeningPrefix.size())));
        }
        lines_.push_back(std::move(line));
    }
    return true;
}

std::optional<std::string> AggrReceiverProcess::waitForLine(std::string_view needle,
                                                            Milliseconds timeout) {
    if (!waitForLines(needle, 1, timeout)) {
        return std::nullopt;
    }
    return linesContaining(needle).front();
}

bool AggrReceiverProcess::waitForLines(std::string_view needle, std::size_t count,
                                       Milliseconds timeout) {
    Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        if (linesContaining(needle).size() >= count) {
            return true;
        }
        auto left = std::chrono::duration_cast<Milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || !readOutput(left)) {
            return linesContaining(needle).size() >= count;
        }
    }
}

std::vector<std::string> AggrReceiverProcess::linesContaining(std::string_view needle) const {
    std::vector<std::string> found;
    for (const std::string& line : lines_) {
        if (line.find(needle) != std::string::npos) {
            found.push_back(line);
        }
    }
    return found;
}

std::string AggrReceiverProcess::output() const {
    std::string text;
    for (const std::string& line : lines_) {
        text += line + "\n";
    }
    return text + partialLine_;
}

void AggrReceiverProcess::sendSignal(int signalNumber) {
    if (pid_ > 0 && !exitStatus_) {
        kill(pid_, signalNumber);
    }
}

std::optional<int> AggrReceiverProcess::waitForExit(Milliseconds timeout) {
    Clock::time_point deadline = Clock::now() + timeout;
    while (!exitStatus_) {
        int status = 0;
        pid_t ended = waitpid(pid_, &status, WNOHANG);
        if (ended == pid_) {
            exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        auto left = std::chrono::duration_cast<Milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return std::nullopt;
        }
        if (!readOutput(std::min(left, Milliseconds(20)))) {
            usleep(5000);
        }
    }
    // The process has ended, so its output ends as soon as the pipe is drained.
    Clock::time_point drainDeadline = Clock::now() + Milliseconds(1000);
    while (outputPipe_ >= 0 && Clock::now() < drainDeadline) {
        readOutput(Milliseconds(50));
    }
    return exitStatus_;
}

std::optional<int> AggrReceiverProcess::stop(Milliseconds timeout) {
    sendSignal(SIGTERM);
    return waitForExit(timeout);
}
