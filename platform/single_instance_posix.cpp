#include "single_instance.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <QSocketNotifier>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace platform {

namespace {

constexpr char request[] = "show\n";
constexpr char answer[] = "ok\n";

// A folder only this user can enter: the runtime folder the session gives, else one of our own
// under /tmp.
bool private_folder(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode) &&
           status.st_uid == ::geteuid() && (status.st_mode & 077) == 0;
}

std::string runtime_folder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/' && private_folder(runtime)) return runtime;
    const std::string fallback = "/tmp/kestrun-" + std::to_string(::geteuid());
    ::mkdir(fallback.c_str(), 0700);
    return private_folder(fallback) ? fallback : std::string();
}

sockaddr_un address_of(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

}  // namespace

// Asks the copy listening at the rendezvous's socket to show its window.
SingleInstance::Asked SingleInstance::ask_to_show(const std::string& path,
                                                  Clock::time_point deadline) {
    const std::string socket_path = path + ".sock";
    const int connection = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connection < 0) return Asked::no_answer;
    const sockaddr_un address = address_of(socket_path);
    Asked outcome = Asked::no_answer;
    if (::connect(connection, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        // No socket yet (the holder is starting) or a dead one (the holder is gone).
        outcome = Asked::nobody_listens;
    } else if (::send(connection, request, sizeof request - 1, MSG_NOSIGNAL) ==
               ssize_t(sizeof request - 1)) {
        std::string got;
        while (got.size() < sizeof answer - 1) {
            pollfd ready{connection, POLLIN, 0};
            if (::poll(&ready, 1, milliseconds_until(deadline)) <= 0) break;
            char byte = 0;
            if (::read(connection, &byte, 1) != 1) break;
            got += byte;
        }
        if (got == answer) outcome = Asked::answered;
    }
    ::close(connection);
    return outcome;
}

// One connection at a time is enough: a request is one line, answered at once.
struct SingleInstance::Server {
    std::function<void()> show;
    std::unique_ptr<QSocketNotifier> listener;
};

std::string SingleInstance::rendezvous_path(const std::string& folder) {
    const std::string runtime = runtime_folder();
    if (runtime.empty()) return {};
    std::string path = runtime + "/kestrun-" + folder_key(folder);
    if (path.size() + sizeof ".sock" > sizeof(sockaddr_un::sun_path)) return {};
    return path;
}

std::unique_ptr<SingleInstance> SingleInstance::hold(const std::string& path, bool& unusable) {
    const std::string lock_path = path + ".lock";
    const std::string socket_path = path + ".sock";
    const int lock = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lock < 0) {
        unusable = true;
        return nullptr;
    }
    if (::flock(lock, LOCK_EX | LOCK_NB) != 0) {
        unusable = errno != EWOULDBLOCK;
        ::close(lock);
        return nullptr;
    }
    std::unique_ptr<SingleInstance> instance(new SingleInstance);
    instance->lock_ = lock;
    // Whatever socket is there belongs to a copy that has ended: we hold the lock.
    ::unlink(socket_path.c_str());
    const int listening = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const sockaddr_un address = address_of(socket_path);
    if (listening >= 0 &&
        ::bind(listening, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        ::listen(listening, 8) == 0) {
        instance->listening_ = listening;
        instance->socket_path_ = socket_path;
    } else if (listening >= 0) {
        ::close(listening);
    }
    return instance;
}

void SingleInstance::serve(std::function<void()> show) {
    if (listening_ < 0) return;
    server_ = std::make_unique<Server>();
    server_->show = std::move(show);
    server_->listener = std::make_unique<QSocketNotifier>(listening_, QSocketNotifier::Read);
    QObject::connect(server_->listener.get(), &QSocketNotifier::activated, [this] {
        const int connection = ::accept4(listening_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) return;
        // Only this user's own starts may ask (the folder is private already).
        ucred peer{};
        socklen_t size = sizeof peer;
        bool asked = ::getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 &&
                     peer.uid == ::geteuid();
        // A request is one short line, sent at once; a client that sends nothing is dropped.
        std::string got;
        while (asked && got.size() < sizeof request - 1) {
            pollfd ready{connection, POLLIN, 0};
            char byte = 0;
            if (::poll(&ready, 1, 1000) <= 0 || ::read(connection, &byte, 1) != 1) break;
            got += byte;
        }
        asked = asked && got == request;
        if (asked) (void)::send(connection, answer, sizeof answer - 1, MSG_NOSIGNAL);
        ::close(connection);
        if (asked && server_->show) server_->show();
    });
}

SingleInstance::~SingleInstance() {
    server_.reset();
    if (listening_ >= 0) {
        ::close(listening_);
        ::unlink(socket_path_.c_str());
    }
    if (lock_ >= 0) ::close(lock_);
}

}  // namespace platform
