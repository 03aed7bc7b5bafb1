// Fuzz target for the configuration reader: the input is written as the configuration file and
// each of the three readings (initialisation, run, reconnection) is made on it. A reading may
// refuse the file with CAtmnConfigError; any other exception, or a crash, is a finding.
// Properties beyond that: a successful initialisation reading names a component class, and the
// "Automation" text of a run reading is itself a well-formed document when it is not empty.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "Tests/fuzz/FuzzCheck.h"
#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnConfig.h"

namespace {

// The configuration file: an in-memory file made once per process and rewritten for every input,
// opened by its /proc path as any configuration file is. A file on disk would make the target
// wait on the file system for most of its time.
struct ConfigFile {
    ConfigFile()
        : descriptor(memfd_create("kri-config-fuzz", 0)),
          path(("/proc/self/fd/" + std::to_string(descriptor)).c_str()) {
        fuzzRequire(descriptor >= 0, "an in-memory file can be made");
    }
    void write(const uint8_t* data, size_t size) const {
        fuzzRequire(ftruncate(descriptor, 0) == 0, "the configuration file can be emptied");
        fuzzRequire(pwrite(descriptor, data, size, 0) == static_cast<ssize_t>(size),
                    "the whole input is written");
    }
    const int descriptor;
    const String path;
};

void readInit(const String& path) {
    try {
        CAtmnConfig config(path);
        const CAtmnInitSettings settings = config.ReadInitSettings();
        fuzzRequire(settings.componentClass.name.Length() > 0,
                    "an initialisation reading names a component class");
    } catch (const CAtmnConfigError&) {
    }
}

void readRun(const String& path) {
    try {
        const CAtmnRunSettings settings = CAtmnConfig(path).ReadRunSettings();
        if (settings.automationXml.Length() > 0) {
            CMemXMLSrc source;
            source.SetMemPtr(settings.automationXml);
            CXMLDoc automation;
            try {
                automation.Parse(source);
            } catch (const CXMLException&) {
                fuzzRequire(false, "the \"Automation\" text is a well-formed document");
            }
        }
    } catch (const CAtmnConfigError&) {
    }
}

void readReconnect(const String& path) {
    try {
        CAtmnConfig(path).ReadReconnectSettings();
    } catch (const CAtmnConfigError&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const ConfigFile file;
    file.write(data, size);
    readInit(file.path);
    readRun(file.path);
    readReconnect(file.path);
    return 0;
}
