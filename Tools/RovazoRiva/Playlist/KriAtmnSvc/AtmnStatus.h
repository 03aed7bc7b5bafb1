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
// directory, mode 0640 so that members of the service's group (a monitoring account) may read
// them, and the Prometheus file when one is named, mode 0644 so that an exporter running as
// another user reads it. Each is replaced as a whole (platform::replaceFile: a new file renamed
// over it, never written through a link), so a reader never sees half of one.
class CAtmnStatusFiles {
public:
    static constexpr uint32_t kStatusMode = 0640;
    static constexpr uint32_t kPrometheusMode = 0644;

    // An empty directory or prometheusFile writes none of those files.
    CAtmnStatusFiles(std::string directory, std::string prometheusFile);

    // Writes every file; empty when all were written, else why the first that failed could not
    // be (naming it). The others are still written.
    std::string write(const DeliveryStatus& status, int64_t nowMs);
    // Removes the files of the status directory, as the service ends.
    void remove();

private:
    std::string directory;
    std::string prometheusFile;
};

// What `KriAtmnSvc -status [-json]` finds: the content of "status" or "status.json" in the
// directory, read without following a link and only from a regular file.
struct StatusRead {
    std::optional<std::string> text;
    bool missing = false;  // there is no status file: the service does not run
    std::string reason;    // otherwise, why it could not be read
};
StatusRead readStatusFile(const std::string& directory, bool json);

// The text with every control character but the line feed (C0, DEL and C1) written as \xNN, so
// that a status file cannot send escape sequences to the terminal that prints it.
std::string printable(const std::string& text);
