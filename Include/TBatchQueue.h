// TBatchQueue<T>: a locked list that hands whole batches of elements from producers to a consumer.
//
// Producers push() from any thread; one consumer takes everything at once with takeAll() into a
// list of its own, works through it without the lock, and returns what it did not finish with
// putBack(). Every operation holds the queue's ThreadLock from start to end, and takeAll/putBack
// relink whole chains of nodes in constant time, so the lock is held for a few pointer
// assignments however long the batch is. The list underneath is private: nothing reaches it
// without the lock.
//
// Requires: no thread uses the queue once its destruction has begun; the lists handed to
// takeAll/putBack belong to the calling thread.
#pragma once

#include <cstdint>
#include <mutex>

#include "TList.h"
#include "ThreadLock.h"

template <typename T>
class TBatchQueue : private TList<T> {
public:
    void push(const T& v) {
        std::lock_guard<ThreadLock> hold(guard);
        this->append(v);
    }

    // Moves every element, in push order, onto the end of dest and empties the batch. Returns
    // the number moved; an empty batch leaves dest unchanged and returns 0.
    uint32_t takeAll(TList<T>& dest) {
        std::lock_guard<ThreadLock> hold(guard);
        return TList<T>::moveAllNodes(*this, dest);
    }

    // Moves every element of src onto the end of the batch, after anything pushed meanwhile, and
    // empties src.
    void putBack(TList<T>& src) {
        std::lock_guard<ThreadLock> hold(guard);
        TList<T>::moveAllNodes(src, *this);
    }

private:
    ThreadLock guard;
};
