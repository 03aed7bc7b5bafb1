// LivePage: the receiver's live page over HTTP, next to its TLS listener. It serves
//   /            the page (HTML, CSS and JavaScript in one text, no other assets)
//   /state.json  the state, once
//   /events      the state as Server-Sent Events: the current one at once, then each change
// and answers anything else with a short text that says what is served.
//
// The HTTP side runs on threads of its own (a fixed pool) and reads the state through
// LiveState only, so that its clients cannot slow the TLS side down. Its limits: at most
// kMaxEventStreams pages open at once (a further one gets 503 and a text saying so), at most
// kWorkers requests served at once with kMaxWaiting more accepted and waiting (beyond that, new
// connections wait in the kernel's listen queue), 8 KiB per request line and header line,
// 64 KiB read per connection (LivePageReadLimit.h), and a few seconds for each read and write
// before a connection is dropped.
//
// Built only where cpp-httplib is available; elsewhere the constructor throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "Tools/AggrReceiver/LiveState.h"

namespace aggrreceiver {

class LivePage {
public:
    static constexpr std::size_t kMaxEventStreams = 8;
    static constexpr std::size_t kWorkers = kMaxEventStreams + 16;
    static constexpr std::size_t kMaxWaiting = 32;

    // Listens on `address` (IPv4 address or host name) and `port` (0: a free one) and serves
    // until destroyed. Throws ReceiverSetupError when it cannot listen.
    LivePage(LiveState& state, const std::string& address, std::uint16_t port);
    ~LivePage();
    LivePage(const LivePage&) = delete;
    LivePage& operator=(const LivePage&) = delete;

    // "http://ADDR:PORT/".
    std::string url() const;

private:
    struct Server;
    std::unique_ptr<Server> server_;
};

// The page itself.
extern const char* const kLivePageHtml;

}  // namespace aggrreceiver
