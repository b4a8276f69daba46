#include "network_probe.h"

#include <QTimer>

#include "ping_funcs.h"

namespace probe {

NetworkProbe::NetworkProbe(MakeAttempt make_attempt, QObject* parent)
    : QObject(parent), make_attempt_(std::move(make_attempt)) {}

NetworkProbe::~NetworkProbe() = default;

bool NetworkProbe::start() {
    if (busy()) return false;
    ask(true);
    return true;
}

void NetworkProbe::ask(bool first) {
    attempt_ = make_attempt_();
    EchoAttempt* asked = attempt_.get();
    asked->begin(first ? first_probe_address : second_probe_address, probe_data, probe_timeout_ms,
                 [this, first](const EchoAttempt::Outcome& outcome) {
                     reported_ = std::move(attempt_);
                     QTimer::singleShot(0, this, [this] { reported_.reset(); });
                     if (!outcome.error.empty()) {
                         emit failed(QString::fromStdString(outcome.error));
                     } else if (outcome.status == IP_SUCCESS) {
                         emit answered(true);
                     } else if (first) {
                         ask(false);
                     } else {
                         emit answered(false);
                     }
                 });
}

}  // namespace probe
