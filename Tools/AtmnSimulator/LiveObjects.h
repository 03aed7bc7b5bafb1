// The count of the simulator's objects that are alive (components, playlists, entries), which
// decides whether the plug-in may be unloaded. Changed and read from any thread.
#pragma once

#include <atomic>

namespace atmnsim {

std::atomic<long>& liveObjects();

// Counts its owner as alive from construction to destruction.
class LiveObject {
public:
    LiveObject() { liveObjects().fetch_add(1); }
    LiveObject(const LiveObject&) : LiveObject() {}
    LiveObject& operator=(const LiveObject&) = default;
    ~LiveObject() { liveObjects().fetch_sub(1); }
};

}  // namespace atmnsim
