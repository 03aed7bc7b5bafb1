#include "Tools/RovazoRiva/Common/LinkMonitor.h"

#include <cinttypes>
#include <mutex>
#include <vector>

#include "LibraryInterfaces/KriErr.h"
#include "Platform/Clock.h"

namespace {

constexpr int64_t kRepeatWindowMs = 60000;

}  // namespace

void LinkMonitor::connecting(const std::string& serverText) {
    ThreadLockGuard guard(lock);
    server = serverText;
    if (state != LinkState::kDown || sinceMs == 0) {
        enter(LinkState::kConnecting, "");
    }
}

void LinkMonitor::sessionVerified(const std::string& peer) {
    bool recovering;
    {
        ThreadLockGuard guard(lock);
        recovering = state == LinkState::kDown &&
                     platform::wallClockMs() - sinceMs >= LinkMonitor::kOutageMs;
    }
    writeRateLimited(peer, Priority::kInfo, "SSL connect successful", recovering);
}

void LinkMonitor::announced() {
    ThreadLockGuard guard(lock);
    enter(LinkState::kUp, "");
}

void LinkMonitor::ended(const std::string& peer, int code, const std::string& why) {
    {
        ThreadLockGuard guard(lock);
        if (state == LinkState::kDown) {
            reason = why;
        } else {
            enter(LinkState::kDown, why);
        }
    }
    writeRateLimited(peer, Priority::kWarning,
                     code != 0 ? "SSL error : " + std::to_string(code) + " (" + why + ")"
                               : "SSL disconnect successful (" + why + ")");
}

void LinkMonitor::enter(LinkState next, const std::string& why) {
    state = next;
    reason = why;
    sinceMs = platform::wallClockMs();
}

void LinkMonitor::writeRateLimited(const std::string& peer, Priority priority, std::string line,
                                   bool always) {
    const int64_t now = static_cast<int64_t>(platform::tickCount64());
    {
        ThreadLockGuard guard(lock);
        const auto key = std::make_pair(peer, line);
        auto it = recentLines.find(key);
        if (!always && it != recentLines.end() &&
            now - it->second.firstWrittenMs < kRepeatWindowMs) {
            ++it->second.suppressed;
            return;
        }
        // A minute whose repeats the tick has not summarised yet is summarised by this line.
        const uint64_t repeats = it == recentLines.end() ? 0 : it->second.suppressed;
        recentLines[key] = Repeat{now, 0, priority};
        if (repeats > 0) {
            line += " (" + std::to_string(repeats) + " more times in the last minute)";
        }
    }
    if (priority == Priority::kWarning) {
        KRI_TRACE_WARNING(kTraceUnit, "%s\n", line.c_str());
    } else {
        KRI_TRACE(kTraceUnit, "%s\n", line.c_str());
    }
}

void LinkMonitor::onTick(int64_t nowMs) {
    struct Summary {
        std::string line;
        uint64_t count;
        Priority priority;
    };
    std::vector<Summary> summaries;
    {
        ThreadLockGuard guard(lock);
        for (auto it = recentLines.begin(); it != recentLines.end();) {
            if (nowMs - it->second.firstWrittenMs < kRepeatWindowMs) {
                ++it;
            } else if (it->second.suppressed > 0) {
                summaries.push_back({it->first.second, it->second.suppressed, it->second.priority});
                it->second = Repeat{nowMs, 0, it->second.priority};
                ++it;
            } else {
                it = recentLines.erase(it);
            }
        }
    }
    for (const Summary& s : summaries) {
        if (s.priority == Priority::kWarning) {
            KRI_TRACE_WARNING(kTraceUnit, "%s (%" PRIu64 " more times in the last minute)\n",
                              s.line.c_str(), s.count);
        } else {
            KRI_TRACE(kTraceUnit, "%s (%" PRIu64 " more times in the last minute)\n",
                      s.line.c_str(), s.count);
        }
    }
}

void LinkMonitor::fill(DeliveryStatus& status) {
    ThreadLockGuard guard(lock);
    status.link = state;
    status.linkReason = reason;
    status.linkSinceMs = sinceMs;
    status.server = server;
}
