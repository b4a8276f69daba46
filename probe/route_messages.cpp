// How the Linux network watch reads what rtnetlink says. No Qt here: it is fuzzed on its own.
#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include <cstring>

#include "route_messages.h"

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

}  // namespace probe
