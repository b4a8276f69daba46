#include "event_loop.h"

#include <QCoreApplication>

namespace kestrun_test {

QCoreApplication& event_loop_application() {
    static int argc = 1;
    static char name[] = "kestrun_test";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

}  // namespace kestrun_test
