// KriAtmnSvc: the Kri Automation Interfacing Service. See the README for the command line.
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnService.h"
#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnStatus.h"

namespace {

// "KriAtmnSvc -status [-json]": the running service's status file. 0 when there is one; 3
// (the LSB code for a service that does not run) when there is none.
int printStatus(int argc, char** argv) {
    const bool json = argc > 2 && std::strcmp(argv[2] + 1, "json") == 0;
    const std::string directory = statusDirectory();
    const std::optional<std::string> status = readStatusFile(directory, json);
    if (!status) {
        std::fprintf(stderr, "KriAtmnSvc does not run: no status in %s\n", directory.c_str());
        return 3;
    }
    std::fputs(status->c_str(), stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && (argv[1][0] == '-' || argv[1][0] == '/') &&
        std::strcmp(argv[1] + 1, "status") == 0) {
        return printStatus(argc, argv);
    }
    AtmnService service;
    service.execute(argc, argv);
}
