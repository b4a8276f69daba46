#pragma once
// Starts a program from a stored command line, without waiting for it and without
// reporting a failure.

#include <string>
#include <vector>

namespace platform {

// On POSIX: a command line that names an executable file as a whole (a path: it has a
// slash) is that program; otherwise it is split into words (double quotes group, no
// shell, no expansion) and the first word is the program, looked up in PATH when it has
// no slash. The child is detached: own session, never a zombie, none of our descriptors,
// default signals, our environment less the desktop's start-up id and activation token.
// On Windows: the platform's command-line launcher with its window shown.
void launch_command_line(const std::string& command_line);

// The words a command line splits into (POSIX rule above).
std::vector<std::string> split_command_line(const std::string& command_line);

}  // namespace platform
