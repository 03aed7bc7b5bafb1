// TList<T>: a doubly linked list of individually allocated nodes with a built-in cursor.
//
// The owner serialises every call; the list takes no lock. Values are stored by copy; a list of
// pointers stores the pointers and never deletes what they point to, so its users delete the
// pointed-to objects themselves. The list's own position is walked as
//     reset(); while (hasCurrent()) { read iterator(); then remove() or Step(); }
// and Iterator / ConstIterator walk the list without touching that position.
//
// Every misuse throws YuException (code 0) naming the operation and leaves the list as it was.
// The cursor never dangles: whenever the node under it is unlinked (remove(), remove(value),
// TQueue::pop()) it moves to the node that followed. Lists are not copyable; TBatchQueue moves
// whole chains of nodes between lists instead.
//
// Requires: an Iterator or ConstIterator is not used after the node under it is removed or its
// list is destroyed.
#pragma once

#include <cstdint>

#include "YuException.h"

template <typename T>
class TList {
protected:
    struct Node {
        T value;
        Node* next;
        Node* prev;
    };

public:
    class Iterator;
    class ConstIterator;

    TList() = default;
    virtual ~TList() {
        while (head != nullptr) {
            Node* following = head->next;
            delete head;
            head = following;
        }
    }
    TList(const TList&) = delete;
    TList& operator=(const TList&) = delete;

    void append(const T& v) {
        Node* node = new Node{v, nullptr, tail};
        if (tail == nullptr) {
            head = node;
        } else {
            tail->next = node;
        }
        tail = node;
        ++count;
    }

    void reset() { cursor = head; }

    bool hasCurrent() const { return cursor != nullptr; }

    T& iterator() {
        if (cursor == nullptr) {
            throw YuException("TList::iterator(): the interator is null.");
        }
        return cursor->value;
    }

    void Step() {
        if (cursor == nullptr) {
            throw YuException("TList::Step(): No more entries.  Unable to step.");
        }
        cursor = cursor->next;
    }

    // Removes the node under the cursor; the cursor moves to the node that followed it.
    void remove() {
        if (cursor == nullptr) {
            throw YuException("TList::remove(): value does not exist");
        }
        unlink(cursor);
    }

    // Removes the first node, from the head, whose value == v (for pointers: the same address).
    void remove(const T& v) {
        for (Node* node = head; node != nullptr; node = node->next) {
            if (node->value == v) {
                unlink(node);
                return;
            }
        }
        throw YuException("TList::remove(): value does not exist");
    }

    uint32_t getCount() const { return count; }

protected:
    // Unlinks and frees node; a cursor standing on it moves to the following node.
    void unlink(Node* node) {
        if (node->prev == nullptr) {
            head = node->next;
        } else {
            node->prev->next = node->next;
        }
        if (node->next == nullptr) {
            tail = node->prev;
        } else {
            node->next->prev = node->prev;
        }
        if (cursor == node) {
            cursor = node->next;
        }
        --count;
        delete node;
    }

    // Relinks every node of from, in order, onto the end of to in constant time and leaves from
    // empty. The cursor of to stays where it was. Returns the number of nodes moved.
    // Requires: from and to are different lists.
    static uint32_t moveAllNodes(TList& from, TList& to) {
        if (from.head == nullptr) {
            return 0;
        }
        if (to.tail == nullptr) {
            to.head = from.head;
            to.cursor = nullptr;
        } else {
            to.tail->next = from.head;
            from.head->prev = to.tail;
        }
        to.tail = from.tail;
        const uint32_t moved = from.count;
        to.count += moved;
        from.head = from.tail = from.cursor = nullptr;
        from.count = 0;
        return moved;
    }

    Node* head = nullptr;
    Node* tail = nullptr;
    Node* cursor = nullptr;
    uint32_t count = 0;
};

// Walks a list from its head with writable access to the values.
template <typename T>
class TList<T>::Iterator {
public:
    explicit Iterator(TList& list) : current(list.head) {}
    virtual ~Iterator() = default;

    bool hasCurrent() const { return current != nullptr; }

    T& iterator() {
        if (current == nullptr) {
            throw YuException("TList::Iterator::iterator(): the interator is null.");
        }
        return current->value;
    }

    void Step() {
        if (current == nullptr) {
            throw YuException("TList::Iterator::Step(): No more entries.  Unable to step.");
        }
        current = current->next;
    }

private:
    Node* current;
};

// Walks a list from its head with read-only access to the values.
template <typename T>
class TList<T>::ConstIterator {
public:
    explicit ConstIterator(const TList& list) : current(list.head) {}
    virtual ~ConstIterator() = default;

    bool hasCurrent() const { return current != nullptr; }

    const T& iterator() const {
        if (current == nullptr) {
            throw YuException("TList::ConstIterator::iterator(): the interator is null.");
        }
        return current->value;
    }

    void Step() {
        if (current == nullptr) {
            throw YuException("TList::ConstIterator::Step(): No more entries.  Unable to step.");
        }
        current = current->next;
    }

private:
    const Node* current;
};
