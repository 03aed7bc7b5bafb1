// The running service's state for people and programs: one line in plain words (systemd's
// STATUS=, `KriAtmnSvc -status`), a JSON document (`KriAtmnSvc -status -json`) and, when the
// configuration asks for it, the same counters in Prometheus text format for node-exporter's
// textfile collector. All are made from a DeliveryStatus snapshot of the aggregation client.
//
// The formatting functions are pure and callable from any thread. A CAtmnStatusFiles belongs to
// the thread that publishes the status; readStatusFile may run in any process.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "Tools/RovazoRiva/Common/DeliveryStatus.h"

// "Link up to 10.1.2.3:4433 since 12:03:11 · 12,345 sent · 0 pending · 2 reconnects",
// "Link down since 12:03:11 (connection refused) · 54 pending, oldest 00:01:12",
// "Connecting to 10.1.2.3:4433 since 12:03:11 · 0 pending". Times of day are local; a count of
// dropped transactions is added when there is one. Always one line: control characters in the
// server's name or a reason are escaped (KriOneLine).
std::string statusLine(const DeliveryStatus& status);

// The counters, the link state with its reason and since when (UTC), the status line and the
// time of the snapshot (nowMs, milliseconds since the Unix epoch), as one JSON object.
std::string statusJson(const DeliveryStatus& status, int64_t nowMs);

// The counters and the link state as Prometheus text exposition format, names starting with
// "kriatmnsvc_".
std::string prometheusText(const DeliveryStatus& status);

// The directory of the status files: KRI_STATUS_DIR, else the platform's (/run/kriatmnsvc on
// Linux).
std::string statusDirectory();

// The status files of one service process: "status" (the line) and "status.json" in the status
// directory, and the Prometheus file when one is named. Each is replaced as a whole (a temporary
// file renamed over it), so a reader never sees half of one.
class CAtmnStatusFiles {
public:
    // An empty directory or prometheusFile writes none of those files.
    CAtmnStatusFiles(std::string directory, std::string prometheusFile);

    // Writes every file; false when one could not be written (the others are still written).
    bool write(const DeliveryStatus& status, int64_t nowMs);
    // Removes the files of the status directory, as the service ends.
    void remove();

private:
    std::string directory;
    std::string prometheusFile;
};

// What `KriAtmnSvc -status [-json]` prints: the content of "status" or "status.json" in the
// directory; nothing when there is none.
std::optional<std::string> readStatusFile(const std::string& directory, bool json);
