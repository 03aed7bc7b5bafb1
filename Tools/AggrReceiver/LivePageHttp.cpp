// The live page on cpp-httplib.
#include <httplib.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "Tools/AggrReceiver/AggrReceiver.h"
#include "Tools/AggrReceiver/LivePage.h"
#include "Tools/AggrReceiver/LivePageReadLimit.h"

namespace aggrreceiver {

namespace {

using namespace std::chrono_literals;

// A stream sends a comment this often while nothing changes, so that a client notices a dead
// connection, and at most one state every kEventInterval.
constexpr auto kKeepAliveInterval = 15s;
constexpr auto kEventInterval = 200ms;
constexpr int kReadWriteTimeoutSeconds = 3;
// What a connection may send in all: a few requests of a browser (each a few hundred bytes;
// keep-alive serves at most kRequestsPerConnection) fit many times over.
constexpr std::size_t kMaxReadPerConnection = 64 * 1024;
constexpr std::size_t kRequestsPerConnection = 5;

// The workers of the HTTP server: a fixed number of threads and a bounded queue of accepted
// connections. When the queue is full, enqueue (called by the server's accepting thread) waits
// for room, so that further clients wait in the kernel rather than as open descriptors here.
class BoundedPool : public httplib::TaskQueue {
public:
    BoundedPool(std::size_t threads, std::size_t maxWaiting) : maxWaiting_(maxWaiting) {
        for (std::size_t i = 0; i < threads; ++i) {
            threads_.emplace_back([this] { work(); });
        }
    }

    void enqueue(std::function<void()> job) override {
        std::unique_lock<std::mutex> lock(mutex_);
        room_.wait(lock, [this] { return jobs_.size() < maxWaiting_; });
        jobs_.push_back(std::move(job));
        work_.notify_one();
    }

    // Runs what is queued, then ends the threads.
    void shutdown() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            shuttingDown_ = true;
        }
        work_.notify_all();
        for (std::thread& thread : threads_) {
            thread.join();
        }
    }

private:
    void work() {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                work_.wait(lock, [this] { return shuttingDown_ || !jobs_.empty(); });
                if (jobs_.empty()) {
                    return;
                }
                job = std::move(jobs_.front());
                jobs_.pop_front();
                room_.notify_one();
            }
            limitReadsOfThisThread(kMaxReadPerConnection);
            job();
        }
    }

    const std::size_t maxWaiting_;
    std::mutex mutex_;
    std::condition_variable work_;
    std::condition_variable room_;
    std::deque<std::function<void()>> jobs_;
    bool shuttingDown_ = false;
    std::vector<std::thread> threads_;
};

const char* const kServed =
    "This is the reference receiver's live page: / (the page), /state.json (the state) and "
    "/events (the state as Server-Sent Events). A request line or header line may hold 8 KiB, "
    "a connection may send 64 KiB in all.\n";

std::string statusText(int status) {
    switch (status) {
        case 400:
            return "400 Bad Request";
        case 404:
            return "404 Not Found";
        case 405:
            return "405 Method Not Allowed";
        case 413:
            return "413 Payload Too Large";
        case 414:
            return "414 URI Too Long";
        default:
            return std::to_string(status);
    }
}

void noStore(httplib::Response& response) {
    response.set_header("Cache-Control", "no-store");
}

}  // namespace

struct LivePage::Server {
    LiveState& state;
    httplib::Server http;
    std::atomic<std::size_t> streams{0};
    std::atomic<bool> listenEnded{false};
    std::thread thread;
    std::string url;

    explicit Server(LiveState& liveState) : state(liveState) {}
    void route();
    void serveEvents(httplib::Response& response);
};

void LivePage::Server::route() {
    http.new_task_queue = [] { return new BoundedPool(kWorkers, kMaxWaiting); };
    http.set_read_timeout(kReadWriteTimeoutSeconds, 0);
    http.set_write_timeout(kReadWriteTimeoutSeconds, 0);
    http.set_keep_alive_timeout(kReadWriteTimeoutSeconds);
    http.set_keep_alive_max_count(kRequestsPerConnection);
    http.set_payload_max_length(4096);
    http.set_address_family(AF_INET);

    http.Get("/", [](const httplib::Request&, httplib::Response& response) {
        noStore(response);
        response.set_content(kLivePageHtml, "text/html; charset=utf-8");
    });
    http.Get("/state.json", [this](const httplib::Request&, httplib::Response& response) {
        noStore(response);
        response.set_content(*state.snapshot().json, "application/json");
    });
    http.Get("/events", [this](const httplib::Request&, httplib::Response& response) {
        serveEvents(response);
    });
    // The answers the library makes by itself (400, 404, 405, 413, 414, ...) get a body that
    // says what went wrong and what is served here.
    http.set_error_handler([](const httplib::Request&, httplib::Response& response) {
        if (response.body.empty()) {
            response.set_content(statusText(response.status) + "\n" + kServed,
                                 "text/plain; charset=utf-8");
        }
    });
}

void LivePage::Server::serveEvents(httplib::Response& response) {
    if (++streams > kMaxEventStreams) {
        --streams;
        response.status = 503;
        response.set_content("503 Service Unavailable: " + std::to_string(kMaxEventStreams) +
                                 " live pages are open already; close one and reload.\n",
                             "text/plain; charset=utf-8");
        return;
    }
    noStore(response);
    auto seen = std::make_shared<std::uint64_t>(0);
    response.set_chunked_content_provider(
        "text/event-stream",
        [this, seen](std::size_t, httplib::DataSink& sink) {
            if (!state.waitForChange(*seen, kKeepAliveInterval)) {
                sink.done();
                return true;
            }
            LiveState::Snapshot snapshot = state.snapshot();
            std::string event = snapshot.version == *seen ? std::string(": still here\n\n")
                                                          : "data: " + *snapshot.json + "\n\n";
            *seen = snapshot.version;
            if (!sink.write(event.data(), event.size())) {
                return false;
            }
            // Changes that come quicker than this are sent as one.
            std::this_thread::sleep_for(kEventInterval);
            return true;
        },
        [this](bool) { --streams; });
}

LivePage::LivePage(LiveState& state, const std::string& address, std::uint16_t port)
    : server_(std::make_unique<Server>(state)) {
    server_->route();
    const int bound = port == 0 ? server_->http.bind_to_any_port(address)
                                : (server_->http.bind_to_port(address, port) ? port : -1);
    if (bound < 0) {
        throw ReceiverSetupError("cannot serve the live page on " + address + ":" +
                                 std::to_string(port) + " (address in use or not local?)");
    }
    server_->url = "http://" + address + ":" + std::to_string(bound) + "/";
    Server* server = server_.get();
    server->thread = std::thread([server] {
        server->http.listen_after_bind();
        server->listenEnded = true;
    });
    // stop() does nothing to a server that is not running yet.
    while (!server->http.is_running() && !server->listenEnded) {
        std::this_thread::sleep_for(1ms);
    }
}

LivePage::~LivePage() {
    server_->state.stop();
    server_->http.stop();
    server_->thread.join();
}

std::string LivePage::url() const {
    return server_->url;
}

}  // namespace aggrreceiver
