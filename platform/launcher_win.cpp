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

// Same rule as on POSIX: blanks separate words, double quotes group and are removed, nothing
// else is special.
std::vector<std::string> split_command_line(const std::string& command_line) {
    std::vector<std::string> words;
    std::string word;
    bool in_word = false;
    bool quoted = false;
    for (const char c : command_line) {
        if (c == '"') {
            quoted = !quoted;
            in_word = true;
        } else if ((c == ' ' || c == '\t') && !quoted) {
            if (in_word) words.push_back(word);
            word.clear();
            in_word = false;
        } else {
            word += c;
            in_word = true;
        }
    }
    if (in_word) words.push_back(word);
    return words;
}

}  // namespace platform
