// The seam inside console control, internal to ConsoleControl.cpp and ConsoleControl<System>.cpp:
// the shared file keeps the handlers and runs them, the system's file delivers the events.
#pragma once

#include <cstdint>

namespace platform::detail {

// Starts delivering console events to dispatchConsoleEvent. Called once, under the handler
// lock, when the first handler is added; returns false with the last error set when it cannot.
bool startConsoleEvents();

// Runs the handlers for an event, the most recently added first and outside the lock (so that
// one may add or remove a handler), until one returns true. Returns whether one did.
bool dispatchConsoleEvent(uint32_t ctrlType);

}  // namespace platform::detail
