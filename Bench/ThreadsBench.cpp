#include <benchmark/benchmark.h>

#include <atomic>

#include "BaseThread.h"
#include "ThreadLock.h"

namespace {

// Two threads handing a signal back and forth: the cost of one wake-up through the event.
class Echo : public BaseThread {
public:
    explicit Echo(BaseThread& peer) : BaseThread(0xFFFFFFFFu), peer(peer) {}
    void run() override {
        while (waitForSignal(kInfinite) == 0 && !done.load()) {
            peer.signal();
        }
    }
    BaseThread& peer;
    std::atomic<bool> done{false};
};

class Waiter : public BaseThread {
public:
    Waiter() : BaseThread(0xFFFFFFFFu) {}
    void run() override {}
};

void BM_SignalRoundTrip(benchmark::State& state) {
    Waiter self;
    Echo echo(self);
    echo.start();
    for (auto _ : state) {
        echo.signal();
        self.waitForSignal(BaseThread::kInfinite);
    }
    echo.done.store(true);
    echo.signal();
    echo.join(BaseThread::kInfinite);
}
BENCHMARK(BM_SignalRoundTrip);

void BM_ThreadLockUncontended(benchmark::State& state) {
    ThreadLock lock;
    for (auto _ : state) {
        lock.lock();
        lock.unlock();
    }
}
BENCHMARK(BM_ThreadLockUncontended);

}  // namespace
