#include "Tools/AggrReceiver/ReceiverOptions.h"

#include <charconv>
#include <cstddef>

#include "Tools/AggrReceiver/FrameDecoder.h"

namespace aggrreceiver {

namespace {

bool parseNumber(const std::string& text, long minimum, long maximum, long& value) {
    const char* end = text.data() + text.size();
    auto [stop, failure] = std::from_chars(text.data(), end, value);
    return failure == std::errc() && stop == end && value >= minimum && value <= maximum;
}

}  // namespace

bool isLoopbackAddress(const std::string& address) {
    if (address == "localhost") {
        return true;
    }
    std::vector<long> octets;
    std::size_t start = 0;
    for (;;) {
        const std::size_t dot = address.find('.', start);
        long octet = 0;
        if (!parseNumber(address.substr(start, dot - start), 0, 255, octet)) {
            return false;
        }
        octets.push_back(octet);
        if (dot == std::string::npos) {
            break;
        }
        start = dot + 1;
    }
    return octets.size() == 4 && octets[0] == 127;
}

ParsedOptions parseReceiverOptions(const std::vector<std::string>& arguments) {
    ParsedOptions parsed;
    ReceiverOptions& o = parsed.options;
    auto fail = [&parsed](std::string message) {
        parsed.error = std::move(message);
        return parsed;
    };
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& option = arguments[i];
        if (option == "--help" || option == "-h") {
            o.help = true;
            return parsed;
        }
        if (option == "--stop-reading") {
            o.stopReading = true;
            continue;
        }
        if (option == "--http-from-network") {
            o.httpFromNetwork = true;
            continue;
        }
        if (i + 1 >= arguments.size()) {
            return fail(option.rfind("--", 0) == 0 ? "option " + option + " needs a value"
                                                   : "unexpected argument '" + option + "'");
        }
        const std::string& value = arguments[++i];
        long number = 0;
        if (option == "--address") {
            o.address = value;
        } else if (option == "--port") {
            if (!parseNumber(value, 0, 65535, number)) {
                return fail("--port needs a number from 0 to 65535, not '" + value + "'");
            }
            o.port = static_cast<std::uint16_t>(number);
        } else if (option == "--cert") {
            o.certFile = value;
        } else if (option == "--key") {
            o.keyFile = value;
        } else if (option == "--key-pass") {
            o.keyPassPhrase = value;
        } else if (option == "--ca") {
            o.caFile = value;
        } else if (option == "--transactions") {
            o.transactionsFile = value;
        } else if (option == "--max-clients") {
            if (!parseNumber(value, 1, 1000, number)) {
                return fail("--max-clients needs a number from 1 to 1000, not '" + value + "'");
            }
            o.maxClients = static_cast<int>(number);
        } else if (option == "--handshake-timeout") {
            if (!parseNumber(value, 1, 3600, number)) {
                return fail("--handshake-timeout needs seconds from 1 to 3600, not '" + value +
                            "'");
            }
            o.handshakeTimeoutSeconds = static_cast<int>(number);
        } else if (option == "--close-after") {
            if (!parseNumber(value, 1, 1000000000, number)) {
                return fail("--close-after needs a number from 1 to 1000000000, not '" + value +
                            "'");
            }
            o.closeAfter = number;
        } else if (option == "--http") {
            const std::size_t colon = value.rfind(':');
            const std::string port = colon == std::string::npos ? value : value.substr(colon + 1);
            if (colon == 0 || !parseNumber(port, 0, 65535, number)) {
                return fail("--http needs [ADDR:]PORT (port 0 to 65535), not '" + value + "'");
            }
            o.httpAddress = colon == std::string::npos ? "127.0.0.1" : value.substr(0, colon);
            o.httpPort = static_cast<std::uint16_t>(number);
        } else {
            return fail("unknown option '" + option + "'");
        }
    }
    if (o.certFile.empty() || o.keyFile.empty() || o.caFile.empty()) {
        return fail("--cert, --key and --ca are required");
    }
    if (!o.httpAddress.empty() && !o.httpFromNetwork && !isLoopbackAddress(o.httpAddress)) {
        return fail("--http " + o.httpAddress +
                    " would show the live page to the network; add --http-from-network to mean it");
    }
    return parsed;
}

