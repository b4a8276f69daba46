// Starts a stored command line through the system's command-line launcher, window shown, as
// the list has always been started on this platform. Its result is not looked at.

#include <windows.h>

#include <string>
#include <vector>

#include "launcher.h"

namespace platform {

void launch_command_line(const std::string& command_line) {
    WinExec(command_line.c_str(), SW_SHOW);
}

}  // namespace platform
