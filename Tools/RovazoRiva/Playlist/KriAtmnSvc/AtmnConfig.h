// CAtmnConfig: one reading of the service's configuration file, and the reports the automation
// binding writes when a reading fails.
//
// The file is never kept: each reader (initialisation, the start of run, each reconnection of
// the supervision thread, a reload) makes a CAtmnConfig of its own, which checks that the file is
// to be trusted and opens and parses it anew,
// and takes its items with the one Read...Settings call for that reader, which reads them in the
// reader's order. An edited file therefore takes effect at the next reading. Items that are
// absent read as empty text (a missing "port" as 0); no value is checked beyond that.
//
// A CAtmnConfig is used by the thread that made it. The report functions may be called from any
// thread.
//
// Use by the binding:
//     init:      CAtmnConfig config(path);
//                CAtmnInitSettings s = config.ReadInitSettings();
//                (look the class up; on failure ReportInvalidClass(s.componentClass) first)
//     run:       CAtmnRunSettings s = CAtmnConfig(path).ReadRunSettings();
//     reconnect: CAtmnLinkSettings s = CAtmnConfig(path).ReadReconnectSettings();
// with every failure of init or run ending in `return ReportConfigError(path);` and every
// failure of a reconnection in ReportReconnectError().
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "LibraryInterfaces/DomParse.h"
#include "LibraryInterfaces/String.h"
#include "Tools/RovazoRiva/Common/SpoolJournal.h"

// What init and run return for a configuration error.
inline constexpr int32_t kAtmnConfigFailed = -1;

// A configuration file that cannot be read or parsed, or that names no component class.
class CAtmnConfigError : public std::runtime_error {
public:
    explicit CAtmnConfigError(const std::string& message) : std::runtime_error(message) {}
};

// A configuration file that must not be used: someone other than root and the service's user
// could have written it (platform::untrustedReason). reason() names the file or directory at
// fault.
class CAtmnConfigUntrusted : public CAtmnConfigError {
public:
    explicit CAtmnConfigUntrusted(const std::string& reason)
        : CAtmnConfigError("the configuration file is not to be trusted: " + reason), why(reason) {}
    const std::string& reason() const { return why; }

private:
    std::string why;
};

// An item whose value is out of range; its message names the item, the value and the range.
class CAtmnConfigValueError : public CAtmnConfigError {
public:
    using CAtmnConfigError::CAtmnConfigError;
};

// Where the automation component's class comes from.
struct CAtmnComponentClass {
    String name;    // the "progid" text, or the "uuid" text when "progid" is empty
    bool isProgId;  // look name up by ProgId; otherwise convert it as a class-identifier string
};

struct CAtmnInitSettings {
    CAtmnComponentClass componentClass;
    // The SSL files in the order setupSsl takes them: certificate, key, CA.
    String sslCfktFile;
    String sslKeyFile;
    String sslCAFile;
    // "AggrServer"/"SslServerName": the name the server's certificate must carry; empty: any.
    String sslServerName;
};

struct CAtmnLinkSettings {
    int32_t port;
    String ip;
    String studioId;
    String studioName;
};

// "AggrServer"/"Delivery": the delivery backlog's bound, the dead-peer time, the resend window
// and the spool. All
// optional; without "spoolDir" there is no spool.
struct CAtmnDeliverySettings {
    static constexpr int kDefaultBacklogMB = 64;
    static constexpr int kMinBacklogMB = 1;
    static constexpr int kMaxBacklogMB = 4096;
    static constexpr int kDefaultDeadPeerSeconds = 20;
    static constexpr int kMinDeadPeerSeconds = 2;
    static constexpr int kMaxDeadPeerSeconds = 3600;
    static constexpr int kDefaultResendSeconds = 2;
    static constexpr int kMinResendSeconds = 0;
    static constexpr int kMaxResendSeconds = 60;

    static constexpr int kDefaultSpoolMB = 1024;
    static constexpr int kMinSpoolMB = 1;
    static constexpr int kMaxSpoolMB = 1024 * 1024;

    int backlogMB = kDefaultBacklogMB;
    int deadPeerSeconds = kDefaultDeadPeerSeconds;
    int resendSeconds = kDefaultResendSeconds;
    std::string spoolDir;
    int spoolMB = kDefaultSpoolMB;
    SpoolJournal::Sync sync = SpoolJournal::Sync::kBatch;
};

struct CAtmnRunSettings {
    String automationXml;  // the whole "Automation" element as the XML writer gives it
    CAtmnLinkSettings link;
};

class CAtmnConfig {
public:
    // Checks that the file is to be trusted, then opens and parses it: every reading checks
    // anew, since the file or a directory above it may have changed since the last one. Throws
    // CAtmnConfigUntrusted for a file not to be trusted, and CAtmnConfigError, whose message
    // names the path and the cause, when the file cannot be read or is not well-formed XML.
    explicit CAtmnConfig(const String& path);

    // "Automation"/"progid"; "Automation"/"uuid" only when "progid" is empty; then
    // "AggrServer"/"SslCAFile", "SslKeyFile" and "SslCfktFile". Throws CAtmnConfigError when
    // both "progid" and "uuid" are empty.
    CAtmnInitSettings ReadInitSettings();
    // The XML text of "Automation"; "AggrServer"/"port", "ip"; "Studio"/"id", "name".
    CAtmnRunSettings ReadRunSettings();
    // "AggrServer"/"port", "ip"; "Studio"/"id", "name".
    CAtmnLinkSettings ReadReconnectSettings();
    // "AggrServer"/"Delivery"/"backlogMB", "deadPeerSeconds", "resendSeconds", "spoolDir",
    // "spoolMB", "sync"; the
    // defaults for what is absent. Throws CAtmnConfigValueError, naming the attribute, its text
    // and what it may be, for a number that is not a whole number in range, a "spoolDir" that
    // is not an absolute path, or a "sync" other than "always" and "batch".
    CAtmnDeliverySettings ReadDeliverySettings();
    // "Status"/"prometheusFile": where to write the counters for Prometheus; empty for nowhere.
    String ReadPrometheusFile();

private:
    String attribute(const char* element, const char* name);
    String elementText(const char* parent, const char* element);
    CAtmnLinkSettings readLink();

    CXMLDoc document;
    CElementNode root;
};

// The report of a configuration error at initialisation or at the start of run: the trace line
// "Incorrect content or config file path: <path> on" and the event-log record 0xCE000D02 with
// the path. Returns kAtmnConfigFailed, the result init and run give for it.
int32_t ReportConfigError(const String& path);

// The report of a failed reconnection: the trace line "Unable to reconnect" and the event-log
// record 0xCE000D02 with an empty text.
void ReportReconnectError();

// The trace line "invalid ProgId: <name>" for a component class that cannot be resolved, whether
// its name came from "progid" or from "uuid". A configuration error follows it.
void ReportInvalidClass(const CAtmnComponentClass& componentClass);
