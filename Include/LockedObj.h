// LockedObj<T>: a value guarded by its own ThreadLock.
//
// Every get() and set() takes the lock, copies the value out or in, and releases it, so each is
// atomic with respect to the others; a get() followed by a set() is not. Safe from any thread.
#pragma once

#include "ThreadLock.h"

template <typename T>
class LockedObj {
public:
    explicit LockedObj(const T& initial = T()) : value(initial) {}
    virtual ~LockedObj() = default;

    T get() {
        guard.lock();
        T copy = value;
        guard.unlock();
        return copy;
    }

    void set(const T& v) {
        guard.lock();
        value = v;
        guard.unlock();
    }

private:
    ThreadLock guard;
    T value;
};
