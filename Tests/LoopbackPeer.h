// Test helpers: a blocking peer on 127.0.0.1 and the message framing of the wire.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "Platform/Resolver.h"
#include "Platform/Socket.h"

inline const uint32_t kLoopback = platform::inetAddr("127.0.0.1");

inline std::string frame(const std::string& payload) {
    const uint32_t header = platform::hostToNet32(static_cast<uint32_t>(payload.size()));
    return std::string(reinterpret_cast<const char*>(&header), 4) + payload;
}

// A blocking peer on 127.0.0.1; every receive gives up after a few seconds.
class Peer {
public:
    explicit Peer(int receiveBuffer = 0) {
        listener = platform::openListener(kLoopback, 0, 8);
        if (receiveBuffer > 0) {
            platform::setReceiveBuffer(listener, receiveBuffer);
        }
        port = platform::netToHost16(platform::localPort(listener));
    }
    ~Peer() {
        platform::closeSocket(conn);
        platform::closeSocket(listener);
    }

    void accept() {
        conn = platform::acceptSocket(listener);
        platform::setReceiveTimeout(conn, 5000);
    }

    void send(const std::string& bytes) {
        ASSERT_EQ(static_cast<int>(bytes.size()),
                  platform::sendSocket(conn, bytes.data(), static_cast<int>(bytes.size())));
    }

    bool receiveExactly(char* into, size_t n) {
        size_t got = 0;
        while (got < n) {
            int r = platform::recvSocket(conn, into + got, static_cast<int>(n - got));
            if (r <= 0) {
                return false;
            }
            got += static_cast<size_t>(r);
        }
        return true;
    }

    bool receiveFrame(std::string& payload) {
        uint32_t header;
        if (!receiveExactly(reinterpret_cast<char*>(&header), 4)) {
            return false;
        }
        payload.resize(platform::netToHost32(header));
        return payload.empty() || receiveExactly(payload.data(), payload.size());
    }

    void resetConnection() {
        platform::abortiveClose(conn);
        conn = platform::kInvalidSocket;
    }

    void closeConnection() {
        platform::closeSocket(conn);
        conn = platform::kInvalidSocket;
    }

    platform::SocketHandle listener;
    platform::SocketHandle conn = platform::kInvalidSocket;
    int port;
};
