#include "Tests/NotifySocket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

NotifySocket::NotifySocket(const std::filesystem::path& socketPath) : path(socketPath.string()) {
    fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (fd >= 0) {
            close(fd);
        }
        throw std::runtime_error("cannot bind the notify socket " + path);
    }
}

NotifySocket::~NotifySocket() {
    close(fd);
    unlink(path.c_str());
}

std::string NotifySocket::receive(std::chrono::milliseconds timeout) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) {
        return std::string();
    }
    char buffer[4096];
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) {
        return std::string();
    }
    received.emplace_back(buffer, static_cast<size_t>(n));
    return received.back();
}

const std::vector<std::string>& NotifySocket::messages() {
    while (!receive(std::chrono::milliseconds(0)).empty()) {
    }
    return received;
}

std::vector<std::string> NotifySocket::states() {
    static const char* const kStates[] = {"START_PENDING", "RUNNING", "STOP_PENDING", "STOPPED"};
    std::vector<std::string> found;
    for (const std::string& message : messages()) {
        const size_t at = message.find("STATUS=");
        if (at == std::string::npos) {
            continue;
        }
        const std::string word = message.substr(at + 7, message.find_first_of(" \n", at) - at - 7);
        const bool isState =
            std::find_if(std::begin(kStates), std::end(kStates),
                         [&](const char* s) { return word == s; }) != std::end(kStates);
        if (isState && (found.empty() || found.back() != word)) {
            found.push_back(word);
        }
    }
    return found;
}

bool NotifySocket::waitFor(const std::string& needle, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        for (const std::string& message : messages()) {
            if (message.find(needle) != std::string::npos) {
                return true;
            }
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || receive(left).empty()) {
            return false;
        }
    }
}
