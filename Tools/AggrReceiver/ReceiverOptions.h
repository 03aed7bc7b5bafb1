// ReceiverOptions: the receiver's command line, parsed once by main before anything starts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace aggrreceiver {

struct ReceiverOptions {
    std::string address = "127.0.0.1";
    std::uint16_t port = 0;
    std::string certFile;
    std::string keyFile;
    std::string keyPassPhrase;
    std::string caFile;
    std::string transactionsFile;
    int maxClients = 64;
    int handshakeTimeoutSeconds = 10;
    bool stopReading = false;
    // Transactions after which a connection is ended with a close_notify; 0: never.
    long closeAfter = 0;
    // The live page's address and port; no page when httpAddress is empty.
    std::string httpAddress;
    std::uint16_t httpPort = 0;
    // An address outside 127.0.0.0/8 for the page was asked for explicitly.
    bool httpFromNetwork = false;
    bool help = false;
};

struct ParsedOptions {
    ReceiverOptions options;
    // Empty when the command line is usable; otherwise what is wrong with it.
    std::string error;
};

// Whether the address names this machine only: 127.0.0.0/8 or "localhost".
bool isLoopbackAddress(const std::string& address);

ParsedOptions parseReceiverOptions(const std::vector<std::string>& arguments);

// The full --help text.
std::string receiverUsage(const std::string& programName);

}  // namespace aggrreceiver
