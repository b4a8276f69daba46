// The Linux watch: an rtnetlink socket on the link, address and route groups, read when the
// event loop finds it readable. It needs no privilege and sees the process's own network
// namespace.
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <cstring>

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
            sockaddr_nl sender{};
            socklen_t length = sizeof sender;
            const ssize_t size = ::recvfrom(fd_, buffer_, sizeof buffer_, MSG_DONTWAIT,
                                            reinterpret_cast<sockaddr*>(&sender), &length);
            if (size < 0) {
                if (errno == EINTR) continue;
                // Messages were lost while the queue was full: any of them may have been one.
                if (errno != ENOBUFS) break;
                change = true;
                continue;
            }
            // Only the kernel speaks for the network; another process may send us anything.
            if (sender.nl_pid != 0) continue;
            if (announces_network_change(buffer_, static_cast<std::size_t>(size))) change = true;
        }
        if (change) emit changed();
    }

    int fd_;
    QSocketNotifier notifier_;
    alignas(nlmsghdr) std::uint8_t buffer_[16384];
};

}  // namespace

std::unique_ptr<NetworkWatch> system_network_watch() {
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (fd >= 0) {
        sockaddr_nl local{};
        local.nl_family = AF_NETLINK;
        local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR |
                          RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0)
            return std::make_unique<RouteWatch>(fd);
        ::close(fd);
    }
    return std::make_unique<NetworkWatch>();
}

}  // namespace probe
