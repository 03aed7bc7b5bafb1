// The live page where the build has no HTTP library.
#include "Tools/AggrReceiver/AggrReceiver.h"
#include "Tools/AggrReceiver/LivePage.h"

namespace aggrreceiver {

struct LivePage::Server {};

LivePage::LivePage(LiveState&, const std::string&, std::uint16_t) {
    throw ReceiverSetupError(
        "this build of the receiver has no live page (it was built without "
        "cpp-httplib); run it without --http");
}

LivePage::~LivePage() = default;

std::string LivePage::url() const {
    return {};
}

}  // namespace aggrreceiver
