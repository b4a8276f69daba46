#pragma once
// What the system says when the network may have come up: addresses, routes and links that
// appear or change. The probe asks at once instead of at the next tick.

#include <QObject>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace probe {

class NetworkWatch : public QObject {
    Q_OBJECT

  public:
    using QObject::QObject;

  signals:
    // Something appeared or changed; a burst of messages makes one signal.
    void changed();
};

// The system's: rtnetlink on Linux (link, address and route groups of the process's network
// namespace), the IP Helper's route and address notifications on Windows. Where neither can be
// had, a watch that never signals: the tick alone probes.
std::unique_ptr<NetworkWatch> system_network_watch();

// How the Linux watch reads one datagram of rtnetlink messages from the kernel: true when one of
// them is a new or changed link, address or route. Deletions are no change that can bring the
// network up, and a link message that carries a wireless event (a Wi-Fi scan) is noise.
bool announces_network_change(const std::uint8_t* messages, std::size_t size);

}  // namespace probe
