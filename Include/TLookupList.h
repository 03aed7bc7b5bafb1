// LookupPair<K, V> and TLookupList<K, V>: a list of key/value pairs with unique keys.
//
// The owner serialises every call; the list takes no lock. Keys are compared with the key
// type's own ==; for text keys that is equality of their compare operation's result with zero.
// insert() and lookup() are linear walks from the head (the lists hold few pairs); the other
// TList operations, walks and remove() included, apply to the pairs. A duplicate key in insert()
// or a missing key in lookup() throws YuException and leaves the list as it was.
#pragma once

#include "TList.h"
#include "YuException.h"

template <typename K, typename V>
struct LookupPair {
    K key;
    V value;
};

template <typename K, typename V>
class TLookupList : public TList<LookupPair<K, V>> {
public:
    void insert(const K& key, const V& value) {
        if (find(key) != nullptr) {
            throw YuException("insert: key already exists in list");
        }
        this->append(LookupPair<K, V>{key, value});
    }

    V& lookup(const K& key) {
        LookupPair<K, V>* pair = find(key);
        if (pair == nullptr) {
            throw YuException("lookup: key/value LookupPair not found");
        }
        return pair->value;
    }

private:
    LookupPair<K, V>* find(const K& key) {
        for (auto* node = this->head; node != nullptr; node = node->next) {
            if (node->value.key == key) {
                return &node->value;
            }
        }
        return nullptr;
    }
};
