// A small service for the service-host tests, run by them as a process of its own.
//
// Its first argument is the host's command line word; the words it understands itself can
// follow anywhere: "-initfail" makes init return -1, "-initwait" makes init wait for a line on
// standard input before it returns, "-watchdogstall" makes run send "WATCHDOG=1" four times a
// quarter of a second apart and then no more, as a service whose event loop is stuck. "-twice" as
// the first argument constructs a second service. Each step prints one line: "init: <arguments>",
// "init returned", "run", "stop", "run returned". With KRI_TEST_EVENT_FILE set, event-log records
// are appended to that file, one line each: "<priority> <source> <text>", line feeds in the text
// written as "\n".
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "Platform/Event.h"
#include "Platform/SystemLog.h"
#include "W32Service.h"

namespace {

bool hasArgument(int argc, char** argv, const char* word) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], word) == 0) {
            return true;
        }
    }
    return false;
}

void say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

std::mutex eventFileMutex;

void appendEvent(const platform::SystemLogRecord& record) {
    std::string text;
    for (char c : record.text) {
        text += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    std::lock_guard<std::mutex> guard(eventFileMutex);
    if (FILE* f = std::fopen(std::getenv("KRI_TEST_EVENT_FILE"), "a")) {
        std::fprintf(f, "%d %s %s\n", platform::syslogPriority(record.type), record.ident.c_str(),
                     text.c_str());
        std::fclose(f);
    }
}

class TestService : public W32Service {
public:
    TestService() : W32Service("KriAtmnTest", "Kri Test Service", "") {}

    int init(int argc, char** argv) override {
        std::string line = "init:";
        for (int i = 0; i < argc; ++i) {
            line += std::string(" ") + argv[i];
        }
        say(line);
        if (hasArgument(argc, argv, "-initwait")) {
            char buffer[16];
            if (std::fgets(buffer, sizeof buffer, stdin) == nullptr) {
                return -2;
            }
        }
        if (hasArgument(argc, argv, "-initfail")) {
            return -1;
        }
        say("init returned");
        return 0;
    }

    int run(int argc, char** argv) override {
        say("run");
        if (hasArgument(argc, argv, "-watchdogstall")) {
            for (int i = 0; i < 4 && stopped.wait(250) == WaitResult::kTimedOut; ++i) {
                notifyServiceManager("WATCHDOG=1");
            }
            say("stalled");
        }
        stopped.wait(platform::kInfinite);
        say("run returned");
        return 0;
    }

    int stop() override {
        say("stop");
        stopped.set();
        return 0;
    }

private:
    using WaitResult = platform::AutoResetEvent::WaitResult;
    platform::AutoResetEvent stopped;
};

}  // namespace

int main(int argc, char** argv) {
    if (std::getenv("KRI_TEST_EVENT_FILE") != nullptr) {
        platform::setSystemLogWriterForTesting(appendEvent);
    }
    TestService service;
    if (argc > 1 && std::strcmp(argv[1], "-twice") == 0) {
        TestService second;
        say("second service constructed");
    }
    service.execute(argc, argv);
}
