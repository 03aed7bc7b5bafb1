#include <benchmark/benchmark.h>

#include <cstdint>

#include "TBatchQueue.h"
#include "TQueue.h"

namespace {

// Four threads push into one batch; the first of them also takes the batch every 64 pushes and
// pops what it took, as the event loop does with posted work.
void BM_BatchQueuePushTakeAll(benchmark::State& state) {
    static TBatchQueue<int> batch;
    TQueue<int> taken;
    int64_t pushes = 0;
    for (auto _ : state) {
        batch.push(static_cast<int>(pushes));
        if (state.thread_index() == 0 && ++pushes % 64 == 0) {
            batch.takeAll(taken);
            while (taken.getCount() > 0) {
                benchmark::DoNotOptimize(taken.pop());
            }
        }
    }
    state.SetItemsProcessed(state.iterations());
    if (state.thread_index() == 0) {
        batch.takeAll(taken);
    }
}
BENCHMARK(BM_BatchQueuePushTakeAll)->Threads(4)->UseRealTime();

// takeAll followed by putBack on batches of growing length: both relink the whole chain at once.
void BM_BatchQueueTakeAllPutBack(benchmark::State& state) {
    TBatchQueue<int> batch;
    for (int64_t i = 0; i < state.range(0); ++i) {
        batch.push(static_cast<int>(i));
    }
    TQueue<int> work;
    for (auto _ : state) {
        benchmark::DoNotOptimize(batch.takeAll(work));
        batch.putBack(work);
    }
}
BENCHMARK(BM_BatchQueueTakeAllPutBack)->Arg(16)->Arg(1024)->Arg(65536);

}  // namespace
