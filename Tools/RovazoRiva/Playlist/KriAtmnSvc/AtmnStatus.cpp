#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnStatus.h"
#include "Platform/Clock.h"

#include <time.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <system_error>
#include <utility>

#include "LibraryInterfaces/KriErr.h"
#include "Platform/ServicePaths.h"

#include "Platform/StatusFiles.h"

namespace {

const char kSeparator[] = " \xC2\xB7 ";  // " · "

// 12345 as "12,345".
std::string grouped(uint64_t value) {
    std::string digits = std::to_string(value);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) {
        digits.insert(static_cast<size_t>(at), ",");
    }
    return digits;
}

// A duration as hh:mm:ss.
std::string duration(int64_t ms) {
    const int64_t seconds = ms / 1000;
    char text[32];
    std::snprintf(text, sizeof text, "%02" PRId64 ":%02" PRId64 ":%02" PRId64, seconds / 3600,
                  seconds / 60 % 60, seconds % 60);
    return text;
}

std::string pendingPart(const DeliveryStatus& s) {
    std::string part = grouped(s.pending) + " pending";
    if (s.pending > 0 && s.oldestPendingAgeMs > 0) {
        part += ", oldest " + duration(s.oldestPendingAgeMs);
    }
    return part;
}

std::string sincePart(const DeliveryStatus& s) {
    return s.linkSinceMs > 0
               ? " since " + platform::formatTime(s.linkSinceMs / 1000, platform::kTimeOfDayFormat,
                                                  platform::TimeZone::kLocal)
               : std::string();
}

std::string jsonString(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : text) {
        switch (c) {
            case '"':
                quoted += "\\\"";
                break;
            case '\\':
                quoted += "\\\\";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                    quoted += escaped;
                } else {
                    quoted += c;
                }
        }
    }
    return quoted + "\"";
}

}  // namespace

std::string statusLine(const DeliveryStatus& s) {
    std::string line;
    switch (s.link) {
        case LinkState::kUp:
            line = "Link up to " + s.server + sincePart(s) + kSeparator + grouped(s.sent) +
                   " sent" + kSeparator + pendingPart(s) + kSeparator + grouped(s.reconnects) +
                   (s.reconnects == 1 ? " reconnect" : " reconnects");
            break;
        case LinkState::kConnecting:
            line = "Connecting to " + s.server + sincePart(s) + kSeparator + pendingPart(s);
            break;
        case LinkState::kDown:
            line = "Link down" + sincePart(s) +
                   (s.linkReason.empty() ? std::string() : " (" + s.linkReason + ")") + kSeparator +
                   pendingPart(s);
            break;
    }
    if (s.resent > 0) {
        line += kSeparator + grouped(s.resent) + " resent";
    }
    if (s.dropped > 0) {
        line += kSeparator + grouped(s.dropped) + " dropped";
    }
    if (s.spool == SpoolState::kMemoryOnly) {
        line += std::string(kSeparator) + "spool failed (" + s.spoolReason + "): in memory only";
    }
    // The server's name comes from the configuration and the reasons may quote what the server
    // sent; the line goes to the service manager, which reads a line break as the next field.
    return KriOneLine(std::move(line));
}

std::string statusJson(const DeliveryStatus& s, int64_t nowMs) {
    std::ostringstream json;
    json << "{\"link\":" << jsonString(linkStateName(s.link))
         << ",\"server\":" << jsonString(s.server) << ",\"since\":"
         << (s.linkSinceMs > 0 ? jsonString(platform::formatTime(s.linkSinceMs / 1000,
                                                                 platform::kIsoSecondsFormat))
                               : std::string("null"))
         << ",\"reason\":" << jsonString(s.linkReason) << ",\"accepted\":" << s.accepted
         << ",\"sent\":" << s.sent << ",\"acknowledged\":" << s.acknowledged
         << ",\"pending\":" << s.pending << ",\"dropped\":" << s.dropped
         << ",\"pendingBytes\":" << s.pendingBytes << ",\"reconnects\":" << s.reconnects
         << ",\"resent\":" << s.resent << ",\"oldestPendingMs\":" << s.oldestPendingAgeMs
         << ",\"spool\":" << jsonString(spoolStateName(s.spool))
         << ",\"spoolReason\":" << jsonString(s.spoolReason)
         << ",\"text\":" << jsonString(statusLine(s)) << ",\"updated\":"
         << jsonString(platform::formatTime(nowMs / 1000, platform::kIsoSecondsFormat)) << "}\n";
    return json.str();
}

