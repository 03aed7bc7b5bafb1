// LiveState: the receiver's StudioModel shared between the thread that serves the TLS side,
// which changes it, and the live page's HTTP threads, which read it.
//
// Threads: update() is called by the TLS loop; snapshot() and waitForChange() by any number of
// HTTP threads. One mutex guards the model, the version and the cached rendering. update()
// holds it only for the change itself; the JSON text is rendered by the first reader that
// needs a new version, at most once per version (and once a second while nothing changes, so
// that removed items fade out), and shared read-only with the other readers. A slow HTTP client
// therefore holds nothing the TLS loop waits for.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "Tools/AggrReceiver/StudioModel.h"

namespace aggrreceiver {

class LiveState {
public:
    struct Snapshot {
        std::uint64_t version = 0;
        std::shared_ptr<const std::string> json;
    };

    // `receiverAddress` is the TLS listener's ADDR:PORT, shown with the state.
    explicit LiveState(std::string receiverAddress);

    // Where the page is served and whether other machines can reach it; shown with the state.
    void setPage(std::string url, bool visibleFromNetwork);

    void update(const std::function<void(StudioModel&, std::int64_t nowMs)>& change);

    // The current state as JSON text, and its version.
    Snapshot snapshot();

    // Waits until the version is no longer `seen`, stop() was called, or `timeout` passed.
    // Returns false once stop() was called.
    bool waitForChange(std::uint64_t seen, std::chrono::milliseconds timeout);

    // Ends every wait, now and later.
    void stop();

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    StudioModel model_;
    std::string receiverAddress_;
    std::string pageUrl_;
    bool visibleFromNetwork_ = false;
    std::uint64_t version_ = 1;
    bool stopping_ = false;
    Snapshot rendered_;
    std::int64_t renderedAtMs_ = 0;
};

}  // namespace aggrreceiver
