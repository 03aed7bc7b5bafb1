#include "Tools/RovazoRiva/Common/DeliveryStatus.h"

const char* linkStateName(LinkState state) {
    switch (state) {
        case LinkState::kUp:
            return "up";
        case LinkState::kConnecting:
            return "connecting";
        case LinkState::kDown:
            break;
    }
    return "down";
}

const char* spoolStateName(SpoolState state) {
    switch (state) {
        case SpoolState::kJournal:
            return "journal";
        case SpoolState::kMemoryOnly:
            return "memory only";
        case SpoolState::kNone:
            break;
    }
    return "none";
}