std::string prometheusText(const DeliveryStatus& s) {
    struct Metric {
        const char* name;
        const char* type;
        const char* help;
        double value;
    };
    const Metric metrics[] = {
        {"link_up", "gauge", "1 while the link to the aggregation server is up.",
         s.link == LinkState::kUp ? 1.0 : 0.0},
        {"link_since_seconds", "gauge", "When the link entered its state, in Unix time.",
         static_cast<double>(s.linkSinceMs) / 1000},
        {"transactions_accepted_total", "counter", "Transactions handed to the client.",
         static_cast<double>(s.accepted)},
        {"transactions_sent_total", "counter", "Transactions written to a connection.",
         static_cast<double>(s.sent)},
        {"transactions_acknowledged_total", "counter",
         "Transactions whose bytes the server acknowledged.", static_cast<double>(s.acknowledged)},
        {"transactions_resent_total", "counter",
         "Transactions written again on a later connection.", static_cast<double>(s.resent)},
        {"transactions_dropped_total", "counter", "Transactions given up.",
         static_cast<double>(s.dropped)},
        {"transactions_pending", "gauge", "Transactions neither acknowledged nor dropped.",
         static_cast<double>(s.pending)},
        {"pending_bytes", "gauge", "Frame bytes held for the pending transactions.",
         static_cast<double>(s.pendingBytes)},
        {"oldest_pending_seconds", "gauge", "Age of the oldest pending transaction.",
         static_cast<double>(s.oldestPendingAgeMs) / 1000},
        {"reconnects_total", "counter", "Connections made after the first.",
         static_cast<double>(s.reconnects)},
        {"spool_up", "gauge", "1 while the spool keeps the pending transactions on disk.",
         s.spool == SpoolState::kJournal ? 1.0 : 0.0},
    };
    std::ostringstream text;
    text.precision(15);
    for (const Metric& m : metrics) {
        text << "# HELP kriatmnsvc_" << m.name << ' ' << m.help << "\n# TYPE kriatmnsvc_" << m.name
             << ' ' << m.type << "\nkriatmnsvc_" << m.name << ' ' << m.value << '\n';
    }
    return text.str();
}

std::string statusDirectory() {
    const char* directory = std::getenv("KRI_STATUS_DIR");
    return directory != nullptr && *directory != '\0' ? directory
                                                      : platform::defaultStatusDirectory();
}

CAtmnStatusFiles::CAtmnStatusFiles(std::string directory, std::string prometheusFile)
    : directory(std::move(directory)), prometheusFile(std::move(prometheusFile)) {}

std::string CAtmnStatusFiles::write(const DeliveryStatus& status, int64_t nowMs) {
    std::string failures[3];
    if (!directory.empty()) {
        failures[0] =
            platform::replaceFile(directory + "/status", statusLine(status) + "\n", kStatusMode);
        failures[1] = platform::replaceFile(directory + "/status.json", statusJson(status, nowMs),
                                            kStatusMode);
    }
    if (!prometheusFile.empty()) {
        failures[2] =
            platform::replaceFile(prometheusFile, prometheusText(status), kPrometheusMode);
    }
    for (const std::string& failure : failures) {
        if (!failure.empty()) {
            return failure;
        }
    }
    return "";
}

void CAtmnStatusFiles::remove() {
    if (directory.empty()) {
        return;
    }
    std::error_code ignored;
    std::filesystem::remove(std::filesystem::path(directory) / "status", ignored);
    std::filesystem::remove(std::filesystem::path(directory) / "status.json", ignored);
}

StatusRead readStatusFile(const std::string& directory, bool json) {
    // A status line or document is far smaller; the cap keeps a planted large file harmless.
    constexpr size_t kMaxBytes = 64 * 1024;
    platform::FileRead file =
        platform::readRegularFile(directory + (json ? "/status.json" : "/status"), kMaxBytes);
    return StatusRead{std::move(file.text), file.missing, std::move(file.reason)};
}

std::string printable(const std::string& text) {
    std::string shown;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const bool c1 = byte == 0xC2 && i + 1 < text.size() &&
                        static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                        static_cast<unsigned char>(text[i + 1]) <= 0x9F;
        if ((byte < 0x20 && byte != '\n') || byte == 0x7F || c1) {
            const auto code = c1 ? static_cast<unsigned char>(text[++i]) : byte;
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", code);
            shown += escaped;
        } else {
            shown += text[i];
        }
    }
    return shown;
}
