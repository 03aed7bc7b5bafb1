// PlainTlsWriter: a blocking TLS client that writes whole frames with SSL_write, with nothing
// between the benchmark and the library: the limit that the socket layer and the aggregation
// client are measured against.
//
// Made by a benchmark from the client's SSL context; one thread at a time writes (several
// threads take turns under a lock of their own).
// Requires: the context outlives the writer.
#pragma once

#include <openssl/ssl.h>

#include <cstdint>
#include <string>

class PlainTlsWriter {
public:
    // How the socket sends small writes. The kernel's default holds one back while earlier
    // data waits for its acknowledgement, which gathers frames into fewer segments (more
    // throughput) but can delay one by the peer's delayed acknowledgement (tens of
    // milliseconds); TCP_NODELAY sends each at once, as the aggregation client's socket does.
    enum class Sending { kKernelDefault, kAtOnce };

    // Connects to the address (host byte order) and port and completes the handshake.
    // Throws std::runtime_error when either fails.
    PlainTlsWriter(SSL_CTX* ctx, uint16_t port, uint32_t address = 0x7F000001,
                   Sending sending = Sending::kKernelDefault);
    // Sends the close alert and closes the connection.
    ~PlainTlsWriter();
    PlainTlsWriter(const PlainTlsWriter&) = delete;
    PlainTlsWriter& operator=(const PlainTlsWriter&) = delete;

    void write(const std::string& frame);

    // The payload behind its 4-byte big-endian length.
    static std::string frameOf(const char* payload, size_t length);

private:
    int fd = -1;
    SSL* ssl = nullptr;
};
