// The stand-in has no window messages: the apartment's thread initialises the COM stand-in and
// waits for work alone.
#include "Platform/ComApartment.h"
#include "Platform/ComRuntime.h"

namespace platform {

bool ComApartment::enter(Model) {
    return CoInitialize(nullptr) >= 0;
}

void ComApartment::leave() {
    CoUninitialize();
}

void ComApartment::waitForWork() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !queue_.empty() || ending_; });
}

void ComApartment::wake() {
    changed_.notify_all();
}

void ComApartment::closeWake() {}

}  // namespace platform
