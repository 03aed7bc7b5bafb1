// The part of ChildProcess that both systems share: collecting the output into lines and
// waiting for them. ChildProcessLinux.cpp and ChildProcessWindows.cpp start, read, signal and
// reap the child.
#include "Tests/ChildProcess.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using Milliseconds = ChildProcess::Milliseconds;

// How long a wait on a log file sleeps before it looks again.
constexpr Milliseconds kLogPollInterval(10);

Milliseconds until(Clock::time_point deadline) {
    return std::max(Milliseconds(0),
                    std::chrono::duration_cast<Milliseconds>(deadline - Clock::now()));
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const std::vector<std::string>& environment)
    : ChildProcess(program, arguments, Options{environment, {}, false}) {}

void ChildProcess::takeIn(const char* data, std::size_t size) {
    partialLine_.append(data, size);
    std::size_t start = 0;
    std::size_t end;
    while ((end = partialLine_.find('\n', start)) != std::string::npos) {
        std::size_t length = end - start;
        // A Windows program ends its lines with "\r\n".
        if (length > 0 && partialLine_[end - 1] == '\r') {
            --length;
        }
        lines_.push_back(partialLine_.substr(start, length));
        start = end + 1;
    }
    partialLine_.erase(0, start);
}

void ChildProcess::pipeEnded() {
    if (!partialLine_.empty()) {
        lines_.push_back(std::move(partialLine_));
        partialLine_.clear();
    }
}

std::uintmax_t ChildProcess::logStart(const Options& options) {
    std::error_code absent;
    const std::uintmax_t size = std::filesystem::file_size(options.logFile, absent);
    return options.appendToLog && !absent ? size : 0;
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
        drainPipe();
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
