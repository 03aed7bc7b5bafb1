// FrameDecoder: splits a byte stream into messages of the link's framing: a 4-byte unsigned
// length in network byte order, then that many bytes. Each connection of the receiver owns one;
// it is used by one thread only.
//
// A header announcing more than kMaxFrameSize bytes puts the decoder into a failed state: the
// stream cannot be resynchronised, so the caller is expected to close the connection. Memory is
// taken as the bytes arrive, never in advance from the header alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace aggrreceiver {

class FrameDecoder {
public:
    static constexpr std::uint32_t kMaxFrameSize = 16u * 1024u * 1024u;

    enum class Result { Ok, Oversized };

    // Consumes all of `bytes`, calling `onFrame` with each complete frame in stream order
    // (empty frames included). Returns Oversized, and consumes nothing more, once a header is
    // above the limit.
    // Requires: the decoder has not returned Oversized before.
    Result feed(std::string_view bytes, const std::function<void(std::string&& frame)>& onFrame);

    // The announced length of the rejected header, after feed returned Oversized.
    std::uint32_t rejectedLength() const { return rejectedLength_; }

    // True while part of a header or a frame has been received but not the whole of it.
    bool insideFrame() const { return headerBytes_ > 0 || inBody_; }
    std::size_t bodyBytesReceived() const { return body_.size(); }
    std::uint32_t expectedLength() const { return expected_; }

private:
    unsigned char header_[4] = {};
    std::size_t headerBytes_ = 0;
    bool inBody_ = false;
    std::uint32_t expected_ = 0;
    std::uint32_t rejectedLength_ = 0;
    std::string body_;
};

}  // namespace aggrreceiver
