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

// True while `pid` is a child of ours not reaped yet (running, or a zombie): only then is the
// number still the helper's. Where SIGCHLD is ignored (a disposition our own parent may hand
// down), a helper that ends is reaped at once, and its number may go to any other process.
bool is_unreaped_child(pid_t pid) {
    siginfo_t info{};
    int result = -1;
    do {
        result = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
    } while (result < 0 && errno == EINTR);
    return result == 0;
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

EchoHelperClient& EchoHelperClient::shared() {
    static EchoHelperClient client;
    return client;
}

EchoHelperClient::~EchoHelperClient() {
    stop();
}

std::uint32_t EchoHelperClient::ask(echo_helper::Target target) {
    if (++last_id_ == 0) ++last_id_;  // 0 answers what was not a request
    pending_ = echo_helper::Request{last_id_, target};
    asked_again_ = false;
    if (!start()) return 0;
    if (send(pending_)) return pending_.id;
    // A full channel is a helper that does not read; a closed one has gone: a fresh one.
    stop();
    if (start() && send(pending_)) return pending_.id;
    stop();
    return 0;
}

EchoHelperClient::Reading EchoHelperClient::read(std::uint32_t id, echo_helper::Answer& answer) {
    // Bounded, so that a helper that talks on and on cannot keep the caller here.
    for (int messages = 0; messages < 16; ++messages) {
        echo_helper::Answer message;
        bool gone = false;
        if (!receive(message, gone)) {
            if (!gone) return Reading::waiting;
            const bool was_ready = ready_;
            stop();
            if (!was_ready) {
                return Reading::unavailable;
            }
            if (id == 0 || id != pending_.id || asked_again_) return Reading::lost;
            asked_again_ = true;
            if (start() && send(pending_)) return Reading::asked_again;
            stop();
            return Reading::lost;
        }
        switch (message.outcome) {
            case echo_helper::Outcome::ready:
                ready_ = true;
                break;
            case echo_helper::Outcome::no_socket:
                stop();
                return Reading::unavailable;
            default:
                if (id != 0 && message.id == id) {
                    answer = message;
                    return Reading::answered;
                }
                break;  // a late answer to an earlier request
        }
    }
    return Reading::waiting;
}

void EchoHelperClient::give_up() {
    stop();
}

bool EchoHelperClient::wait_until_ready(int timeout_ms) {
    if (!start()) return false;
    const std::int64_t deadline = monotonic_ms() + timeout_ms;
    echo_helper::Answer ignored;
    while (!ready_) {
        const std::int64_t left = deadline - monotonic_ms();
        if (left <= 0) {
            stop();
            return false;
        }
        pollfd watch{channel_, POLLIN, 0};
        if (::poll(&watch, 1, static_cast<int>(left)) <= 0) continue;
        const Reading reading = read(0, ignored);
        if (reading == Reading::unavailable || reading == Reading::lost) return false;
    }
    return true;
}

bool EchoHelperClient::start() {
    if (channel_ >= 0) return true;
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
        return false;
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
        return false;
    }
    pid_ = pid;
    channel_ = pair[0];
    return true;
}

bool EchoHelperClient::send(const echo_helper::Request& request) {
    std::uint8_t message[echo_helper::request_size];
    echo_helper::encode_request(request, message);
    ssize_t sent = -1;
    do {
        sent = ::send(channel_, message, sizeof message, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(sizeof message);
}

bool EchoHelperClient::receive(echo_helper::Answer& answer, bool& gone) {
    gone = false;
    for (int messages = 0; messages < 16; ++messages) {
        ssize_t size = -1;
        do {
            size = ::recv(channel_, &answer, sizeof answer, MSG_DONTWAIT);
        } while (size < 0 && errno == EINTR);
        if (size < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
        if (size <= 0) {
            gone = true;
            return false;
        }
        if (size == static_cast<ssize_t>(sizeof answer) &&
            answer.magic == echo_helper::answer_magic)
            return true;
        // Not an answer: passed over.
    }
    return false;
}

void EchoHelperClient::stop() {
    if (channel_ >= 0) ::close(channel_);
    channel_ = -1;
    if (pid_ > 0 && is_unreaped_child(pid_)) {
        // Its channel closed, the helper would end by itself; a hung or stopped one would not.
        ::kill(pid_, SIGKILL);
        while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    pid_ = -1;
    ready_ = false;
}

}  // namespace probe
