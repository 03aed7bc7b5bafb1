#include "ServerSockets.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "Platform/NetworkEvent.h"
#include "Platform/Resolver.h"
#include "TQueue.h"

namespace {

constexpr int kWouldBlock = -platform::kWsaEWouldBlock;
constexpr int kHeaderSize = 4;

platform::SocketHandle freshNonBlockingHandle() {
    const platform::SocketHandle h = platform::openTcpSocket();
    // A failed switch leaves a blocking handle; its later calls report their own errors.
    platform::setNonBlocking(h);
    return h;
}

}  // namespace

InetAddr::InetAddr(const KRIString& host, int port)
    : port(platform::hostToNet16(static_cast<uint16_t>(port))), address(0) {
    const unsigned char first = static_cast<unsigned char>(host.charAt(0));
    if (first == '*') {
        return;
    }
    if (first < ':') {
        address = platform::inetAddr(host.c_str());
        return;
    }
    const std::vector<uint32_t> found = platform::resolveHost(host.c_str());
    if (!found.empty()) {
        address = found.front();
    }
}

InetAddr::InetAddr(uint32_t address, int port)
    : port(platform::hostToNet16(static_cast<uint16_t>(port))), address(address) {}

std::atomic<int> BaseSocket::socketLibraryUsers{0};

BaseSocket::BaseSocket() {
    socketLibraryUsers.fetch_add(1);
}

BaseSocket::~BaseSocket() {
    socketLibraryUsers.fetch_sub(1);
}

ConnectedSocket::DataBuffer::DataBuffer() : bytes(new char[1024]), capacity(1024) {}

ConnectedSocket::DataBuffer::~DataBuffer() {
    delete[] bytes;
}

void ConnectedSocket::DataBuffer::reserve(int n) {
    if (capacity < n) {
        delete[] bytes;
        bytes = new char[n];
        capacity = n;
    }
    used = 0;
    start = 0;
}

ConnectedSocket::ConnectedSocket(platform::SocketHandle handle, const InetAddr& peer)
    : peerAddress(peer), socketHandle(handle) {}

ConnectedSocket::~ConnectedSocket() {
    std::lock_guard<ThreadLock> hold(transportLock);
    if (socketHandle != platform::kInvalidSocket) {
        platform::closeSocket(socketHandle);
    }
    discardStreamState();
}

void ConnectedSocket::handleNetworkEvents() {
    platform::NetworkEvents events;
    if (platform::enumNetworkEvents(socketHandle, events) != 0) {
        return;
    }
    const uint32_t kinds = events.networkEvents;
    const uint32_t renewals = handleRenewals;
    auto current = [&] { return handleRenewals == renewals; };

    if (kinds & platform::kFdConnect) {
        const int error = events.errorCode[platform::kFdConnectBit];
        error != 0 ? onError(-error) : onConnected();
    }
    if ((kinds & platform::kFdRead) && current()) {
        const int error = events.errorCode[platform::kFdReadBit];
        error != 0 ? onError(-error) : onReadable();
    }
    if ((kinds & platform::kFdWrite) && current()) {
        const int error = events.errorCode[platform::kFdWriteBit];
        error != 0 ? onError(-error) : onWritable();
    }
    if ((kinds & platform::kFdClose) && current()) {
        const int error = events.errorCode[platform::kFdCloseBit];
        if (error == 0) {
            onClosed(true);
        } else if (error == platform::kWsaEConnReset) {
            onClosed(false);
        } else {
            onError(-error);
        }
    }
}

void ConnectedSocket::onReadable() {
    if (streamBroken) {
        discardIncoming();
        return;
    }
    for (;;) {
        if (bytesRemaining == 0) {
            const int r = recvRaw(reinterpret_cast<char*>(headerBytes) + headerReceived,
                                  kHeaderSize - headerReceived);
            if (r <= 0) {
                if (r < 0 && r != kWouldBlock) {
                    onError(r);
                }
                return;
            }
            headerReceived += r;
            if (headerReceived < kHeaderSize) {
                continue;
            }
            headerReceived = 0;
            uint32_t announced;
            std::memcpy(&announced, headerBytes, kHeaderSize);
            announced = platform::netToHost32(announced);
            if (announced > static_cast<uint32_t>(kMaxMessageSize)) {
                streamBroken = true;
                onError(-platform::kWsaEMsgSize);
                return;
            }
            // A zero-length message is consumed here without a handleMessage call.
            bytesRemaining = static_cast<int>(announced);
            readBuffer.reserve(bytesRemaining);
            continue;
        }
        const int r = recvRaw(readBuffer.writePosition(), bytesRemaining);
        if (r == 0 || r == kWouldBlock) {
            return;
        }
        if (r < 0) {
            onError(r);
            return;
        }
        readBuffer.advance(r);
        bytesRemaining -= r;
        if (bytesRemaining == 0) {
            handleMessage(readBuffer.data(), readBuffer.length());
        }
    }
}

