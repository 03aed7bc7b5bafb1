// TlsHandshake: one trial TLS connection, for the check of a configuration: a TCP connection to
// an IPv4 address and a TLS handshake over it, within a time limit, then an orderly close.
//
// The caller makes the session (from its SSL context, with whatever names and verification it
// wants checked) and owns it; the handshake runs on the calling thread, which it blocks for at
// most the time limit. What the server's certificate is worth is the caller's to ask the
// session afterwards (SSL_get_verify_result): the handshake itself does not verify.
// Requires: the session is fresh and has no transport.
#pragma once

#include <openssl/ssl.h>

#include <cstdint>
#include <string>

namespace platform {

// Connects to address:port (network byte order address, host order port) and runs the
// handshake of session over it. Empty when the handshake completed, else why not: the system's
// error text of the connection ("Connection refused"), the TLS library's reason, or "no answer
// within N ms". The connection is closed before it returns; the session keeps the peer's
// certificate and the verification result.
std::string tlsHandshake(SSL* session, uint32_t address, int port, int timeoutMs);

}  // namespace platform
