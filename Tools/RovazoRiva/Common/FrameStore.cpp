#include "Tools/RovazoRiva/Common/FrameStore.h"

#include <algorithm>
#include <cstring>

void FrameStore::pushBack(std::string_view frame, int64_t acceptedMs) {
    index.push_back(Entry{end, acceptedMs, static_cast<uint32_t>(frame.size())});
    size_t copied = 0;
    while (copied < frame.size()) {
        const uint64_t inChunks = end - chunksStart;
        if (inChunks == chunks.size() * kChunkBytes) {
            chunks.push_back(std::make_unique_for_overwrite<char[]>(kChunkBytes));
        }
        const size_t at = static_cast<size_t>(inChunks % kChunkBytes);
        const size_t n = std::min(frame.size() - copied, kChunkBytes - at);
        std::memcpy(chunks[static_cast<size_t>(inChunks / kChunkBytes)].get() + at,
                    frame.data() + copied, n);
        copied += n;
        end += n;
    }
}

void FrameStore::popFront() {
    index.pop_front();
    const uint64_t firstKept = index.empty() ? end : index.front().offset;
    // The chunk that the next frame is written into stays, even when nothing is left in it.
    while (chunks.size() > 1 && chunksStart + kChunkBytes <= firstKept) {
        chunks.pop_front();
        chunksStart += kChunkBytes;
    }
}

void FrameStore::clear() {
    index.clear();
    chunks.clear();
    chunksStart = end;
}

void FrameStore::appendFrame(size_t position, std::string& into) const {
    const Entry& entry = index[position];
    uint64_t from = entry.offset;
    const uint64_t to = entry.offset + entry.length;
    while (from < to) {
        const uint64_t inChunks = from - chunksStart;
        const size_t at = static_cast<size_t>(inChunks % kChunkBytes);
        const size_t n = static_cast<size_t>(std::min<uint64_t>(to - from, kChunkBytes - at));
        into.append(chunks[static_cast<size_t>(inChunks / kChunkBytes)].get() + at, n);
        from += n;
    }
}
