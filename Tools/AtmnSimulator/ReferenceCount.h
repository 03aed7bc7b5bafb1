// ReferenceCount: the reference count of one of the simulator's COM objects, which starts at 1
// (its creator's reference). The object's AddRef and Release forward to it; any thread.
#pragma once

#include <atomic>
#include <cstdint>

namespace atmnsim {

class ReferenceCount {
public:
    uint32_t add() { return count_.fetch_add(1, std::memory_order_relaxed) + 1; }

    // Gives up one reference, deleting object with the last one. The references left.
    template <typename Object>
    uint32_t release(Object* object) {
        const uint32_t left = count_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) {
            delete object;
        }
        return left;
    }

private:
    std::atomic<uint32_t> count_{1};
};

}  // namespace atmnsim
