#include "process_probes.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace kestrun_test {

namespace fs = std::filesystem;

std::map<int, std::string> open_descriptors() {
    const std::string listing = "/proc/" + std::to_string(::getpid()) + "/fd";
    std::map<int, std::string> found;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ignored;
        const std::string target = fs::read_symlink(entry.path(), ignored).string();
        if (target != listing) found[std::stoi(entry.path().filename().string())] = target;
    }
    return found;
}

int open_descriptor_count() {
    return static_cast<int>(open_descriptors().size());
}

int thread_count() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/task")) ++count;
    return count;
}

int descriptor_of(const std::string& path) {
    for (const auto& [fd, target] : open_descriptors())
        if (fs::path(target) == fs::path(path)) return fd;
    return -1;
}

long status_kb(const std::string& field) {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(field, 0) == 0) return std::stol(line.substr(field.size()));
    return -1;
}

bool is_root() {
    return ::geteuid() == 0;
}

int run_as_nobody(const std::vector<std::string>& command) {
    std::vector<std::string> words = {"setpriv", "--reuid=nobody", "--regid=nogroup",
                                      "--clear-groups", "--"};
    words.insert(words.end(), command.begin(), command.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::optional<std::string> in_child_within(int seconds, const std::function<std::string()>& work) {
    int fds[2];
    if (::pipe(fds) != 0) return std::nullopt;
    const pid_t pid = ::fork();
    if (pid < 0) return std::nullopt;
    if (pid == 0) {
        ::close(fds[0]);
        std::string result;
        try {
            result = work();
        } catch (const std::exception& error) {
            result = std::string("exception: ") + error.what();
        }
        const char* at = result.data();
        std::size_t left = result.size();
        while (left > 0) {
            const ssize_t put = ::write(fds[1], at, left);
            if (put <= 0) break;
            at += put;
            left -= static_cast<std::size_t>(put);
        }
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string result;
    bool finished = false;
    pollfd watch{fds[0], POLLIN, 0};
    while (::poll(&watch, 1, seconds * 1000) > 0) {
        char buffer[4096];
        const ssize_t got = ::read(fds[0], buffer, sizeof buffer);
        if (got <= 0) {
            finished = got == 0;
            break;
        }
        result.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fds[0]);
    if (!finished) ::kill(pid, SIGKILL);
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    if (!finished) return std::nullopt;
    return result;
}

namespace {

const passwd* nobody() {
    const passwd* user = ::getpwnam("nobody");
    if (user == nullptr) throw std::runtime_error("there is no user `nobody` here");
    return user;
}

}  // namespace

std::optional<std::string> without_root(const std::function<std::string()>& work, int seconds) {
    const bool drop = is_root();
    const passwd* user = drop ? nobody() : nullptr;
    return in_child_within(seconds, [&]() -> std::string {
        if (drop && (::setgroups(0, nullptr) != 0 || ::setgid(user->pw_gid) != 0 ||
                     ::setuid(user->pw_uid) != 0 || ::geteuid() == 0))
            return "cannot drop root";
        return work();
    });
}

void give_to_nobody(const std::string& path) {
    if (!is_root()) return;
    const passwd* user = nobody();
    if (::lchown(path.c_str(), user->pw_uid, user->pw_gid) != 0)
        throw std::runtime_error("cannot give " + path + " to nobody");
}

pid_t start_stranger_numbered(pid_t pid) {
#if defined(__linux__) && defined(SYS_clone3)
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) return -1;
    const pid_t middle = ::fork();
    if (middle == 0) {
        // clone3's arguments (struct clone_args): only the exit signal and the one number
        // wanted (set_tid, set_tid_size) are given. Only system calls from here on.
        std::uint64_t args[11] = {};
        pid_t wanted = pid;
        args[4] = SIGCHLD;
        args[8] = reinterpret_cast<std::uintptr_t>(&wanted);
        args[9] = 1;
        const long made = ::syscall(SYS_clone3, args, sizeof args);
        if (made == 0) {
            ::syscall(SYS_close_range, 0u, ~0u, 0u);
            for (;;) ::pause();
        }
        const pid_t number = made < 0 ? -1 : static_cast<pid_t>(made);
        (void)!::write(report[1], &number, sizeof number);
        ::_exit(0);
    }
    ::close(report[1]);
    pid_t number = -1;
    if (middle < 0 || ::read(report[0], &number, sizeof number) != sizeof number) number = -1;
    ::close(report[0]);
    while (middle > 0 && ::waitpid(middle, nullptr, 0) < 0 && errno == EINTR) {
    }
    return number;
#else
    (void)pid;
    return -1;
#endif
}

bool is_running(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("State:", 0) != 0) continue;
        const std::size_t letter = line.find_first_not_of(" \t", 6);
        return letter != std::string::npos && line[letter] != 'Z' && line[letter] != 'X';
    }
    return false;  // gone, and reaped
}

bool eventually(const std::function<bool()>& condition, double seconds) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= until) return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

AdoptingOrphans::AdoptingOrphans() : ok_(::prctl(PR_SET_CHILD_SUBREAPER, 1) == 0) {}

AdoptingOrphans::~AdoptingOrphans() {
    reap_all();
    ::prctl(PR_SET_CHILD_SUBREAPER, 0);
}

int AdoptingOrphans::reap_all(double seconds) {
    int reaped = 0;
    const bool none_left = eventually(
        [&reaped] {
            for (;;) {
                const pid_t ended = ::waitpid(-1, nullptr, WNOHANG);
                if (ended < 0) return errno == ECHILD;
                if (ended == 0) return false;
                ++reaped;
            }
        },
        seconds);
    return none_left ? reaped : -1;
}

}  // namespace kestrun_test
