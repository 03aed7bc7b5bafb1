#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnStatus.h"
#include "Platform/Clock.h"

#include <time.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>
#include <utility>

#include "LibraryInterfaces/KriErr.h"
#include "Platform/ServicePaths.h"

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

std::string localTimeOfDay(int64_t epochMs) {
    const tm parts = platform::localParts(epochMs / 1000);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &parts);
    return text;
}

std::string utcTime(int64_t epochMs) {
    const tm parts = platform::utcParts(epochMs / 1000);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
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
    return s.linkSinceMs > 0 ? " since " + localTimeOfDay(s.linkSinceMs) : std::string();
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

// Writes the text to a temporary file beside path and renames it over path.
bool replaceFile(const std::filesystem::path& path, const std::string& text) {
    const std::filesystem::path temporary = path.string() + ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out.flush()) {
            return false;
        }
    }
    std::error_code error;
    std::filesystem::rename(temporary, path, error);
    return !error;
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
         << (s.linkSinceMs > 0 ? jsonString(utcTime(s.linkSinceMs)) : std::string("null"))
         << ",\"reason\":" << jsonString(s.linkReason) << ",\"accepted\":" << s.accepted
         << ",\"sent\":" << s.sent << ",\"acknowledged\":" << s.acknowledged
         << ",\"pending\":" << s.pending << ",\"dropped\":" << s.dropped
         << ",\"pendingBytes\":" << s.pendingBytes << ",\"reconnects\":" << s.reconnects
         << ",\"resent\":" << s.resent << ",\"oldestPendingMs\":" << s.oldestPendingAgeMs
         << ",\"spool\":" << jsonString(spoolStateName(s.spool))
         << ",\"spoolReason\":" << jsonString(s.spoolReason)
         << ",\"text\":" << jsonString(statusLine(s))
         << ",\"updated\":" << jsonString(utcTime(nowMs)) << "}\n";
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

bool CAtmnStatusFiles::write(const DeliveryStatus& status, int64_t nowMs) {
    bool written = true;
    if (!directory.empty()) {
        const std::filesystem::path dir(directory);
        written = replaceFile(dir / "status", statusLine(status) + "\n");
        written = replaceFile(dir / "status.json", statusJson(status, nowMs)) && written;
    }
    if (!prometheusFile.empty()) {
        written = replaceFile(prometheusFile, prometheusText(status)) && written;
    }
    return written;
}

void CAtmnStatusFiles::remove() {
    if (directory.empty()) {
        return;
    }
    std::error_code ignored;
    std::filesystem::remove(std::filesystem::path(directory) / "status", ignored);
    std::filesystem::remove(std::filesystem::path(directory) / "status.json", ignored);
}

std::optional<std::string> readStatusFile(const std::string& directory, bool json) {
    std::ifstream in(std::filesystem::path(directory) / (json ? "status.json" : "status"),
                     std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}
