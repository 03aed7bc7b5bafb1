// ChildProcess: a program run as a child process by a test, with its standard output and
// standard error merged and collected line by line. Owned by one test and called from its thread
// only. The child's standard input is the null device, or a pipe the test writes to; it inherits
// the test's environment (KRI_REGISTRY_ROOT included) with the extra "NAME=value" entries in
// place of those it had, less the variables the test leaves out.
//
// The output goes to a pipe that the runner reads while it waits, or, with a log file, to that
// file, which is re-read on demand so that the child never waits for the test to read. A child
// may lead a process group of its own. The destructor kills a child that is still running, with
// its group if it has one, and reaps it.
//
// What differs between the systems lives in ChildProcessLinux.cpp and ChildProcessWindows.cpp:
// - Linux: posix_spawn; the input pipe is a socket pair, so that writing to a child that has
//   ended fails instead of raising SIGPIPE in the test. The child starts with no blocked signals
//   and default handling of SIGINT, SIGTERM and SIGPIPE, whatever the test program has done with
//   its own. Its group is a process group, killed with SIGKILL.
// - Windows: CreateProcessW, the arguments quoted as the C runtime splits them. Its group is a
//   job object that ends when the runner closes it. sendSignal knows SIGTERM only, which ends
//   the child with TerminateProcess and the status 128 + SIGTERM, as the signal would on Linux;
//   Windows has no other signal to send to another process.
//
// The runner of the receiver (AggrReceiverProcess.h) and of the fault suite's processes
// (FaultSupport.h) build on this one.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class ChildProcess {
public:
    using Milliseconds = std::chrono::milliseconds;

    struct Options {
        std::vector<std::string> environment;
        // Empty: the output goes to a pipe. Otherwise the file it is written to (truncated, or
        // with appendToLog after what it held; the lines are the child's own in either case).
        std::filesystem::path logFile;
        bool ownProcessGroup = false;
        // Standard input is a pipe that writeInput fills.
        bool inputPipe = false;
        // Inherited variables whose names begin with one of these are left out.
        std::vector<std::string> withoutInherited = {};
        bool appendToLog = false;
    };

    // Throws std::runtime_error when the program cannot be started.
    ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                 const Options& options);
    ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                 const std::vector<std::string>& environment = {});
    virtual ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    std::int64_t pid() const { return pid_; }

    // Waits until `count` lines printed so far contain `needle`; whether they came in time.
    // Returns early, with false, once the output has ended without them.
    bool waitForLines(std::string_view needle, std::size_t count = 1,
                      Milliseconds timeout = Milliseconds(10000));
    // The first line that contains `needle`, once there is one; nothing as for waitForLines.
    std::optional<std::string> waitForLine(std::string_view needle,
                                           Milliseconds timeout = Milliseconds(10000));
    // The lines taken in so far that contain `needle`.
    std::vector<std::string> linesContaining(std::string_view needle) const;
    // These three first take in the output that is there now.
    const std::vector<std::string>& lines();
    std::size_t count(std::string_view needle);
    // Everything printed so far, for failure messages.
    std::string output();
    // The last `n` lines, for failure messages.
    std::string tail(std::size_t n = 40);

    // Writes to the child's input pipe; false when it could not be written whole (no pipe, or
    // the child has closed it).
    bool writeInput(std::string_view text);
    void sendSignal(int signalNumber);
    // Waits for the child to end and takes in the rest of its output. The exit status, or 128
    // plus the signal number that ended it; nothing on time-out.
    std::optional<int> waitForExit(Milliseconds timeout = Milliseconds(10000));
    bool running();
    // Whether any process of the child's group is still there (after waitForExit).
    bool groupAlive() const;

private:
    // Takes in the output that arrives within `timeout`; false once all of it has been taken in
    // (the pipe has ended, or the child has ended and its log has been read to the end).
    bool collect(Milliseconds timeout);
    // One read from the pipe, waiting up to `timeout`; false once it has ended.
    bool readPipe(Milliseconds timeout);
    // Reads what the pipe holds now, without waiting.
    void drainPipe();
    // The pipe has ended (and is closed): keeps an unfinished last line as a line.
    void pipeEnded();
    void readLog();
    // Where the child's output begins in its log file.
    static std::uintmax_t logStart(const Options& options);
    void takeIn(const char* data, std::size_t size);

    // The process, its pipe and its group, as the system has them.
    struct Native;

    std::int64_t pid_ = -1;
    Options options_;
    std::unique_ptr<Native> native_;
    std::uintmax_t logOffset_ = 0;
    std::optional<int> exitStatus_;
    std::string partialLine_;
    std::vector<std::string> lines_;
};
