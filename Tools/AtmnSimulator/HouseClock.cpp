#include <ctime>

#include "Platform/Clock.h"
#include "Tools/AtmnSimulator/HouseClock.h"

namespace atmnsim {

namespace {

constexpr int64_t kMsPerDay = 24LL * 3600 * 1000;

int64_t daysSinceEpoch(const AtmnDate& date) {
    using namespace std::chrono;
    const year_month_day ymd{year{date.year}, month{static_cast<unsigned>(date.month)},
                             day{static_cast<unsigned>(date.day)}};
    return sys_days(ymd).time_since_epoch().count();
}

AtmnDate dateOf(int64_t daysSince1970) {
    using namespace std::chrono;
    const year_month_day ymd{sys_days{days{daysSince1970}}};
    return {static_cast<int>(ymd.year()), static_cast<int32_t>(static_cast<unsigned>(ymd.month())),
            static_cast<int32_t>(static_cast<unsigned>(ymd.day()))};
}

int64_t floorDiv(int64_t a, int64_t b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0);
}

}  // namespace

HouseClock::HouseClock() {
    const std::time_t now = std::time(nullptr);
    const std::tm local = platform::localParts(now);
    start({local.tm_year + 1900, local.tm_mon + 1, local.tm_mday},
          {local.tm_hour, local.tm_min, local.tm_sec, 0}, 25, 1.0);
}

void HouseClock::start(const AtmnDate& date, const AtmnTime& time, int32_t fps, double speed) {
    std::lock_guard lock(mutex_);
    fps_ = fps > 0 ? fps : 25;
    startDay_ = daysSinceEpoch(date);
    startMsOfDay_ = ((time.hh * 60LL + time.mm) * 60 + time.ss) * 1000 + time.ff * 1000LL / fps_;
    speed_ = speed;
    origin_ = std::chrono::steady_clock::now();
    reachedMs_.store(0);
}

void HouseClock::advanceTo(int64_t scenarioMs) {
    int64_t reached = reachedMs_.load();
    while (scenarioMs > reached && !reachedMs_.compare_exchange_weak(reached, scenarioMs)) {
    }
}

void HouseClock::read(AtmnDate* date, AtmnTime* time) const {
    std::lock_guard lock(mutex_);
    int64_t elapsedMs = reachedMs_.load();
    if (speed_ > 0) {
        const auto real = std::chrono::steady_clock::now() - origin_;
        elapsedMs =
            static_cast<int64_t>(std::chrono::duration<double, std::milli>(real).count() * speed_);
    }
    const int64_t total = startMsOfDay_ + elapsedMs;
    const int64_t dayOffset = floorDiv(total, kMsPerDay);
    const int64_t msOfDay = total - dayOffset * kMsPerDay;
    *date = dateOf(startDay_ + dayOffset);
    *time = {static_cast<int32_t>(msOfDay / 3600000), static_cast<int32_t>(msOfDay / 60000 % 60),
             static_cast<int32_t>(msOfDay / 1000 % 60),
             static_cast<int32_t>(msOfDay % 1000 * fps_ / 1000)};
}

}  // namespace atmnsim
