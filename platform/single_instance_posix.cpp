#include "single_instance.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

namespace platform {

namespace {

constexpr char request[] = "show";  // then " <activation token>" or nothing, then a newline
constexpr char answer[] = "ok\n";
constexpr std::size_t longest_token = 255;

// A token goes on the request line as it is: printable, no spaces, short.
bool fits_request(const std::string& token) {
    return token.size() <= longest_token &&
           std::all_of(token.begin(), token.end(), [](char c) { return c > ' ' && c < 0x7f; });
}

// The folder at `path`, opened, when only we can enter it: a directory (not a link) of ours,
// closed to everyone else. -1 otherwise. Checked on the open folder, so it cannot change
// between the check and its use.
int open_private(const std::string& path) {
    const int folder = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder < 0) return -1;
    struct stat status {};
    if (::fstat(folder, &status) == 0 && S_ISDIR(status.st_mode) && status.st_uid == ::geteuid() &&
        (status.st_mode & 077) == 0)
        return folder;
    ::close(folder);
    return -1;
}

// The first private folder of: the session's runtime folder; one of ours in the temporary
// folder; one of ours in the home folder (where nobody else can have made it first). Made
// where missing.
std::string runtime_folder() {
    std::vector<std::string> candidates;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') candidates.emplace_back(runtime);
    const char* temporary = std::getenv("TMPDIR");
    candidates.push_back(
        std::string(temporary != nullptr && temporary[0] == '/' ? temporary : "/tmp") +
        "/kestrun-" + std::to_string(::geteuid()));
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') {
        ::mkdir((std::string(home) + "/.cache").c_str(), 0700);
        candidates.push_back(std::string(home) + "/.cache/kestrun");
    }
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        if (i > 0) ::mkdir(candidates[i].c_str(), 0700);
        const int folder = open_private(candidates[i]);
        if (folder >= 0) {
            ::close(folder);
            return candidates[i];
        }
    }
    return {};
}

// The rendezvous folder of `path` and the name in it.
std::pair<std::string, std::string> split(const std::string& path) {
    const std::string::size_type slash = path.rfind('/');
    return {path.substr(0, slash), path.substr(slash + 1)};
}

// The socket `name` in the open `folder` at `folder_path`: by its own path where that fits in
// an address, else through the folder's descriptor, which always does.
sockaddr_un address_of(int folder, const std::string& folder_path, const std::string& name) {
    std::string path = folder_path + "/" + name;
    if (path.size() >= sizeof(sockaddr_un::sun_path))
        path = "/proc/self/fd/" + std::to_string(folder) + "/" + name;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

}  // namespace

