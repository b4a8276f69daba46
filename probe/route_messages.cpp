// How the Linux network watch reads what rtnetlink says. No Qt here: it is fuzzed on its own.
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>

#include <cstring>

#include "route_messages.h"

namespace probe {

namespace {

// More links than a machine has: past this the memory of which ones run starts afresh.
constexpr std::size_t most_links = 4096;

// Calls `seen(type, payload, payload_size)` for each attribute after the fixed record of
// `record_size` bytes at the start of `body`, each aligned to 4 bytes; a malformed attribute
// ends the walk.
template <typename Seen>
void for_each_attribute(const std::uint8_t* body, std::size_t body_size, std::size_t record_size,
                        Seen seen) {
    std::size_t at = NLMSG_ALIGN(record_size);
    while (at + sizeof(rtattr) <= body_size) {
        rtattr attribute{};
        std::memcpy(&attribute, body + at, sizeof attribute);
        if (attribute.rta_len < sizeof attribute || attribute.rta_len > body_size - at) break;
        seen(attribute.rta_type, body + at + RTA_LENGTH(0), attribute.rta_len - RTA_LENGTH(0));
        at += RTA_ALIGN(attribute.rta_len);
    }
}

bool is_ipv4_address(const std::uint8_t* body, std::size_t size) {
    ifaddrmsg address{};
    if (size < sizeof address) return false;
    std::memcpy(&address, body, sizeof address);
    return address.ifa_family == AF_INET;
}

// An IPv4 unicast route of the main table that the kernel did not clone. The record's table
// field holds 8 bits; a table attribute, where there is one, holds the whole number.
bool is_main_unicast_route(const std::uint8_t* body, std::size_t size) {
    rtmsg route{};
    if (size < sizeof route) return false;
    std::memcpy(&route, body, sizeof route);
    if (route.rtm_family != AF_INET || route.rtm_type != RTN_UNICAST ||
        (route.rtm_flags & RTM_F_CLONED) != 0)
        return false;
    std::uint32_t table = route.rtm_table;
    for_each_attribute(body, size, sizeof route,
                       [&](unsigned type, const std::uint8_t* payload, std::size_t length) {
                           if (type == RTA_TABLE && length >= sizeof table)
                               std::memcpy(&table, payload, sizeof table);
                       });
    return table == RT_TABLE_MAIN;
}

}  // namespace

bool RouteMessages::link_rises(const std::uint8_t* body, std::size_t size, bool removed) {
    ifinfomsg link{};
    if (size < sizeof link) return false;
    std::memcpy(&link, body, sizeof link);
    // Bridge ports are reported again under the bridge family; the link's own message says it.
    if (link.ifi_family != AF_UNSPEC) return false;
    bool wireless = false;
    for_each_attribute(body, size, sizeof link,
                       [&](unsigned type, const std::uint8_t*, std::size_t) {
                           if (type == IFLA_WIRELESS) wireless = true;
                       });
    if (wireless) return false;
    // IFF_RUNNING is the kernel's word for an operational state of up (or unknown).
    constexpr unsigned up_and_running = IFF_UP | IFF_RUNNING;
    if (removed || (link.ifi_flags & up_and_running) != up_and_running) {
        running_.erase(link.ifi_index);
        return false;
    }
    if (running_.size() >= most_links) running_.clear();
    return running_.insert(link.ifi_index).second;
}

bool RouteMessages::announce_change(const std::uint8_t* messages, std::size_t size) {
    bool change = false;
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
                if (is_ipv4_address(body, body_size)) change = true;
                break;
            case RTM_NEWROUTE:
                if (is_main_unicast_route(body, body_size)) change = true;
                break;
            case RTM_NEWLINK:
                // Every link message is read, for what it says of that link's state.
                if (link_rises(body, body_size, false)) change = true;
                break;
            case RTM_DELLINK:
                link_rises(body, body_size, true);
                break;
            default:
                break;  // deletions of addresses and routes, and anything else
        }
        if (NLMSG_ALIGN(header.nlmsg_len) >= size - offset) break;
        offset += NLMSG_ALIGN(header.nlmsg_len);
    }
    return change;
}

}  // namespace probe
