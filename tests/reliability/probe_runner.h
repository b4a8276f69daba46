#pragma once
// Runs reliability_probe (its path is KESTRUN_RELIABILITY_PROBE) in a directory and reads
// the "key=value" lines it prints. posix_spawn, so that a test process running Qt can use it.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "key_values.h"

extern char** environ;

namespace reliability_test {

struct ProbeRun : kestrun_test::KeyValues {
    std::string output;  // everything it printed, for failure messages
    int exit_status = -1;
};

inline ProbeRun run_probe(const std::vector<std::string>& arguments, const std::string& directory) {
    ProbeRun run;
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return run;
    std::vector<std::string> words{KESTRUN_RELIABILITY_PROBE};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (spawned != 0) {
        ::close(out[0]);
        run.output = "cannot start " + words[0];
        return run;
    }
    char chunk[4096];
    ssize_t n;
    while ((n = ::read(out[0], chunk, sizeof chunk)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0) run.output.append(chunk, static_cast<std::size_t>(n));
    ::close(out[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    static_cast<kestrun_test::KeyValues&>(run) = kestrun_test::parse_key_values(run.output);
    return run;
}

}  // namespace reliability_test