// Asks the copy listening at the rendezvous's socket to show its window.
SingleInstance::Asked SingleInstance::ask_to_show(const std::string& path,
                                                  const std::string& activation_token,
                                                  Clock::time_point deadline) {
    const auto [folder_path, name] = split(path);
    const int folder = open_private(folder_path);
    if (folder < 0) return Asked::no_answer;
    // Non-blocking: a connect to a holder whose queue of unaccepted connections is full (it is
    // stopped, or busy, and earlier starts have queued up) would otherwise wait for it without
    // end; it fails at once instead and is tried again until the deadline.
    const int connection = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (connection < 0) {
        ::close(folder);
        return Asked::no_answer;
    }
    const sockaddr_un address = address_of(folder, folder_path, name + ".sock");
    std::string line = request;
    if (!activation_token.empty() && fits_request(activation_token)) line += " " + activation_token;
    line += "\n";
    Asked outcome = Asked::no_answer;
    if (::connect(connection, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        // No socket yet (the holder is starting), a dead one (the holder is gone), or a full
        // queue (EAGAIN).
        outcome = Asked::nobody_listens;
    } else if (::send(connection, line.data(), line.size(), MSG_NOSIGNAL) != ssize_t(line.size())) {
        outcome = Asked::nobody_listens;  // closed at once: see below
    } else {
        std::string got;
        bool closed = false;
        while (got.size() < sizeof answer - 1) {
            pollfd ready{connection, POLLIN, 0};
            if (::poll(&ready, 1, milliseconds_until(deadline)) <= 0) break;
            char byte = 0;
            const ssize_t size = ::read(connection, &byte, 1);
            if (size == 1) {
                got += byte;
            } else if (size == 0 || (errno != EINTR && errno != EAGAIN)) {
                closed = true;
                break;
            }
        }
        if (got == answer) {
            outcome = Asked::answered;
        } else if (closed && got.empty()) {
            // The holder ended with our request unread (it was quitting, or its start failed),
            // or had more connections than it serves: the folder may be free, ask again.
            outcome = Asked::nobody_listens;
        }
    }
    ::close(connection);
    ::close(folder);
    return outcome;
}

// Each connection is read as its bytes come, from a notifier of its own, and dropped when its
// line is not whole by the deadline: a peer that sends nothing, or a byte at a time, never holds
// up the window, and a later start still gets its answer meanwhile.
struct SingleInstance::Server {
    // One connection and what it has sent so far.
    struct Peer : QObject {
        Peer(int fd, QObject* owner)
            : QObject(owner), fd(fd), notifier(fd, QSocketNotifier::Read) {}
        ~Peer() override {
            notifier.setEnabled(false);
            if (fd >= 0) ::close(fd);
        }
        int fd;
        std::string got;
        QSocketNotifier notifier;
        QTimer deadline;
    };

    static constexpr int deadline_ms = 1000;
    static constexpr std::size_t most_peers = 8;  // more at once are dropped as they come
    static constexpr std::size_t longest_line = sizeof request + longest_token;

    Server(int listening, std::function<void(const std::string&)> show)
        : listening(listening), show(std::move(show)), listener(listening, QSocketNotifier::Read) {
        QObject::connect(&listener, &QSocketNotifier::activated, [this] { accept_waiting(); });
    }

    void accept_waiting() {
        for (int accepted = 0; accepted < 16; ++accepted) {
            const int connection =
                ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (connection < 0) {
                if (errno == EINTR || errno == ECONNABORTED) continue;
                return;  // none left
            }
            // Only this user's own starts may ask (the folder is private already).
            ucred credentials{};
            socklen_t size = sizeof credentials;
            if (::getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 ||
                credentials.uid != ::geteuid() || peers.size() >= most_peers) {
                ::close(connection);
                continue;
            }
            auto* peer = new Peer(connection, &owner);
            peers.push_back(peer);
            QObject::connect(&peer->notifier, &QSocketNotifier::activated, peer,
                             [this, peer] { read(peer); });
            peer->deadline.setSingleShot(true);
            peer->deadline.setTimerType(Qt::PreciseTimer);
            QObject::connect(&peer->deadline, &QTimer::timeout, peer, [this, peer] { drop(peer); });
            peer->deadline.start(deadline_ms);
        }
    }

    // Takes what the peer has sent; a whole line is answered, a closed or overlong one dropped.
    void read(Peer* peer) {
        char chunk[512];
        for (;;) {
            const ssize_t size = ::recv(peer->fd, chunk, sizeof chunk, MSG_DONTWAIT);
            if (size < 0 && errno == EINTR) continue;
            if (size < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;  // more to come
            if (size <= 0) break;
            peer->got.append(chunk, std::size_t(size));
            const std::string::size_type end = peer->got.find('\n');
            if (end != std::string::npos && end <= longest_line) {
                take_line(peer, peer->got.substr(0, end));
                return;
            }
            if (peer->got.size() > longest_line) break;
        }
        drop(peer);
    }

    void take_line(Peer* peer, const std::string& line) {
        std::string token;
        bool asked = false;
        if (line.rfind(std::string(request) + " ", 0) == 0) {
            token = line.substr(sizeof request);
            asked = !token.empty() && fits_request(token);
        } else {
            asked = line == request;
        }
        // A few bytes on a fresh connection: the socket's buffer takes them at once.
        if (asked) (void)::send(peer->fd, answer, sizeof answer - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        drop(peer);
        if (asked && show) show(token);
    }

    // Closes the connection now; the peer's notifier and timer go once their signal is over.
    void drop(Peer* peer) {
        const auto at = std::find(peers.begin(), peers.end(), peer);
        if (at == peers.end()) return;
        peers.erase(at);
        peer->notifier.setEnabled(false);
        peer->deadline.stop();
        ::close(peer->fd);
        peer->fd = -1;
        peer->deleteLater();
    }

    int listening;
    std::function<void(const std::string&)> show;
    QObject owner;  // of the peers: those still there go with the server
    std::vector<Peer*> peers;
    QSocketNotifier listener;
};

std::string SingleInstance::rendezvous_path(const std::string& folder) {
    const std::string runtime = runtime_folder();
    if (runtime.empty()) return {};
    return runtime + "/kestrun-" + folder_key(folder);
}

std::unique_ptr<SingleInstance> SingleInstance::hold(const std::string& path, bool& unusable) {
    const auto [folder_path, name] = split(path);
    const int folder = open_private(folder_path);
    if (folder < 0) {
        unusable = true;
        return nullptr;
    }
    std::unique_ptr<SingleInstance> instance(new SingleInstance);
    instance->folder_ = folder;
    const int lock =
        ::openat(folder, (name + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lock < 0) {
        unusable = true;
        return nullptr;
    }
    if (::flock(lock, LOCK_EX | LOCK_NB) != 0) {
        unusable = errno != EWOULDBLOCK;
        ::close(lock);
        return nullptr;
    }
    instance->lock_ = lock;
    // Whatever socket is there belongs to a copy that has ended: we hold the lock.
    const std::string socket_name = name + ".sock";
    ::unlinkat(folder, socket_name.c_str(), 0);
    const int listening = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const sockaddr_un address = address_of(folder, folder_path, socket_name);
    if (listening >= 0 &&
        ::bind(listening, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        ::listen(listening, 8) == 0) {
        instance->listening_ = listening;
        instance->socket_name_ = socket_name;
    } else if (listening >= 0) {
        ::close(listening);
    }
    return instance;
}

void SingleInstance::serve(std::function<void(const std::string&)> show) {
    if (listening_ < 0) return;
    server_ = std::make_unique<Server>(listening_, std::move(show));
}

SingleInstance::~SingleInstance() {
    server_.reset();
    if (listening_ >= 0) {
        ::close(listening_);
        ::unlinkat(folder_, socket_name_.c_str(), 0);
    }
    if (lock_ >= 0) ::close(lock_);
    if (folder_ >= 0) ::close(folder_);
}

}  // namespace platform
