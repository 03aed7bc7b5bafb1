// The simulated automation component's class: its identifier, its ProgId and how it is made.
// Callable from any thread.
#pragma once

#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnInterfaces.h"

namespace atmnsim {

// {D35472C6-3643-4749-B8DA-E8ACFCC6FDC6}
constexpr platform::CLSID CLSID_AtmnSimulator = {
    0xD35472C6, 0x3643, 0x4749, {0xB8, 0xDA, 0xE8, 0xAC, 0xFC, 0xC6, 0xFD, 0xC6}};
constexpr const char* kSimulatorProgId = "Kri.AtmnSimulator";
constexpr const char* kSimulatorDescription = "Kri simulated studio automation system";

// A new simulator with one reference, the caller's.
IAtmnSystem* createSimulator();

}  // namespace atmnsim
