// KriAtmnSvc: the Kri Automation Interfacing Service. See the README for the command line.
#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnService.h"

int main(int argc, char** argv) {
    AtmnService service;
    service.execute(argc, argv);
}
