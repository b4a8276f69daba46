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

namespace probe {

bool announces_network_change(const std::uint8_t* messages, std::size_t size) {
    std::size_t offset = 0;
    while (size - offset >= sizeof(nlmsghdr)) {
        nlmsghdr header{};
        std::memcpy(&header, messages + offset, sizeof header);
        if (header.nlmsg_len < sizeof header || header.nlmsg_len > size - offset) break;
        const std::uint8_t* body = messages + offset + NLMSG_HDRLEN;
        const std::size_t body_size =
            header.nlmsg_len >= NLMSG_HDRLEN ? header.nlmsg_len - NLMSG_HDRLEN : 0;
        switch (header.nlmsg_type) {
            case RTM_NEWADDR:
            case RTM_NEWROUTE:
                return true;
            case RTM_NEWLINK: {
                // Attributes follow the interface record, each aligned to 4 bytes.
                bool wireless = false;
                std::size_t at = NLMSG_ALIGN(sizeof(ifinfomsg));
                while (at + sizeof(rtattr) <= body_size) {
                    rtattr attribute{};
                    std::memcpy(&attribute, body + at, sizeof attribute);
                    if (attribute.rta_len < sizeof attribute || attribute.rta_len > body_size - at)
                        break;
                    if (attribute.rta_type == IFLA_WIRELESS) wireless = true;
                    at += RTA_ALIGN(attribute.rta_len);
                }
                if (body_size >= sizeof(ifinfomsg) && !wireless) return true;
                break;
            }
            default:
                break;  // deletions, and anything else
        }
        if (NLMSG_ALIGN(header.nlmsg_len) >= size - offset) break;
        offset += NLMSG_ALIGN(header.nlmsg_len);
    }
    return false;
}

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
