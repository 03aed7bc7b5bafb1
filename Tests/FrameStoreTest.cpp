// The delivery backlog's frame store against a plain queue of strings, on seeded random pushes
// and pops with frames that straddle chunk boundaries.
#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <string>

#include "Tools/RovazoRiva/Common/FrameStore.h"

TEST(FrameStore, HoldsWhatAQueueOfStringsHolds) {
    std::mt19937 random(14);
    FrameStore store;
    std::deque<std::string> model;
    for (int step = 0; step < 20000; ++step) {
        const unsigned choice = random() % 100;
        if (choice < 55) {
            // Mostly entry-sized frames, now and then one larger than a chunk.
            const size_t length =
                choice == 0 ? FrameStore::kChunkBytes + random() % 5000 : random() % 900;
            std::string frame(length, static_cast<char>('a' + step % 26));
            if (!frame.empty()) {
                frame.front() = static_cast<char>(step);
            }
            store.pushBack(frame, step);
            model.push_back(frame);
        } else if (choice < 98) {
            if (!model.empty()) {
                store.popFront();
                model.pop_front();
            }
        } else {
            store.clear();
            model.clear();
        }
        ASSERT_EQ(model.size(), store.size());
        uint64_t bytes = 0;
        for (const std::string& frame : model) {
            bytes += frame.size();
        }
        ASSERT_EQ(bytes, store.bytes());
        if (!model.empty()) {
            const size_t position = random() % model.size();
            std::string copy = "x";
            store.appendFrame(position, copy);
            ASSERT_EQ("x" + model[position], copy) << "step " << step;
            ASSERT_EQ(model[position].size(), store.frameLength(position));
        }
    }
}
