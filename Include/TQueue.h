// TQueue<T>: a TList<T> used first-in first-out: push() at the tail, pop() and peek() at the head.
//
// The owner serialises every call; the queue takes no lock. Queues are not walked with the
// list's own position; should the cursor stand on the head, pop() moves it to the new head.
// An empty queue makes pop() and peek() throw YuException and stays as it was.
#pragma once

#include "TList.h"
#include "YuException.h"

template <typename T>
class TQueue : public TList<T> {
public:
    void push(const T& v) { this->append(v); }

    T pop() {
        if (this->head == nullptr) {
            throw YuException("pop(): the list is empty.  Nothing to pop.");
        }
        T value = this->head->value;
        this->unlink(this->head);
        return value;
    }

    T& peek() {
        if (this->head == nullptr) {
            throw YuException("peek(): the list is empty.  Nothing to peek at.");
        }
        return this->head->value;
    }
};
