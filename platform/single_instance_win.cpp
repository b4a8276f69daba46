#include "single_instance.h"

namespace platform {

// No rendezvous yet on Windows: every start goes on alone.
std::unique_ptr<SingleInstance> SingleInstance::claim(const std::string&, Outcome& outcome) {
    outcome = Outcome::unavailable;
    return nullptr;
}

std::string SingleInstance::rendezvous_path(const std::string&) {
    return {};
}

void SingleInstance::serve(std::function<void()>) {}

SingleInstance::~SingleInstance() = default;

}  // namespace platform
