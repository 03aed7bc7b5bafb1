// KriPostEvent <name>: sets the named event <name> from a process of its own, as an operator's
// tool or another program would, and exits 0; exits 1 when there is no such event.
// KriPostEvent -create <name>: creates the event, as its owner, and ends through exit() without
// destroying it; exits 0 when it was created.
#include <cstdio>
#include <cstring>

#include "Platform/NamedEvent.h"

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "-create") == 0) {
        static platform::NamedEvent* const owned = platform::NamedEvent::create(argv[2]).release();
        return owned != nullptr ? 0 : 1;
    }
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s [-create] <event name>\n", argv[0]);
        return 2;
    }
    const auto event = platform::NamedEvent::open(argv[1]);
    if (event == nullptr) {
        std::fprintf(stderr, "%s: no event named %s\n", argv[0], argv[1]);
        return 1;
    }
    return event->set() ? 0 : 1;
}
