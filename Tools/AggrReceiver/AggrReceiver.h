// AggrReceiver: the reference aggregation receiver's TLS server. main constructs one and calls
// run on its only thread; one poll loop serves the listening socket, every client connection
// and the stop signals (SIGINT, SIGTERM, taken through a signalfd). With --http it also keeps
// the studios' state (LiveState) and serves it as the live page (LivePage) on threads of the
// page's own; the loop only ever updates that state.
//
// Requires: constructed before any other thread exists (it blocks SIGINT and SIGTERM for the
// process so that they arrive only through the loop).
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include <openssl/types.h>

#include "Tools/AggrReceiver/ReceiverOptions.h"
#include "Tools/AggrReceiver/TransactionCheck.h"

namespace aggrreceiver {

class LivePage;
class LiveState;
class StudioModel;

// Thrown by the constructor when the server cannot start; the message says why.
class ReceiverSetupError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class AggrReceiver {
public:
    // Loads the TLS material, opens the transactions file and listens.
    // Throws ReceiverSetupError.
    explicit AggrReceiver(ReceiverOptions options);
    ~AggrReceiver();
    AggrReceiver(const AggrReceiver&) = delete;
    AggrReceiver& operator=(const AggrReceiver&) = delete;

    // Prints the "listening on" line and serves until SIGINT or SIGTERM; then closes every
    // client and prints the summary. Returns the exit status (0).
    int run();

private:
    struct Connection;

    void release();
    void setUpTls();
    void listenOnAddress();
    void acceptClients();
    void serve(Connection& connection, short revents);
    void continueHandshake(Connection& connection);
    void readFrames(Connection& connection);
    void handleFrame(Connection& connection, std::string&& frame);
    // Sends the connection's close_notify and reads on until the client closes (--close-after).
    void sendCloseNotify(Connection& connection);
    void closeConnection(Connection& connection);
    void expireHandshakes();
    int pollTimeoutMs() const;

    void report(const std::string& peer, const std::string& text);
    void reportError(const std::string& peer, const std::string& text);
    void recordFrame(const Connection& connection, bool wellFormed, const std::string& frame);
    // Whether the text equals one of the last kRecentTransactions (AddStudio aside, which opens
    // every connection); remembers it.
    bool seenRecently(const std::string& frame);
    void printSummary();
    // Applies `change` to the live page's state, if there is a page.
    void updateLive(const std::function<void(StudioModel&, std::int64_t nowMs)>& change);

    // A client that ends a connection badly writes again what it sent shortly before: that many
    // transactions back are enough to recognise those.
    static constexpr std::size_t kRecentTransactions = 100000;

    ReceiverOptions options_;
    SSL_CTX* tls_ = nullptr;
    int listenSocket_ = -1;
    int signalDescriptor_ = -1;
    std::string listenAddress_;
    std::FILE* transactionsFile_ = nullptr;
    std::vector<std::unique_ptr<Connection>> connections_;
    std::vector<char> readBuffer_;
    std::unique_ptr<LiveState> live_;
    std::unique_ptr<LivePage> page_;

    std::array<std::uint64_t, kActionNames.size()> transactionsByAction_ = {};
    std::uint64_t clientCount_ = 0;
    std::uint64_t errorCount_ = 0;
    std::uint64_t frameCount_ = 0;
    std::uint64_t duplicateCount_ = 0;
    // The recent transactions' texts by hash, oldest first, and how often each hash is among them.
    std::deque<std::size_t> recentOrder_;
    std::unordered_map<std::size_t, std::uint32_t> recent_;
};

}  // namespace aggrreceiver
