#include <gtest/gtest.h>

#include <strings.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "TBatchQueue.h"
#include "TList.h"
#include "TLookupList.h"
#include "TQueue.h"
#include "YuException.h"

namespace {

// A list that checks its own links: values() walks head to tail, checking every prev link, the
// tail, the count and that the cursor stands on one of the nodes.
template <template <typename> class List, typename T>
class Checked : public List<T> {
public:
    std::vector<T> values() const {
        std::vector<T> seen;
        decltype(this->head) prev = nullptr;
        bool cursorSeen = this->cursor == nullptr;
        for (auto* node = this->head; node != nullptr; node = node->next) {
            EXPECT_EQ(prev, node->prev);
            cursorSeen = cursorSeen || node == this->cursor;
            seen.push_back(node->value);
            prev = node;
        }
        EXPECT_EQ(prev, this->tail);
        EXPECT_EQ(seen.size(), this->getCount());
        EXPECT_TRUE(cursorSeen);
        return seen;
    }
    std::optional<T> current() const {
        return this->cursor ? std::optional<T>(this->cursor->value) : std::nullopt;
    }
};

using IntList = Checked<TList, int>;
using IntQueue = Checked<TQueue, int>;
using Ints = std::vector<int>;

void expectThrows(const std::function<void()>& misuse, const std::string& message) {
    try {
        misuse();
        ADD_FAILURE() << "no exception, expected \"" << message << "\"";
    } catch (const YuException& e) {
        EXPECT_EQ(message, e.getMessage());
        EXPECT_EQ(0, e.getCode());
    }
}

IntList& fill(IntList& list, const Ints& values) {
    for (int v : values) {
        list.append(v);
    }
    return list;
}

TEST(YuException, AbsentMessageReadsVoidAndCodeIsKept) {
    EXPECT_STREQ("*VOID*", YuException(nullptr).getMessage());
    EXPECT_STREQ("*VOID*", YuException(-7, nullptr).getMessage());
    YuException coded(INT32_MIN, "failed");
    EXPECT_STREQ("failed", coded.getMessage());
    EXPECT_EQ(INT32_MIN, coded.getCode());
    EXPECT_EQ(0, YuException("plain").getCode());
}

TEST(YuException, OwnsACopyOfItsTextAndCopiesKeepTextAndCode) {
    std::string text = "first";
    auto original = std::make_unique<YuException>(42, text.c_str());
    text[0] = 'X';
    EXPECT_STREQ("first", original->getMessage());
    YuException copy(*original);
    EXPECT_NE(original->getMessage(), copy.getMessage());
    original.reset();
    EXPECT_STREQ("first", copy.getMessage());
    EXPECT_EQ(42, copy.getCode());
    EXPECT_STREQ("*VOID*", YuException(YuException(3, nullptr)).getMessage());
}

TEST(YuException, CopyTakesTheCodeThatTheSourceReports) {
    struct Reporting : YuException {
        Reporting() : YuException("sub") {}
        int32_t getCode() const override { return 99; }
    };
    try {
        throw Reporting();
    } catch (const YuException& caught) {
        YuException sliced(caught);
        EXPECT_EQ(99, sliced.getCode());
        EXPECT_STREQ("sub", sliced.getMessage());
    }
}

TEST(TList, MisuseThrowsItsOwnMessageAndChangesNothing) {
    IntList list;
    expectThrows([&] { list.iterator(); }, "TList::iterator(): the interator is null.");
    expectThrows([&] { list.remove(1); }, "TList::remove(): value does not exist");
    fill(list, {1, 2, 3});
    list.reset();
    list.Step();
    list.Step();
    list.Step();
    EXPECT_FALSE(list.hasCurrent());
    expectThrows([&] { list.iterator(); }, "TList::iterator(): the interator is null.");
    expectThrows([&] { list.Step(); }, "TList::Step(): No more entries.  Unable to step.");
    expectThrows([&] { list.remove(); }, "TList::remove(): value does not exist");
    expectThrows([&] { list.remove(4); }, "TList::remove(): value does not exist");
    EXPECT_EQ((Ints{1, 2, 3}), list.values());
    EXPECT_EQ(std::nullopt, list.current());
}

TEST(TList, RemoveUnderCursorUnlinksHeadMiddleTailAndOnlyNode) {
    IntList list;
    fill(list, {1, 2, 3, 4});
    list.reset();
    list.remove();
    EXPECT_EQ((Ints{2, 3, 4}), list.values());
    EXPECT_EQ(2, list.current());
    list.Step();
    list.remove();
    EXPECT_EQ((Ints{2, 4}), list.values());
    EXPECT_EQ(4, list.current());
    list.remove();
    EXPECT_EQ((Ints{2}), list.values());
    expectThrows([&] { list.iterator(); }, "TList::iterator(): the interator is null.");
    list.reset();
    list.remove();
    EXPECT_EQ(Ints{}, list.values());
    list.append(5);
    EXPECT_EQ((Ints{5}), list.values());
}

TEST(TList, WalkRemovingSomeElements) {
    IntList list;
    fill(list, {1, 2, 3, 4, 5, 6});
    for (list.reset(); list.hasCurrent();) {
        if (list.iterator() % 2 == 0) {
            list.remove();
        } else {
            list.Step();
        }
    }
    EXPECT_EQ((Ints{1, 3, 5}), list.values());
}

TEST(TList, RemoveByValueTakesOnlyTheFirstMatch) {
    IntList list;
    fill(list, {1, 2, 1, 3, 4});
    list.remove(1);
    EXPECT_EQ((Ints{2, 1, 3, 4}), list.values());
    list.remove(4);
    list.remove(1);
    EXPECT_EQ((Ints{2, 3}), list.values());
    list.remove(2);
    list.remove(3);
    EXPECT_EQ(Ints{}, list.values());
}

TEST(TList, RemoveByValueMovesACursorStandingOnTheRemovedNode) {
    IntList list;
    fill(list, {1, 2, 3});
    list.reset();
    list.Step();
    list.remove(1);
    EXPECT_EQ(2, list.current());
    list.remove(2);
    EXPECT_EQ(3, list.current());
    list.remove(3);
    EXPECT_EQ(std::nullopt, list.current());
}

TEST(TList, PointerListsCompareAddressesAndNeverDeletePointees) {
    int a = 1;
    int b = 1;
    Checked<TList, int*> list;
    list.append(&a);
    list.append(&b);
    list.remove(&b);
    EXPECT_EQ((std::vector<int*>{&a}), list.values());
}

TEST(TList, DestructionRunsTheDestructorOfEveryValue) {
    auto shared = std::make_shared<int>(0);
    {
        TList<std::shared_ptr<int>> list;
        list.append(shared);
        list.append(shared);
        EXPECT_EQ(3, shared.use_count());
    }
    EXPECT_EQ(1, shared.use_count());
}

TEST(TList, IteratorsWalkWithoutTouchingTheCursor) {
    IntList list;
    fill(list, {1, 2, 3});
    list.reset();
    list.Step();
    TList<int>::Iterator second(list);
    for (TList<int>::Iterator it(list); it.hasCurrent(); it.Step()) {
        it.iterator() *= 10;
    }
    Ints read;
    TList<int>::ConstIterator cit(list);
    for (; cit.hasCurrent(); cit.Step()) {
        read.push_back(cit.iterator());
    }
    EXPECT_EQ((Ints{10, 20, 30}), read);
    EXPECT_EQ(10, second.iterator());
    EXPECT_EQ(20, list.current());
    expectThrows([&] { cit.iterator(); },
                 "TList::ConstIterator::iterator(): the interator is null.");
    expectThrows([&] { cit.Step(); },
                 "TList::ConstIterator::Step(): No more entries.  Unable to step.");
}

TEST(TList, IteratorsOfAnEmptyListThrow) {
    TList<int> empty;
    TList<int>::Iterator it(empty);
    expectThrows([&] { it.iterator(); }, "TList::Iterator::iterator(): the interator is null.");
    expectThrows([&] { it.Step(); }, "TList::Iterator::Step(): No more entries.  Unable to step.");
}

TEST(TQueue, PopsInPushOrderAndThrowsWhenEmpty) {
    IntQueue queue;
    expectThrows([&] { queue.pop(); }, "pop(): the list is empty.  Nothing to pop.");
    expectThrows([&] { queue.peek(); }, "peek(): the list is empty.  Nothing to peek at.");
    queue.push(1);
    queue.push(2);
    EXPECT_EQ(1, queue.peek());
    EXPECT_EQ(1, queue.pop());
    EXPECT_EQ((Ints{2}), queue.values());
    EXPECT_EQ(2, queue.pop());
    EXPECT_EQ(Ints{}, queue.values());
    expectThrows([&] { queue.pop(); }, "pop(): the list is empty.  Nothing to pop.");
    queue.push(3);
    EXPECT_EQ((Ints{3}), queue.values());
}

TEST(TQueue, PopMovesACursorStandingOnTheHead) {
    IntQueue queue;
    queue.push(1);
    queue.push(2);
    queue.reset();
    queue.pop();
    EXPECT_EQ(2, queue.current());
    queue.pop();
    EXPECT_EQ(std::nullopt, queue.current());
}

// A text key whose equality is its compare operation yielding zero, as with the application's
// string type; case is ignored so that equal keys need not be identical texts.
struct TextKey {
    std::string text;
    int compare(const TextKey& other) const { return strcasecmp(text.c_str(), other.text.c_str()); }
    bool operator==(const TextKey& other) const { return compare(other) == 0; }
};

TEST(TLookupList, InsertAndLookupByKeyEquality) {
    TLookupList<TextKey, int> list;
    expectThrows([&] { list.lookup({"a"}); }, "lookup: key/value LookupPair not found");
    list.insert({"Alpha"}, 1);
    list.insert({"beta"}, 2);
    list.lookup({"BETA"}) = 20;
    EXPECT_EQ(20, list.lookup({"beta"}));
    EXPECT_EQ(1, list.lookup({"alpha"}));
    expectThrows([&] { list.insert({"ALPHA"}, 3); }, "insert: key already exists in list");
    expectThrows([&] { list.lookup({"gamma"}); }, "lookup: key/value LookupPair not found");
    EXPECT_EQ(2u, list.getCount());
    EXPECT_EQ(1, list.lookup({"alpha"}));
    list.reset();
    list.remove();
    expectThrows([&] { list.lookup({"alpha"}); }, "lookup: key/value LookupPair not found");
    EXPECT_EQ(20, list.lookup({"beta"}));
}

TEST(TBatchQueue, TakeAllMovesTheBatchInPushOrder) {
    TBatchQueue<int> batch;
    IntQueue dest;
    dest.push(0);
    dest.reset();
    batch.push(1);
    batch.push(2);
    batch.push(3);
    EXPECT_EQ(3u, batch.takeAll(dest));
    EXPECT_EQ((Ints{0, 1, 2, 3}), dest.values());
    EXPECT_EQ(0, dest.current());
    EXPECT_EQ(0u, batch.takeAll(dest));
    EXPECT_EQ((Ints{0, 1, 2, 3}), dest.values());
}

TEST(TBatchQueue, PutBackGoesAfterWhatWasPushedMeanwhile) {
    TBatchQueue<int> batch;
    IntQueue work;
    batch.push(1);
    batch.push(2);
    batch.takeAll(work);
    batch.push(3);
    work.reset();
    batch.putBack(work);
    EXPECT_EQ(Ints{}, work.values());
    EXPECT_EQ(std::nullopt, work.current());
    batch.putBack(work);
    EXPECT_EQ(3u, batch.takeAll(work));
    EXPECT_EQ((Ints{3, 1, 2}), work.values());
}

constexpr int kProducers = 4;
constexpr int kPerProducer = 5000;

// Four producers push tagged values while the consumer takes batches and, when putBackHalf is
// set, returns the second half of each batch unpopped. Returns every value the consumer popped.
std::vector<int> consumeFromProducers(bool putBackHalf) {
    TBatchQueue<int> batch;
    std::atomic<int> finished{0};
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&batch, &finished, p] {
            for (int i = 0; i < kPerProducer; ++i) {
                batch.push(p * kPerProducer + i);
            }
            finished.fetch_add(1);
        });
    }
    std::vector<int> popped;
    TQueue<int> work;
    // Ends when everything arrived, or when the producers are done and the batch is empty.
    while (popped.size() < size_t(kProducers) * kPerProducer) {
        const bool producersDone = finished.load() == kProducers;
        const uint32_t taken = batch.takeAll(work);
        if (taken == 0 && producersDone) {
            break;
        }
        for (uint32_t i = 0; i < (putBackHalf ? (taken + 1) / 2 : taken); ++i) {
            popped.push_back(work.pop());
        }
        batch.putBack(work);
        std::this_thread::yield();
    }
    for (auto& producer : producers) {
        producer.join();
    }
    EXPECT_EQ(0u, batch.takeAll(work));
    return popped;
}

TEST(TBatchQueue, SeveralProducersKeepTheirOrderThroughTakeAll) {
    std::vector<int> next(kProducers);
    for (int v : consumeFromProducers(false)) {
        int p = v / kPerProducer;
        ASSERT_EQ(next[p] + p * kPerProducer, v);
        ++next[p];
    }
    EXPECT_EQ(std::vector<int>(kProducers, kPerProducer), next);
}

TEST(TBatchQueue, PutBackLosesAndDuplicatesNothingUnderSeveralProducers) {
    std::map<int, int> seen;
    for (int v : consumeFromProducers(true)) {
        ++seen[v];
    }
    EXPECT_EQ(size_t(kProducers) * kPerProducer, seen.size());
    for (const auto& [value, times] : seen) {
        ASSERT_EQ(1, times) << value;
    }
}

}  // namespace
