#pragma once
// The event loop the probe's attempts report through, for tests without a window.

class QCoreApplication;

namespace kestrun_test {

// The test program's one QCoreApplication, made on first use.
QCoreApplication& event_loop_application();

}  // namespace kestrun_test
