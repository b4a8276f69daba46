#pragma once

namespace kestrun_test {

// CI (CI=true) has every tool and runs as root: there a case that cannot run is a failure.
bool in_ci();

}  // namespace kestrun_test
