// AtmnSetup: the steps of the Windows installer that Windows Installer (as wixl builds it)
// cannot express, done by the service's own program as deferred custom actions:
//
//   KriAtmnSvc -setup [-config-from FILE] [-server ADDRESS] [-port N] [-studio-id ID]
//                     [-studio-name NAME]
//   KriAtmnSvc -purge
//
// -setup makes the data folder (platform::serviceDataDirectory()) with an access control list
// of its own for SYSTEM and Administrators, and in it the folders "certs" and "spool", which
// inherit it. It creates the configuration "KriAtmnSvc.xml" there only when there is none: a
// copy of FILE when one is named, otherwise one made from the server and studio values. An
// existing configuration is never changed, so an upgrade keeps an operator's edits. An empty
// value counts as not given (the installer passes every property, set or not).
// -purge removes the data folder with everything in it.
//
// Both print what they did on standard output and why they failed on standard error; the exit
// status is 0 on success, 1 on failure, 2 for a bad command line. Used by one thread.
#pragma once

#include <string>

struct SetupValues {
    std::string configFrom;
    std::string serverAddress = "127.0.0.1";
    std::string serverPort = "4433";
    std::string studioId = "1";
    std::string studioName = "Studio A";
};

class AtmnSetup {
public:
    // dataDirectory: where the configuration, certificates and spool go; programDirectory: the
    // folder of the installed programs, where the simulator's scenario lies.
    AtmnSetup(std::string dataDirectory, std::string programDirectory)
        : dataDirectory(std::move(dataDirectory)), programDirectory(std::move(programDirectory)) {}

    // True when the folders are in place and a configuration exists; otherwise false with the
    // reason. What was done goes to report, one line each.
    bool prepare(const SetupValues& values, std::string& report, std::string& reason) const;
    // True when the data folder is gone (or was never there).
    bool purge(std::string& reason) const;

    // The configuration made from the values when no file is given; empty with the reason when
    // a value is unusable (a port outside 1..65535, an empty address, id or name).
    std::string configurationText(const SetupValues& values, std::string& reason) const;

    std::string configurationPath() const;

private:
    std::string dataDirectory;
    std::string programDirectory;
};

// The "-setup" and "-purge" command lines; argv[1] is the switch.
int runSetupCommand(int argc, char** argv);
