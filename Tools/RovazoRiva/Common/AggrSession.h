// CAggrSession: one session of the aggregation link, the record behind a nonzero session id.
//
// The aggregation client makes one record per addSession and owns it: the session registry
// holds it while the session is registered, and the client deletes it when the session is
// removed or the client goes. A record never changes after it is made; the client's lock guards
// every use of it.
#pragma once

#include <cstdint>

#include "LibraryInterfaces/String.h"

class CAggrSession {
public:
    CAggrSession(const String& name, uint32_t id) : name(name), id(id) {}

    // The key under which the session was registered (the playlist's name).
    const String& getName() const { return name; }
    uint32_t getId() const { return id; }

private:
    String name;
    uint32_t id;
};
