// The service's checks of the files that decide which code it runs, which settings it takes,
// whom it trusts and where it writes: the registry values that name the automation component
// and the component's shared object; the certificate, key and CA files; the spool directory and
// the Prometheus file (the configuration file is checked by CAtmnConfig each time it is read, the
// registry value "Config" directly with platform::untrustedReason). Platform/FileTrust.h says
// when a file is trusted.
//
// Stateless; called by the binding's init and the service object's start on the service thread.
#pragma once

#include <cstdint>
#include <string>

#include "Platform/Com.h"
#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnConfig.h"

// Why the component of clsid (found through componentClass) must not be loaded: its ProgId's
// registry value, its InprocServer32 value or its shared object is not to be trusted, or the
// InprocServer32 value is not an absolute path (a bare name would be looked for along the
// library search path, which the check cannot follow). Empty when all are trusted, or when
// something is missing (creating the component then fails as it would).
std::string untrustedComponentFiles(const CAtmnComponentClass& componentClass,
                                    const platform::CLSID& clsid);

// A file the configuration names that is not to be trusted: what it is ("CA file") and why.
struct CAtmnRefusal {
    const char* what = nullptr;
    std::string reason;
    explicit operator bool() const { return !reason.empty(); }
};

// The first of the certificate, key and CA files that is not to be trusted; none when all are
// (an empty name is left to the SSL set-up, which refuses it).
CAtmnRefusal untrustedSslFiles(const CAtmnInitSettings& settings);
// The spool directory, when it is not to be trusted (empty: no spool). With account (as -check
// run by root gives it), the directories the service writes in may also belong to it.
CAtmnRefusal untrustedSpoolDirectory(const std::string& directory, const std::string& account = "");
// The Prometheus file, when it is not to be trusted (empty: none is written); account as above.
CAtmnRefusal untrustedPrometheusFile(const std::string& file, const std::string& account = "");

// The report of a refused file: the trace line and event-log record "Refusing <what>: <reason>"
// with the code (0xCE000D02 for configuration, 0xCE000D03 for the component).
void reportRefusal(uint32_t code, const char* what, const std::string& reason);
// The same for a configured file: "Refusing the <what>: <reason>".
void reportRefusal(uint32_t code, const CAtmnRefusal& refusal);

// The warning "the key file <path> can be read by other users" (trace line and event-log record
// 0x8E000D01) when users other than its owner and the service's own group can read it.
void warnIfKeyReadableByOthers(const String& keyFile);

// The warning "the server's name is not checked" (trace line and event-log record 0x8E000D01)
// when the configuration names none.
void warnIfServerNameUnchecked(const String& serverName);
