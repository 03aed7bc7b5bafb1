// KriAggrReceiver: the reference aggregation receiver. See --help.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "Tools/AggrReceiver/AggrReceiver.h"
#include "Tools/AggrReceiver/ReceiverOptions.h"

int main(int argc, char** argv) {
    std::string program = argc > 0 ? argv[0] : "KriAggrReceiver";
    aggrreceiver::ParsedOptions parsed =
        aggrreceiver::parseReceiverOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (parsed.options.help) {
        std::fputs(aggrreceiver::receiverUsage(program).c_str(), stdout);
        return 0;
    }
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "%s: %s (see --help)\n", program.c_str(), parsed.error.c_str());
        return 2;
    }
    // A client that goes away while the handshake writes to it must not end the program.
    std::signal(SIGPIPE, SIG_IGN);
    try {
        aggrreceiver::AggrReceiver receiver(parsed.options);
        return receiver.run();
    } catch (const aggrreceiver::ReceiverSetupError& failure) {
        std::fprintf(stderr, "%s: %s\n", program.c_str(), failure.what());
        return 1;
    }
}
