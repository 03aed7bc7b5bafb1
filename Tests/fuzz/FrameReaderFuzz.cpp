// Fuzz target for the frame reader of ConnectedSocket: the input becomes a byte stream handed to
// onReadable in chunks, and every message the socket delivers is checked against an independent
// reading of the same stream.
//
// Input layout:
//   byte 0        bit 0: renew the connection after an error, as ClientSocket does (otherwise
//                 the stream goes on, and after an oversized header it is discarded);
//                 bits 4-7: the number k of plan bytes that follow
//   bytes 1..k    the chunk plan, used in turn by every recvRaw call: 0 = would block,
//                 255 = connection reset, n = at most n bytes
//   the rest      the stream
// Properties: no crash; the read buffer never grows beyond kMaxMessageSize; each delivered
// message is the next non-empty frame of the stream, delivered as soon as its last byte has
// arrived, with the length of its header; an oversized header is reported at once as -10040
// and nothing is delivered after it on that connection; nothing whole is left undelivered.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "ServerSockets.h"
#include "Tests/fuzz/FuzzCheck.h"

namespace {

constexpr int kWouldBlock = -platform::kWsaEWouldBlock;
constexpr int kReset = -platform::kWsaEConnReset;
constexpr size_t kHeaderSize = 4;

class ScriptedSocket : public ConnectedSocket {
public:
    ScriptedSocket(const uint8_t* data, size_t size)
        : ConnectedSocket(platform::kInvalidSocket, InetAddr(0u, 0)) {
        if (size == 0) {
            return;
        }
        renewOnError = (data[0] & 1) != 0;
        const size_t planLength = std::min<size_t>(data[0] >> 4, size - 1);
        plan.assign(data + 1, data + 1 + planLength);
        stream.assign(reinterpret_cast<const char*>(data) + 1 + planLength, size - 1 - planLength);
    }

    // Calls onReadable until the whole stream has been handed out. A plan of nothing but
    // would-block and reset entries would never end, so after a bound it is dropped.
    void readAll() {
        const size_t callLimit = 2 * (stream.size() + plan.size()) + 8;
        for (size_t calls = 0; !drained; ++calls) {
            if (calls == callLimit) {
                plan.clear();
            }
            onReadable();
            fuzzRequire(readBuffer.getCapacity() <= kMaxMessageSize,
                        "the read buffer stays within the largest message");
        }
        skipEmptyFrames();
        if (!broken && framed + kHeaderSize <= connection.size()) {
            const size_t announced = announcedAt(framed);
            fuzzRequire(announced <= static_cast<size_t>(kMaxMessageSize),
                        "an oversized header is reported");
            fuzzRequire(framed + kHeaderSize + announced > connection.size(),
                        "every whole message of the stream is delivered");
        }
    }

protected:
    int recvRaw(char* buffer, int length) override {
        int limit = length;
        if (!plan.empty()) {
            const uint8_t step = plan[nextStep++ % plan.size()];
            if (step == 0) {
                return kWouldBlock;
            }
            if (step == 255) {
                resetPending = true;
                return kReset;
            }
            limit = std::min<int>(limit, step);
        }
        const size_t left = stream.size() - position;
        if (left == 0) {
            drained = true;
            return 0;
        }
        const size_t n = std::min<size_t>(static_cast<size_t>(limit), left);
        std::memcpy(buffer, stream.data() + position, n);
        connection.append(stream, position, n);
        position += n;
        return static_cast<int>(n);
    }

    void handleMessage(const char* data, int length) override {
        fuzzRequire(!broken, "nothing is delivered after an oversized header");
        skipEmptyFrames();
        fuzzRequire(framed + kHeaderSize <= connection.size(), "a message follows a whole header");
        const size_t announced = announcedAt(framed);
        fuzzRequire(length >= 0 && static_cast<size_t>(length) == announced,
                    "a message has the length of its header");
        fuzzRequire(framed + kHeaderSize + announced == connection.size(),
                    "a message is delivered as soon as its last byte has arrived");
        fuzzRequire(std::memcmp(data, connection.data() + framed + kHeaderSize, announced) == 0,
                    "a message holds the bytes of its frame");
        framed += kHeaderSize + announced;
    }

    void onError(int error) override {
        if (error == -platform::kWsaEMsgSize) {
            skipEmptyFrames();
            fuzzRequire(!broken && framed + kHeaderSize == connection.size() &&
                            announcedAt(framed) > static_cast<size_t>(kMaxMessageSize),
                        "-10040 is reported as soon as an oversized header is whole");
            broken = true;
        } else {
            fuzzRequire(error == kReset && resetPending, "only the transport's error is reported");
        }
        resetPending = false;
        if (renewOnError) {
            std::lock_guard<ThreadLock> hold(transportLock);
            replaceHandle(platform::kInvalidSocket);
            connection.clear();
            framed = 0;
            broken = false;
        }
    }

private:
    size_t announcedAt(size_t offset) const {
        uint32_t header;
        std::memcpy(&header, connection.data() + offset, kHeaderSize);
        return platform::netToHost32(header);
    }

    // A zero-length frame is consumed without a delivery.
    void skipEmptyFrames() {
        while (framed + kHeaderSize <= connection.size() && announcedAt(framed) == 0) {
            framed += kHeaderSize;
        }
    }

    bool renewOnError = false;
    std::vector<uint8_t> plan;
    size_t nextStep = 0;
    std::string stream;
    size_t position = 0;
    bool drained = false;
    bool resetPending = false;

    // The reference reading of the current connection: the bytes handed out on it, how far they
    // are accounted for by delivered frames, and whether an oversized header was seen.
    std::string connection;
    size_t framed = 0;
    bool broken = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ScriptedSocket socket(data, size);
    socket.readAll();
    return 0;
}
