// The Linux watch: an rtnetlink socket on the link and IPv4 address and route groups, read when
// the event loop finds it readable (what counts as news: route_messages.h). It needs no
// privilege and sees the process's own network namespace.
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <cstring>
#include <vector>

#include "network_watch.h"
#include "route_messages.h"

namespace probe {

namespace {

class RouteWatch final : public NetworkWatch {
  public:
    explicit RouteWatch(int fd) : fd_(fd), notifier_(fd, QSocketNotifier::Read) {
        connect(&notifier_, &QSocketNotifier::activated, this, [this] { read_all(); });
    }

    ~RouteWatch() override {
        notifier_.setEnabled(false);
        ::close(fd_);
    }

  private:
    // What is queued is read at once and makes at most one signal. A storm is read in slices,
    // so that the window's own events come between them.
    void read_all() {
        bool change = false;
        for (int reads = 0; reads < 256; ++reads) {
            // The next datagram's whole size first: one longer than the buffer (a link with many
            // names, say) would be cut, and a cut one cannot be read.
            const ssize_t pending = ::recv(fd_, nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
            sockaddr_nl sender{};
            socklen_t length = sizeof sender;
            ssize_t size = pending;
            if (pending >= 0) {
                if (std::size_t(pending) > buffer_.size()) buffer_.resize(std::size_t(pending));
                size = ::recvfrom(fd_, buffer_.data(), buffer_.size(), MSG_DONTWAIT,
                                  reinterpret_cast<sockaddr*>(&sender), &length);
            }
            if (size < 0) {
                if (errno == EINTR) continue;
                // Messages were lost while the queue was full: any of them may have been one.
                if (errno != ENOBUFS) break;
                change = true;
                messages_.forget_links();
                continue;
            }
            // Only the kernel speaks for the network; another process may send us anything.
            if (sender.nl_pid != 0) continue;
            if (messages_.announce_change(buffer_.data(), std::size_t(size))) change = true;
        }
        if (change) emit changed();
    }

    int fd_;
    QSocketNotifier notifier_;
    RouteMessages messages_;
    std::vector<std::uint8_t> buffer_ = std::vector<std::uint8_t>(16384);
};

}  // namespace

std::unique_ptr<NetworkWatch> system_network_watch() {
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (fd >= 0) {
        sockaddr_nl local{};
        local.nl_family = AF_NETLINK;
        // The probe is IPv4 only: the IPv6 groups would be noise.
        local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV4_ROUTE;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0)
            return std::make_unique<RouteWatch>(fd);
        ::close(fd);
    }
    return std::make_unique<NetworkWatch>();
}

}  // namespace probe
