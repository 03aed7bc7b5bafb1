// A child for ChildProcessTest. Carries out its arguments in order:
//   out <text>    prints the text on standard output
//   err <text>    prints the text on standard error
//   env <name>    prints "<name>=<value>", or "<name> unset"
//   arg <text>    prints the text in brackets, to show how an argument arrived
//   partial <text> prints the text without an end of line
//   in <label>    reads a line of standard input and prints "<label> <line>", or
//                 "<label> ended" at its end
//   sleep <ms>    waits
//   exit <code>   ends with that status
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

int main(int argc, char** argv) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string command = argv[i];
        const char* value = argv[i + 1];
        if (command == "out") {
            std::printf("%s\n", value);
        } else if (command == "err") {
            std::fprintf(stderr, "%s\n", value);
        } else if (command == "env") {
            const char* set = std::getenv(value);
            if (set != nullptr) {
                std::printf("%s=%s\n", value, set);
            } else {
                std::printf("%s unset\n", value);
            }
        } else if (command == "arg") {
            std::printf("[%s]\n", value);
        } else if (command == "in") {
            char line[256];
            if (std::fgets(line, sizeof line, stdin) != nullptr) {
                line[std::strcspn(line, "\r\n")] = '\0';
                std::printf("%s %s\n", value, line);
            } else {
                std::printf("%s ended\n", value);
            }
        } else if (command == "partial") {
            std::printf("%s", value);
        } else if (command == "sleep") {
            std::fflush(stdout);
            std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(value)));
        } else if (command == "exit") {
            std::fflush(stdout);
            return std::atoi(value);
        } else {
            std::fprintf(stderr, "unknown command %s\n", command.c_str());
            return 100;
        }
        // Standard output and standard error are one stream for the runner: keep their order.
        std::fflush(stdout);
        std::fflush(stderr);
    }
    return 0;
}
