// The service's checks of the files that decide which code it runs and which settings it takes:
// the registry values that name the automation component and the component's shared object
// (the configuration file and the registry value "Config" are checked directly with
// platform::untrustedReason). Platform/FileTrust.h says when a file is trusted.
//
// Stateless; called by the binding's init and the service object's start on the service thread.
#pragma once

#include <cstdint>
#include <string>

#include "Platform/Com.h"
#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnConfig.h"

// Why the component of clsid (found through componentClass) must not be loaded: its ProgId's
// registry value, its InprocServer32 value or its shared object is not to be trusted. Empty
// when all are, or when something is missing (creating the component then fails as it would).
std::string untrustedComponentFiles(const CAtmnComponentClass& componentClass,
                                    const platform::CLSID& clsid);

// The report of a refused file: the trace line and event-log record "Refusing <what>: <reason>"
// with the code (0xCE000D02 for configuration, 0xCE000D03 for the component).
void ReportRefusal(uint32_t code, const char* what, const std::string& reason);

// The warning "the key file <path> can be read by other users" (trace line and event-log record
// 0x8E000D01) when users other than its owner and the service's own group can read it.
void WarnIfKeyReadableByOthers(const String& keyFile);

// The warning "the server's name is not checked" (trace line and event-log record 0x8E000D01)
// when the configuration names none.
void WarnIfServerNameUnchecked(const String& serverName);
