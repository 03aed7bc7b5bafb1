#include "Platform/ServicePaths.h"

namespace platform {

std::string defaultStatusDirectory() {
    return "/run/kriatmnsvc";
}

}  // namespace platform
