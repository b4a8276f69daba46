#include "echo_helper_client.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "echo_exchange.h"

#ifndef KESTRUN_HELPER_FROM_BINDIR
#define KESTRUN_HELPER_FROM_BINDIR "../libexec/kestrun"
#endif

namespace probe {

namespace {

constexpr const char* helper_name = "kestrun-echo-helper";

std::string& chosen_helper_path() {
    static std::string path;
    return path;
}

std::string running_program_folder() {
    char path[PATH_MAX];
    const ssize_t size = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (size <= 0) return {};
    const std::string exe(path, static_cast<std::size_t>(size));
    const std::size_t slash = exe.rfind('/');
    return slash == std::string::npos ? std::string() : exe.substr(0, slash);
}

bool is_file(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

}  // namespace

std::string echo_helper_path() {
    if (!chosen_helper_path().empty()) return chosen_helper_path();
    const std::string folder = running_program_folder();
    const std::string beside = folder + "/" + helper_name;
    if (is_file(beside)) return beside;
    return folder + "/" KESTRUN_HELPER_FROM_BINDIR "/" + helper_name;
}

void set_echo_helper_path(const std::string& path) {
    chosen_helper_path() = path;
}

EchoHelper& EchoHelper::instance() {
    static EchoHelper helper;
    return helper;
}

bool EchoHelper::still_there() const {
    pollfd watch{channel_, 0, 0};
    return channel_ >= 0 && ::poll(&watch, 1, 0) >= 0 &&
           (watch.revents & (POLLHUP | POLLNVAL)) == 0;
}

int EchoHelper::start() {
    if ((state_ == State::starting || state_ == State::ready) && still_there()) return channel_;
    stop();

    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
        error_ = errno;
        state_ = State::unavailable;
        return -1;
    }
    // The helper gets its end as standard input, nothing else of ours, and an empty
    // environment.
    const std::string path = echo_helper_path();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pair[1], 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t every;
    sigfillset(&every);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &every);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    char* argv[] = {const_cast<char*>(helper_name), nullptr};
    char* envp[] = {nullptr};
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, path.c_str(), &actions, &attributes, argv, envp);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(pair[1]);
    if (spawned != 0) {
        ::close(pair[0]);
        error_ = spawned;
        state_ = State::unavailable;
        return -1;
    }
    pid_ = pid;
    channel_ = pair[0];
    state_ = State::starting;
    error_ = 0;
    return channel_;
}

bool EchoHelper::wait_until_ready(int timeout_ms) {
    const std::int64_t deadline = monotonic_ms() + timeout_ms;
    echo_helper::Answer ignored;
    while (state_ == State::starting) {
        const std::int64_t left = deadline - monotonic_ms();
        if (left <= 0) {
            stop();
            error_ = ETIMEDOUT;
            state_ = State::unavailable;
            break;
        }
        pollfd watch{channel_, POLLIN, 0};
        if (::poll(&watch, 1, static_cast<int>(left)) > 0) take(ignored);
    }
    return state_ == State::ready;
}

bool EchoHelper::take(echo_helper::Answer& answer) {
    if (channel_ < 0) return false;
    bool gone = false;
    const bool received = receive_answer(channel_, answer, gone);
    if (gone) {
        const int error = state_ == State::starting ? ECHILD : 0;
        stop();
        if (error != 0) {
            error_ = error;
            state_ = State::unavailable;
        }
        return false;
    }
    if (!received) return false;
    if (state_ == State::starting) {
        if (answer.outcome == echo_helper::Outcome::ready) {
            state_ = State::ready;
        } else {
            const int error = answer.outcome == echo_helper::Outcome::no_socket
                                  ? static_cast<int>(answer.detail)
                                  : EPROTO;
            stop();
            error_ = error;
            state_ = State::unavailable;
        }
        return false;
    }
    return answer.outcome == echo_helper::Outcome::answered ||
           answer.outcome == echo_helper::Outcome::refused;
}

bool EchoHelper::send(const echo_helper::Request& request) {
    std::uint8_t message[echo_helper::largest_request];
    const std::size_t size = echo_helper::encode_request(request, message);
    ssize_t sent = -1;
    do {
        sent = ::send(channel_, message, size, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent == static_cast<ssize_t>(size)) return true;
    stop();
    return false;
}

void EchoHelper::stop() {
    if (channel_ >= 0) ::close(channel_);
    channel_ = -1;
    if (pid_ > 0) {
        // Its channel closed, the helper ends by itself; one that does not is ended.
        if (::waitpid(pid_, nullptr, WNOHANG) == 0) {
            ::kill(pid_, SIGKILL);
            while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
            }
        }
    }
    pid_ = -1;
    state_ = State::stopped;
}

bool receive_answer(int fd, echo_helper::Answer& answer, bool& gone) {
    gone = false;
    echo_helper::Answer received;
    ssize_t size = -1;
    do {
        size = ::recv(fd, &received, sizeof received, MSG_DONTWAIT);
    } while (size < 0 && errno == EINTR);
    if (size == 0 || (size < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
        gone = true;
        return false;
    }
    if (size != static_cast<ssize_t>(sizeof received) ||
        received.magic != echo_helper::answer_magic)
        return false;
    answer = received;
    return true;
}

}  // namespace probe
