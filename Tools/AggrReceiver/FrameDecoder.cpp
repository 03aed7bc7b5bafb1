#include "Tools/AggrReceiver/FrameDecoder.h"

#include <algorithm>

namespace aggrreceiver {

FrameDecoder::Result FrameDecoder::feed(std::string_view bytes,
                                        const std::function<void(std::string&&)>& onFrame) {
    while (!bytes.empty()) {
        if (!inBody_) {
            std::size_t take = std::min(bytes.size(), sizeof header_ - headerBytes_);
            std::copy_n(bytes.data(), take, header_ + headerBytes_);
            headerBytes_ += take;
            bytes.remove_prefix(take);
            if (headerBytes_ < sizeof header_) {
                break;
            }
            headerBytes_ = 0;
            expected_ = (std::uint32_t{header_[0]} << 24) | (std::uint32_t{header_[1]} << 16) |
                        (std::uint32_t{header_[2]} << 8) | std::uint32_t{header_[3]};
            if (expected_ > kMaxFrameSize) {
                rejectedLength_ = expected_;
                return Result::Oversized;
            }
            inBody_ = true;
            body_.clear();
        }
        std::size_t take = std::min<std::size_t>(bytes.size(), expected_ - body_.size());
        body_.append(bytes.data(), take);
        bytes.remove_prefix(take);
        if (body_.size() == expected_) {
            inBody_ = false;
            std::string frame;
            frame.swap(body_);
            onFrame(std::move(frame));
        }
    }
    return Result::Ok;
}

}  // namespace aggrreceiver
