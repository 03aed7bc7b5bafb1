#include "Platform/ServicePaths.h"

#include "Platform/ServiceData.h"

namespace platform {

std::string defaultStatusDirectory() {
    return serviceDataDirectory() + "\\status";
}

}  // namespace platform
