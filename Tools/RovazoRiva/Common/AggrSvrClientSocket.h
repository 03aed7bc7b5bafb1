// CAggrSvrClientSocket: one SSL connection of the aggregation client to one address of the
// aggregation server.
//
// The aggregation client makes one per server address in connect, registers it with its event
// loop before connecting it, and deletes it in disconnect. The link is one way: whatever the
// server sends is read, framed and dropped. The socket never reconnects by itself; it reports
// each error and each end of its connection as a trace line and lowers its link flag, and the
// client's owner rebuilds all sockets when isConnected() answers false.
//
// The event loop's thread runs every callback; isConnected() may be called from any thread.
// Requires: the SSL context outlives the socket; the socket is removed from its event loop
// before it is deleted.
#pragma once

#include <atomic>

#include "SSLSockets.h"

// The source unit that stamps the aggregation link's trace lines.
inline constexpr char kAggrSvrConnUnit[] = "Tools/RovazoRiva/Common/AggrSvrConn";

class CAggrSvrClientSocket : public SSLClientSocket {
public:
    explicit CAggrSvrClientSocket(SSLContext& context);
    ~CAggrSvrClientSocket() override;

    void reactorStopped() override;

    // True only between a verified SSL handshake and the next error or end of the connection.
    bool isConnected() const { return linkUp.load(std::memory_order_acquire); }

protected:
    // Writes "SSL error : <code>" and lowers the link flag; the socket stays open.
    void onError(int code) override;
    void handleMessage(const char* data, int length) override;
    bool onSSLConnected() override;
    bool onSSLDisconnected(bool graceful) override;

private:
    std::atomic<bool> linkUp{false};
};
