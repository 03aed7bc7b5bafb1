// AtmnService: the program's one service. main constructs it and hands it the command line
// through execute; the service host then calls init and run on the service thread (the main
// thread in console mode) and stop on its control thread while run blocks.
//
// init finds the configuration file: the value after the first "-config" or "/config" argument,
// else the registry value "Config" under HKEY_LOCAL_MACHINE\SOFTWARE\Varnholt\KriAtmnSvc. It
// then initialises the automation binding with it, and fails with kExitConfiguration when there
// is no configuration or the binding failed on it; run and stop forward to the binding. The
// service counts as started only once run has connected the component and the link and
// announced the studio, not when RUNNING is reported.
//
// Requires: at most one per process (the service host ends a process that makes a second).
#pragma once

#include <cstdint>
#include <string>

#include "LibraryInterfaces/String.h"
#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnSvcImpl.h"
#include "W32Service.h"

class AtmnService final : public W32Service {
public:
    static constexpr char kServiceName[] = "KriAtmn";
    static constexpr char kDisplayName[] = "Kri Automation Interfacing Service";
    static constexpr char kRegistryKey[] = "SOFTWARE\\Varnholt\\KriAtmnSvc";
    static constexpr char kRegistryValue[] = "Config";
    // The largest "Config" value read, in bytes.
    static constexpr uint32_t kConfigValueSize = 260;

    AtmnService();
    ~AtmnService() override;

    // 0 when a configuration path was found and the binding initialised; the binding's failure,
    // or -1 (with an error line) when no path was found.
    int init(int argc, char** argv) override;
    // 0 after a stop, or the binding's failure; the arguments are not used.
    int run(int argc, char** argv) override;
    int stop() override;
    // SIGHUP under systemd: the binding re-reads the configuration and rebuilds the link.
    void reload() override;

    // The argument after the first argv[1..] whose text from its second character on is exactly
    // "config"; false when there is none or nothing follows it.
    static bool configPathFromCommandLine(int argc, char** argv, String& path);
    // The registry value's bytes up to its first zero; false when the key or the value is
    // missing or the value is longer than kConfigValueSize bytes.
    static bool configPathFromRegistry(String& path);
    // The system account that the service's systemd unit runs it as (its User= line).
    static std::string serviceAccount();

protected:
    bool readyOnRunning() const override { return false; }
    bool acceptsReload() const override { return true; }

private:
    String configPath;
    AtmnSvcImpl binding;
};