std::string receiverUsage(const std::string& programName) {
    return "Usage: " + programName + R"( --cert FILE --key FILE --ca FILE [options]

The reference aggregation receiver: a TLS server that accepts the service's link to the
aggregation server, checks every transaction it receives and reports it, one line each. It never
sends anything back. Use it to commission a studio's link or to test against.

Each client must present a certificate that the CA file verifies. The stream is read as
messages of a 4-byte big-endian length followed by that many bytes; each message must be one
Kri_Transact transaction (Kri_Transact session / Action name / Params / Param id name / CDATA).

Options:
  --cert FILE               server certificate (PEM; may hold the chain after it)
  --key FILE                the server certificate's private key (PEM)
  --key-pass TEXT           pass phrase of the private key, if it is encrypted
  --ca FILE                 CA certificates (PEM) that client certificates must chain to
  --address ADDR            IPv4 address or host name to listen on (default 127.0.0.1;
                            0.0.0.0 for every interface)
  --port N                  TCP port (default 0: a free port is picked)
  --transactions FILE       also write the full text of every message received to FILE
                            (created anew)
  --max-clients N           serve at most N clients at once; further connections are closed
                            at once (default 64)
  --handshake-timeout S     close a client whose TLS handshake has not finished after S
                            seconds (default 10)
  --http [ADDR:]PORT        also serve the live page on ADDR:PORT (ADDR 127.0.0.1 when left
                            out; port 0: a free one): the studios as this receiver sees them,
                            updated as transactions arrive; the same state as JSON at
                            /state.json. ADDR must be in 127.0.0.0/8 or localhost unless
                            --http-from-network is given
  --http-from-network       allow --http on an address that other machines can reach (the
                            page then says so)
  --stop-reading            finish each handshake, then never read from the client again
                            (to make a sender's writes block)
  --close-after N           end each connection with a TLS close_notify once N transactions
                            arrived on it; what the client sends until it closes its end is
                            still read and reported (to test a server's orderly close)
  -h, --help                show this text

Standard output, one line each, flushed per line:
  listening on ADDR:PORT                              first line, once the server is ready
  live page on http://ADDR:PORT/                      second line, with --http
  TIME PEER connected
  TIME PEER accepted client subject="..."             handshake done, certificate verified
  TIME PEER transaction session=S action=A id="I" name="N" payload=P frame=F [duplicate]
  TIME PEER empty frame ignored
  TIME PEER close_notify sent after N transactions    with --close-after
  TIME PEER refused: N clients already connected
  TIME PEER error: ...                                a rejected handshake, a malformed
                                                      transaction, an oversized frame, ...
  TIME PEER closed transactions=T
  TIME stopping on SIGINT|SIGTERM
  summary transactions=T AddStudio=.. ... ChangeSegment=.. clients=C duplicates=D errors=E
TIME is UTC (2024-05-01T10:00:00.123Z), PEER is ADDR:PORT of the client, P is the payload's byte
count, F the message's byte count (its length header). "duplicate" marks a transaction whose
text equals one of the last 100,000 (AddStudio aside): the client wrote it again after a
connection ended badly, as it does on purpose; D counts them. Quoted values escape \ and " with a
backslash and control characters as \xNN.

A message announcing more than )" +
           std::to_string(FrameDecoder::kMaxFrameSize) + R"( bytes closes that client; a malformed
transaction is reported and the client is read on.

The transactions file holds one record per message: a line
  --- transaction|malformed N from PEER at TIME, BYTES bytes
then exactly BYTES bytes of text, then a line end.

Exit status: 0 after SIGINT or SIGTERM, 1 when the server cannot start (unreadable or invalid
certificate, key or CA file, address in use, ...), 2 for a bad command line.
)";
}

}  // namespace aggrreceiver
