// The socket classes: InetAddr, BaseSocket, ConnectedSocket and ClientSocket.
//
// InetAddr is an IPv4 address and port, both kept in network byte order; a plain value.
//
// BaseSocket is what a Reactor needs of any socket it serves: its current handle, the handling
// of its network events and a hook for the end of the loop. It also counts the live sockets of
// the process (the Windows Sockets start-up and clean-up, which have nothing to do on Linux).
//
// ConnectedSocket is a non-blocking TCP stream that carries messages framed as a 4-byte
// big-endian length followed by that many bytes. Whoever creates it owns it (and its handle);
// it must be unregistered from its reactor before it is destroyed. The reactor's thread runs
// handleNetworkEvents and, through it, every callback (onReadable to handleMessage).
// sendMessage may be called from any thread; the handle, writeBlocked and outgoing are then
// kept consistent by the socket's transportLock, so that messages leave in the order of the
// sendMessage calls. Every algorithm reaches the transport (sendRaw, recvRaw) and the callbacks
// through virtual calls: a subclass that replaces the transport (TLS) keeps the framing.
//
// ClientSocket is a ConnectedSocket that makes its own outgoing connection: connect() from the
// owner's thread once the socket is registered, and a fresh handle whenever the connection ends
// (onClosed), after which it can connect again.
//
// Requires: a socket is registered with at most one reactor at a time.
#pragma once

#include <atomic>
#include <cstdint>

#include "KRIString.h"
#include "Platform/Socket.h"
#include "TBatchQueue.h"
#include "ThreadLock.h"

class InetAddr {
public:
    // "*" is any address (0); text starting with a character below ':' is dotted IPv4 text
    // (inet_addr); anything else is a host name, resolved to its first address, or 0 when it
    // cannot be resolved. The port is stored in network byte order.
    InetAddr(const KRIString& host, int port);
    // An address already in network byte order.
    InetAddr(uint32_t address, int port);
    virtual ~InetAddr() = default;

    uint32_t getAddress() const { return address; }
    uint16_t getPort() const { return port; }

private:
    uint16_t port;
    uint32_t address;
};

class BaseSocket {
public:
    BaseSocket();
    virtual ~BaseSocket();
    BaseSocket(const BaseSocket&) = delete;
    BaseSocket& operator=(const BaseSocket&) = delete;

    // The socket's current handle; the reactor asks for it anew on every iteration.
    virtual platform::SocketHandle handle() = 0;
    // Enumerates this socket's recorded network events and handles them. Reactor thread only.
    virtual void handleNetworkEvents() = 0;
    // Called on the reactor's thread when its loop ends.
    virtual void reactorStopped() = 0;

private:
    // Live sockets in the process: where the socket library is started with the first socket
    // and cleaned up after the last, this count decides when. Nothing needs starting here.
    static std::atomic<int> socketLibraryUsers;
};

class ConnectedSocket : public BaseSocket {
public:
    // The largest message accepted in either direction; a header announcing more (or 2^31 and
    // above) is a transport error.
    static constexpr int kMaxMessageSize = 16 * 1024 * 1024;
    // The most bytes one socket queues for a peer that does not read. A message that would pass
    // it (when something is queued already) is refused with -10055 and reported to onError.
    static constexpr int kMaxQueuedBytes = 8 * 1024 * 1024;

    // A byte buffer that grows to the largest size asked of it and never shrinks.
    class DataBuffer {
    public:
        DataBuffer();
        virtual ~DataBuffer();
        DataBuffer(const DataBuffer&) = delete;
        DataBuffer& operator=(const DataBuffer&) = delete;

        // Makes room for n bytes (a new array of exactly n bytes when the capacity is smaller,
        // old content not kept) and empties the buffer.
        void reserve(int n);
        char* writePosition() { return bytes + used; }
        // Counts n more bytes as written at the write position.
        void advance(int n) { used += n; }
        // Drops the first n bytes (they have been sent).
        void consume(int n) { start += n; }
        char* data() { return bytes + start; }
        int length() const { return used - start; }
        int getCapacity() const { return capacity; }

    private:
        char* bytes;
        int capacity;
        int used = 0;
        int start = 0;
    };

    // Takes ownership of the handle.
    ConnectedSocket(platform::SocketHandle handle, const InetAddr& peer);
    ~ConnectedSocket() override;

    platform::SocketHandle handle() override { return socketHandle; }
    void handleNetworkEvents() override;
    void reactorStopped() override {}

    // Frames the payload and sends it, or queues it while a send would block. Returns the bytes
    // sent (length + 4), 0 when queued, or a negated error number: -10022 for a negative length,
    // -10040 for one above kMaxMessageSize, -10055 when the queue bound is reached, otherwise
    // the transport's error.
    virtual int sendMessage(const char* data, int length);
    // shutdown(SD_SEND): 0 or a negated error number.
    virtual int shutdownSend();

protected:
    // Reads as many whole messages as have arrived and hands each to handleMessage.
    virtual void onReadable();
    // Sends what is queued, oldest first, until done or a send would block.
    virtual void onWritable();
    virtual void onConnected() {}
    // The connection has ended; graceful is false for a reset or an error.
    virtual void onClosed(bool graceful);
    // A transport error (a negated error number); treated as a connection that ended badly.
    virtual void onError(int error);
    // One received message; data is valid only during the call.
    virtual void handleMessage(const char* data, int length);
    virtual int sendRaw(const char* data, int length);
    virtual int recvRaw(char* buffer, int length);

    // Closes the handle and puts `fresh` in its place, forgetting the old connection's stream:
    // its partly read message, its queued messages and its write block. Events enumerated for
    // the old handle are not handed on once it is replaced. Requires: transportLock is held.
    void replaceHandle(platform::SocketHandle fresh);

    InetAddr peerAddress;
    platform::SocketHandle socketHandle;
    DataBuffer readBuffer;
    int bytesRemaining = 0;
    TBatchQueue<DataBuffer*> outgoing;
    bool writeBlocked = false;
    // Guards socketHandle against renewal while another thread sends or connects, and makes the
    // decision to send or queue, the flush and the queue bound one step each.
    ThreadLock transportLock;

private:
    // Sends what is queued; 0, or the transport error that ended the flush.
    int flushQueued();
    void discardStreamState();
    void discardIncoming();

    // A header is read into headerBytes until all four have arrived.
    unsigned char headerBytes[4] = {};
    int headerReceived = 0;
    // After a header that announced too much, the rest of the stream cannot be framed: it is
    // read and dropped until the handle is replaced.
    bool streamBroken = false;
    int queuedBytes = 0;          // bytes in outgoing, guarded by transportLock
    uint32_t handleRenewals = 0;  // how often replaceHandle has run
};

class ClientSocket : public ConnectedSocket {
public:
    // A fresh non-blocking TCP handle, not connected; the peer address stays 0.0.0.0:0.
    ClientSocket();

    // Starts a non-blocking connect. 0 when it is under way or made (the outcome arrives as
    // onConnected or onError), -1 when the socket is already connected or connecting,
    // otherwise the negated error of the connect call.
    virtual int connect(const InetAddr& address);

protected:
    void onConnected() override;
    // Closes the handle and makes a fresh one; the socket stays registered and can connect
    // again. The old connection's partly read message and its queued messages are dropped.
    void onClosed(bool graceful) override;

    std::atomic<bool> connected{false};
    std::atomic<bool> connecting{false};
};
