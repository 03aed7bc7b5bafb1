// Fuzz target for the configuration reader: the input is written as the configuration file and
// each of the three readings (initialisation, run, reconnection) is made on it. A reading may
// refuse the file with CAtmnConfigError; any other exception, or a crash, is a finding.
// Properties beyond that: a successful initialisation reading names a component class, and the
// "Automation" text of a run reading is itself a well-formed document when it is not empty.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Tests/fuzz/FuzzCheck.h"
#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnConfig.h"

namespace {

// One file per process, made once and rewritten for every input.
const std::string& configPath() {
    static const std::string path = [] {
        std::string name = "/tmp/kri-config-fuzz-" + std::to_string(getpid()) + ".xml";
        std::atexit([] { std::remove(configPath().c_str()); });
        return name;
    }();
    return path;
}

void writeConfig(const uint8_t* data, size_t size) {
    FILE* file = std::fopen(configPath().c_str(), "wb");
    fuzzRequire(file != nullptr, "the configuration file can be written");
    fuzzRequire(std::fwrite(data, 1, size, file) == size, "the whole input is written");
    std::fclose(file);
}

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
    writeConfig(data, size);
    const String path(configPath().c_str());
    readInit(path);
    readRun(path);
    readReconnect(path);
    return 0;
}
