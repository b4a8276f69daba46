#include "ci.h"

#include <cstdlib>
#include <string>

namespace kestrun_test {

bool in_ci() {
    const char* ci = std::getenv("CI");
    return ci != nullptr && std::string(ci) == "true";
}

}  // namespace kestrun_test
