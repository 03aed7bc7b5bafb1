// NotifySocket: a datagram socket in the role of systemd's notify socket, for tests that run a
// service as a child process with NOTIFY_SOCKET pointing at it.
//
// Owned by one test and used on its thread. The socket file is the caller's; it is removed
// with the object.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

class NotifySocket {
public:
    // Throws std::runtime_error when the socket cannot be bound at path.
    explicit NotifySocket(const std::filesystem::path& path);
    ~NotifySocket();
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    // "NOTIFY_SOCKET=<path>", for the child's environment.
    std::string environment() const { return "NOTIFY_SOCKET=" + path; }

    // The next message, or the empty text when none arrives in time.
    std::string receive(std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
    // Every message received so far, in order, with those waiting now.
    const std::vector<std::string>& messages();
    // The service states (the first word after "STATUS=", when it is one of the reported states)
    // of the messages so far, a repeated state once.
    std::vector<std::string> states();
    // Waits until a message containing needle has arrived; whether it did in time.
    bool waitFor(const std::string& needle,
                 std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));

private:
    std::string path;
    int fd;
    std::vector<std::string> received;
};
