// HouseClock: the simulated automation system's house clock, a date and a time of day with
// frames that runs from a set start.
//
// Owned by AtmnSimulator. In timed play it runs with real time times the speed factor; in
// event-driven play (fast or fixed-interval play) it stands at the scenario time of the latest
// event a player reached. start is called by the component's control calls, advanceTo by its
// player threads and read by any thread, all at once.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>

#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnInterfaces.h"

namespace atmnsim {

class HouseClock {
public:
    // Starts at the local date and time, running with real time.
    HouseClock();

    // Restarts the clock at date and time (frames of fps per second). speed > 0: timed play at
    // that factor; speed 0: event-driven play from scenario time 0.
    void start(const AtmnDate& date, const AtmnTime& time, int32_t fps, double speed);

    // Event-driven play: the scenario time in milliseconds that a player has reached. The clock
    // never goes back.
    void advanceTo(int64_t scenarioMs);

    void read(AtmnDate* date, AtmnTime* time) const;

private:
    mutable std::mutex mutex_;
    int64_t startDay_ = 0;  // days since 1970-01-01
    int64_t startMsOfDay_ = 0;
    int32_t fps_ = 25;
    double speed_ = 1.0;
    std::chrono::steady_clock::time_point origin_;
    std::atomic<int64_t> reachedMs_{0};
};

}  // namespace atmnsim
