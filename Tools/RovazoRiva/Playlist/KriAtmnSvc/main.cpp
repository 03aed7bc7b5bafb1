// KriAtmnSvc: the Kri Automation Interfacing Service. See the README for the command line.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "Platform/Clock.h"
#include "Tools/RovazoRiva/Common/SpoolJournal.h"
#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnCheck.h"
#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnService.h"
#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnSetup.h"
#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnStatus.h"

namespace {

constexpr char kHelp[] =
    "Usage: KriAtmnSvc [-config FILE]          run as the systemd service KriAtmn\n"
    "       KriAtmnSvc -debug [-config FILE]   run in the console; Ctrl+C stops it\n"
    "       KriAtmnSvc -check [-connect] [-config FILE]\n"
    "                                          check the configuration one item at a time;\n"
    "                                          -connect also makes a TLS handshake with the\n"
    "                                          server (exit status 0 when all pass)\n"
    "       KriAtmnSvc -status [-json]         the running service's state and counters\n"
    "       KriAtmnSvc -setup [-config-from FILE] [-server ADDRESS] [-port N]\n"
    "                  [-studio-id ID] [-studio-name NAME]\n"
    "                                          make the data folder and, once, the configuration\n"
    "       KriAtmnSvc -purge                  remove the data folder (the installer's PURGE=1)\n"
    "       KriAtmnSvc -spool-check DIR        what a spool directory holds; sends nothing\n"
    "       KriAtmnSvc -install [-auto] | -remove\n"
    "                                          install or remove the service (on Windows with\n"
    "                                          restart on failure and the event source; -auto:\n"
    "                                          started at boot, delayed)\n"
    "       KriAtmnSvc --version | --help\n"
    "Without -config the file named by the registry value Config under\n"
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnholt\\KriAtmnSvc is used. See KriAtmnSvc(8).\n";

// A switch word after "-" or "/", as the service host takes them.
bool isSwitch(const char* argument, const char* word) {
    return (argument[0] == '-' || argument[0] == '/') && std::strcmp(argument + 1, word) == 0;
}

// "KriAtmnSvc -check [-connect] [-config FILE]": 0 when every check passed, 1 when one failed,
// 2 for a bad command line or no configuration path.
int checkConfiguration(int argc, char** argv) {
    bool connect = false;
    for (int i = 2; i < argc; ++i) {
        if (isSwitch(argv[i], "connect")) {
            connect = true;
        } else if (isSwitch(argv[i], "config") && i + 1 < argc) {
            ++i;
        } else {
            std::fprintf(stderr, "KriAtmnSvc -check: unexpected argument \"%s\"\n%s", argv[i],
                         kHelp);
            return 2;
        }
    }
    String path;
    if (!AtmnService::configPathFromCommandLine(argc, argv, path) &&
        !AtmnService::configPathFromRegistry(path)) {
        std::fprintf(stderr,
                     "KriAtmnSvc -check: no -config FILE and no registry value naming one\n");
        return 2;
    }
    AtmnCheck check(path, AtmnService::serviceAccount(), connect, stdout);
    return check.run() ? 0 : 1;
}

// "KriAtmnSvc -status [-json]": the running service's status file, its control characters
// escaped. 0 when there is one; 3 (the LSB code for a service that does not run) when there is
// none; 4 (the LSB code for an unknown status) when it cannot be read.
int printStatus(int argc, char** argv) {
    const bool json = argc > 2 && isSwitch(argv[2], "json");
    const std::string directory = statusDirectory();
    const StatusRead status = readStatusFile(directory, json);
    if (status.missing) {
        std::fprintf(stderr, "KriAtmnSvc does not run: no status in %s\n",
                     printable(directory).c_str());
        return 3;
    }
    if (!status.text) {
        std::fprintf(stderr,
                     "KriAtmnSvc -status: cannot read the status: %s (the status can be read by "
                     "root and the members of the service's group kriatmn)\n",
                     printable(status.reason).c_str());
        return 4;
    }
    std::fputs(printable(*status.text).c_str(), stdout);
    return 0;
}

// "KriAtmnSvc -spool-check DIR": what the spool holds, read without changing it (the running
// service may own it; another user's spool is only read, never through a link). 0 when nothing
// held is at risk now, 1 when something is damaged now (the service repairs it at its next
// start), 2 when the spool cannot be read. Copies kept from earlier repairs get a note only.
int checkSpool(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "KriAtmnSvc -spool-check: one spool directory expected\n%s", kHelp);
        return 2;
    }
    SpoolJournal::Contents contents;
    const std::string reason =
        SpoolJournal::inspect(platform::linuxSpoolFiles(), argv[2], contents);
    if (!reason.empty()) {
        std::fprintf(stderr, "KriAtmnSvc -spool-check: %s\n", reason.c_str());
        return 2;
    }
    std::string oldest = "-";
    if (contents.records > 0) {
        oldest = platform::formatTime(contents.oldestMs / 1000, platform::kIsoSecondsFormat);
    }
    using Position = SpoolJournal::Contents::Position;
    const char* position = contents.position == Position::kUnreadable
                               ? " (unreadable: everything held will be sent again)"
                           : contents.position == Position::kBeyondEnd
                               ? " (beyond the last record: the next start takes it back)"
                               : "";
    std::printf(
        "Spool %s\n"
        "  transactions to send:  %" PRIu64
        "\n"
        "  bytes:                 %" PRIu64 " in %" PRIu64
        " segments\n"
        "  oldest to send:        %s\n"
        "  acknowledged through:  record %" PRIu64
        "%s\n"
        "  damaged:               %" PRIu64 " bytes in %" PRIu64 " segments (%" PRIu64
        " transactions lost in them)\n"
        "  incomplete record:     %" PRIu64 " bytes at the end\n",
        argv[2], contents.records, contents.bytes, contents.segments, oldest.c_str(),
        contents.acknowledged, position, contents.damagedBytes, contents.damagedSegments,
        contents.damagedRecords, contents.cutBytes);
    if (contents.repairedBefore > 0) {
        std::printf("  note: %" PRIu64
                    " copies of segments repaired at earlier starts are kept as *.corrupt; "
                    "delete them once inspected\n",
                    contents.repairedBefore);
    }
    const bool damagedNow = contents.damagedSegments > 0 || contents.cutBytes > 0 ||
                            contents.position != Position::kWhole;
    return damagedNow ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("KriAtmnSvc %s\n", KRI_VERSION);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (argc > 1 && isSwitch(argv[1], "check")) {
        return checkConfiguration(argc, argv);
    }
    if (argc > 1 && isSwitch(argv[1], "status")) {
        return printStatus(argc, argv);
    }
    if (argc > 1 && isSwitch(argv[1], "spool-check")) {
        return checkSpool(argc, argv);
    }
    if (argc > 1 && (isSwitch(argv[1], "setup") || isSwitch(argv[1], "purge"))) {
        return runSetupCommand(argc, argv);
    }
    AtmnService service;
    service.execute(argc, argv);
}
