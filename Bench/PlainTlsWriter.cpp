#include "Bench/PlainTlsWriter.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

PlainTlsWriter::PlainTlsWriter(SSL_CTX* ctx, uint16_t port, uint32_t address) {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = htonl(address);
    ssl = SSL_new(ctx);
    // The client's socket option, so that both write each frame at once.
    const int on = 1;
    if (::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof(peer)) != 0 ||
        SSL_set_fd(ssl, fd) != 1 || SSL_connect(ssl) != 1) {
        SSL_free(ssl);
        close(fd);
        throw std::runtime_error("the plain TLS writer could not connect");
    }
}

PlainTlsWriter::~PlainTlsWriter() {
    SSL_shutdown(ssl);
    SSL_free(ssl);
    close(fd);
}

void PlainTlsWriter::write(const std::string& frame) {
    SSL_write(ssl, frame.data(), static_cast<int>(frame.size()));
}

std::string PlainTlsWriter::frameOf(const char* payload, size_t length) {
    const uint32_t header = htonl(static_cast<uint32_t>(length));
    std::string frame(reinterpret_cast<const char*>(&header), sizeof(header));
    frame.append(payload, length);
    return frame;
}
