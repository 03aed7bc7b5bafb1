#include "Tests/AggrReceiverProcess.h"

#include <signal.h>

#include <stdexcept>
#include <string_view>

#include "Tests/TestCerts.h"

namespace {

constexpr std::string_view kListeningPrefix = "listening on 127.0.0.1:";

}  // namespace

std::vector<std::string> AggrReceiverProcess::testCertArguments() {
    const testcerts::CertFiles& certs = testcerts::testCerts();
    return {"--cert",     certs.serverCert, "--key",     certs.serverKey, "--ca",
            certs.caCert, "--address",      "127.0.0.1", "--port",        "0"};
}

std::unique_ptr<AggrReceiverProcess> AggrReceiverProcess::start(
    const std::vector<std::string>& extraArguments) {
    std::vector<std::string> arguments = testCertArguments();
    arguments.insert(arguments.end(), extraArguments.begin(), extraArguments.end());
    auto receiver = std::make_unique<AggrReceiverProcess>(arguments);
    if (!receiver->waitForLine(kListeningPrefix, Milliseconds(5000))) {
        throw std::runtime_error("the receiver did not start:\n" + receiver->output());
    }
    return receiver;
}

AggrReceiverProcess::AggrReceiverProcess(const std::vector<std::string>& arguments)
    : ChildProcess(KRI_AGGR_RECEIVER_PATH, arguments) {}

std::uint16_t AggrReceiverProcess::port() const {
    for (const std::string& line : linesContaining(kListeningPrefix)) {
        if (line.rfind(kListeningPrefix, 0) == 0) {
            return static_cast<std::uint16_t>(std::stoi(line.substr(kListeningPrefix.size())));
        }
    }
    return 0;
}

std::optional<int> AggrReceiverProcess::stop(Milliseconds timeout) {
    sendSignal(SIGTERM);
    return waitForExit(timeout);
}