void ConnectedSocket::discardIncoming() {
    char scratch[4096];
    while (recvRaw(scratch, sizeof scratch) > 0) {
    }
}

int ConnectedSocket::sendMessage(const char* data, int length) {
    if (length < 0) {
        return -platform::kWsaEInvalid;
    }
    if (length > kMaxMessageSize) {
        return -platform::kWsaEMsgSize;
    }
    auto frame = std::make_unique<DataBuffer>();
    frame->reserve(length + kHeaderSize);
    const uint32_t header = platform::hostToNet32(static_cast<uint32_t>(length));
    std::memcpy(frame->writePosition(), &header, kHeaderSize);
    frame->advance(kHeaderSize);
    if (length > 0) {
        std::memcpy(frame->writePosition(), data, static_cast<size_t>(length));
        frame->advance(length);
    }

    std::lock_guard<ThreadLock> hold(transportLock);
    if (!writeBlocked) {
        const int sent = sendRaw(frame->data(), frame->length());
        if (sent == frame->length() || (sent < 0 && sent != kWouldBlock)) {
            return sent;
        }
        // Would block, or took only part: the rest waits at the head of the queue.
        if (sent > 0) {
            frame->consume(sent);
        }
        writeBlocked = true;
    } else if (queuedBytes > 0 && queuedBytes + frame->length() > kMaxQueuedBytes) {
        platform::reportSendFailure(socketHandle, platform::kWsaENoBufferSpace);
        return -platform::kWsaENoBufferSpace;
    }
    queuedBytes += frame->length();
    outgoing.push(frame.release());
    return 0;
}

void ConnectedSocket::onWritable() {
    const int error = flushQueued();
    if (error != 0) {
        onError(error);
    }
}

int ConnectedSocket::flushQueued() {
    std::lock_guard<ThreadLock> hold(transportLock);
    writeBlocked = false;
    TQueue<DataBuffer*> pending;
    outgoing.takeAll(pending);
    while (pending.getCount() > 0) {
        DataBuffer* frame = pending.peek();
        int sent;
        try {
            sent = sendRaw(frame->data(), frame->length());
        } catch (...) {
            outgoing.putBack(pending);
            throw;
        }
        if (sent == frame->length()) {
            queuedBytes -= sent;
            delete pending.pop();
            continue;
        }
        if (sent >= 0 || sent == kWouldBlock) {
            if (sent > 0) {
                frame->consume(sent);
                queuedBytes -= sent;
            }
            writeBlocked = true;
            outgoing.putBack(pending);
            return 0;
        }
        while (pending.getCount() > 0) {
            DataBuffer* dropped = pending.pop();
            queuedBytes -= dropped->length();
            delete dropped;
        }
        return sent;
    }
    return 0;
}

void ConnectedSocket::onClosed(bool) {}

void ConnectedSocket::onError(int) {
    onClosed(false);
}

void ConnectedSocket::handleMessage(const char*, int) {}

int ConnectedSocket::shutdownSend() {
    return platform::shutdownSend(socketHandle);
}

int ConnectedSocket::sendRaw(const char* data, int length) {
    return platform::sendSocket(socketHandle, data, length);
}

int ConnectedSocket::recvRaw(char* buffer, int length) {
    return platform::recvSocket(socketHandle, buffer, length);
}

void ConnectedSocket::replaceHandle(platform::SocketHandle fresh) {
    if (socketHandle != platform::kInvalidSocket) {
        platform::closeSocket(socketHandle);
    }
    socketHandle = fresh;
    ++handleRenewals;
    discardStreamState();
}

void ConnectedSocket::discardStreamState() {
    TQueue<DataBuffer*> dropped;
    outgoing.takeAll(dropped);
    while (dropped.getCount() > 0) {
        delete dropped.pop();
    }
    queuedBytes = 0;
    writeBlocked = false;
    bytesRemaining = 0;
    headerReceived = 0;
    streamBroken = false;
}

ClientSocket::ClientSocket()
    : ConnectedSocket(platform::kInvalidSocket, InetAddr(KRIString("0.0.0.0"), 0)) {
    socketHandle = freshNonBlockingHandle();
}

int ClientSocket::connect(const InetAddr& address) {
    std::lock_guard<ThreadLock> hold(transportLock);
    if (connected || connecting) {
        return -1;
    }
    connecting = true;
    const int r = platform::connectSocket(socketHandle, address.getAddress(), address.getPort());
    return r == kWouldBlock ? 0 : r;
}

void ClientSocket::onConnected() {
    connecting = false;
    connected = true;
}

void ClientSocket::onClosed(bool) {
    std::lock_guard<ThreadLock> hold(transportLock);
    replaceHandle(freshNonBlockingHandle());
    connected = false;
    connecting = false;
}
