#pragma once
// How the Linux network watch reads one datagram of rtnetlink messages from the kernel.

#include <cstddef>
#include <cstdint>

namespace probe {

// True when one of the messages is a new or changed link, address or route. Deletions are no
// change that can bring the network up, and a link message that carries a wireless event (a
// Wi-Fi scan) is noise. A malformed message ends the reading.
bool announces_network_change(const std::uint8_t* messages, std::size_t size);

}  // namespace probe
