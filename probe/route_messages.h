#pragma once
// How the Linux network watch reads the datagrams of rtnetlink messages the kernel sends it.

#include <cstddef>
#include <cstdint>
#include <unordered_set>

namespace probe {

// The probe asks IPv4 addresses, so only what can bring IPv4 connectivity is news:
// - a new IPv4 address;
// - a new or changed route of the main table that is unicast and not cloned (a route in
//   another table, a blackhole or unreachable route, a local or broadcast one is not);
// - a link that rises: a link message whose flags say up and running (its operational state
//   is up, or unknown as on loopback) about a link not running when last heard of. A link
//   going down, and further messages about a link that is already running, are not; a link
//   first heard of while running counts once.
// Deletions are not news, nor are link messages that carry a wireless event (Wi-Fi scans).
class RouteMessages {
  public:
    // True when one of the messages of the datagram is news. A malformed message ends the
    // reading.
    bool announce_change(const std::uint8_t* messages, std::size_t size);

    // Messages were lost (the receive queue overflowed): a link may have gone down unheard, so
    // each link counts again the next time it is heard of running.
    void forget_links() { running_.clear(); }

  private:
    bool link_rises(const std::uint8_t* body, std::size_t size, bool removed);

    std::unordered_set<int> running_;  // interface indexes last heard of running
};

}  // namespace probe
