#include "Tools/AggrReceiver/LiveState.h"

#include "Platform/Clock.h"

namespace aggrreceiver {

namespace {

constexpr std::int64_t kRenderAtLeastEveryMs = 1000;

}  // namespace

LiveState::LiveState(std::string receiverAddress) : receiverAddress_(std::move(receiverAddress)) {}

void LiveState::setPage(std::string url, bool visibleFromNetwork) {
    std::lock_guard<std::mutex> lock(mutex_);
    pageUrl_ = std::move(url);
    visibleFromNetwork_ = visibleFromNetwork;
    ++version_;
    changed_.notify_all();
}

void LiveState::update(const std::function<void(StudioModel&, std::int64_t nowMs)>& change) {
    const std::int64_t now = platform::wallClockMs();
    std::lock_guard<std::mutex> lock(mutex_);
    change(model_, now);
    ++version_;
    changed_.notify_all();
}

LiveState::Snapshot LiveState::snapshot() {
    const std::int64_t now = platform::wallClockMs();
    std::lock_guard<std::mutex> lock(mutex_);
    if (rendered_.version != version_ || now - renderedAtMs_ >= kRenderAtLeastEveryMs) {
        nlohmann::json state = model_.toJson(now);
        state["receiver"] = {{"address", receiverAddress_},
                             {"page", pageUrl_},
                             {"visibleFromNetwork", visibleFromNetwork_}};
        state["generatedAt"] = utcText(now);
        rendered_.version = version_;
        rendered_.json = std::make_shared<const std::string>(
            state.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
        renderedAtMs_ = now;
    }
    return rendered_;
}

bool LiveState::waitForChange(std::uint64_t seen, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return stopping_ || version_ != seen; });
    return !stopping_;
}

void LiveState::stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    changed_.notify_all();
}

}  // namespace aggrreceiver
