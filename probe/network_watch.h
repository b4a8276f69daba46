#pragma once
// What the system says when the network may have come up: IPv4 addresses and routes that appear
// or change, links that rise. The probe asks at once instead of at the next tick.

#include <QObject>
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

// The system's: rtnetlink on Linux (link, IPv4 address and IPv4 route groups of the process's
// network namespace), the IP Helper's route and address notifications on Windows. Where neither can
// be had, a watch that never signals: the tick alone probes.
std::unique_ptr<NetworkWatch> system_network_watch();

}  // namespace probe
