// FrameStore: the bytes of a delivery backlog's frames, oldest first, packed end to end in
// fixed-size chunks, with a small index entry (position, length, time of acceptance) per frame.
//
// A queued frame costs its bytes plus its index entry, instead of a heap block and a queue node of
// its own; a chunk is freed once every frame in it has left. Frames are added at the back and
// leave from the front only.
//
// Owned by a DeliveryBacklog and used under its lock only: no locking of its own.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>

class FrameStore {
public:
    void pushBack(std::string_view frame, int64_t acceptedMs);
    void popFront();
    void clear();

    size_t size() const { return index.size(); }
    bool empty() const { return index.empty(); }
    // The bytes of the frames held.
    uint64_t bytes() const { return end - (index.empty() ? end : index.front().offset); }
    int64_t acceptedMs(size_t position) const { return index[position].acceptedMs; }
    size_t frameLength(size_t position) const { return index[position].length; }
    // Appends the frame at `position` (0 is the oldest) to `into`.
    void appendFrame(size_t position, std::string& into) const;

    static constexpr size_t kChunkBytes = 64 * 1024;

private:
    struct Entry {
        uint64_t offset;  // where the frame starts in the stream of all bytes ever added
        int64_t acceptedMs;
        uint32_t length;
    };

    std::deque<std::unique_ptr<char[]>> chunks;
    // The stream offset of the first chunk's first byte, and of the end of the last frame.
    uint64_t chunksStart = 0;
    uint64_t end = 0;
    std::deque<Entry> index;
};
