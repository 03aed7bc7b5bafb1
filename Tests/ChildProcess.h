// ChildProcess: a program run as a child process by a test, with its standard output and
// standard error merged and collected line by line. Owned by one test and called from its thread
// only. The child starts with no blocked signals and default handling of SIGINT, SIGTERM and
// SIGPIPE, whatever the test program has done with its own, and inherits the test's environment
// (KRI_REGISTRY_ROOT included) with the extra "NAME=value" entries in place of those it had.
//
// The destructor kills a child that is still running (SIGKILL) and reaps it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class ChildProcess {
public:
    using Milliseconds = std::chrono::milliseconds;

    // Throws std::runtime_error when the program cannot be started.
    ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                 const std::vector<std::string>& environment = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Waits until `count` lines printed so far contain `needle`; whether they came in time.
    bool waitForLines(std::string_view needle, std::size_t count = 1,
                      Milliseconds timeout = Milliseconds(10000));
    std::vector<std::string> linesContaining(std::string_view needle) const;
    const std::vector<std::string>& lines() const { return lines_; }
    // Everything printed so far, with what is waiting in the pipe now, for failure messages.
    std::string output();

    void sendSignal(int signalNumber);
    // Waits for the child to end and reads the rest of its output. The exit status, or 128 plus
    // the signal number that ended it; nothing on time-out.
    std::optional<int> waitForExit(Milliseconds timeout = Milliseconds(10000));

private:
    // Reads what arrives within `timeout`; false once the output has ended.
    bool readOutput(Milliseconds timeout);

    pid_t pid_ = -1;
    int outputPipe_ = -1;
    std::optional<int> exitStatus_;
    std::string partialLine_;
    std::vector<std::string> lines_;
};
