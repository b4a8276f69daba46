#pragma once
// The two-address test without blocking: one echo to the first probe address and, only when it
// brings no successful reply, one to the second; the answer comes as a signal. One test at a
// time.

#include <QObject>
#include <QString>
#include <functional>
#include <memory>

#include "echo_attempt.h"

namespace probe {

class NetworkProbe : public QObject {
    Q_OBJECT

  public:
    using MakeAttempt = std::function<std::unique_ptr<EchoAttempt>()>;

    explicit NetworkProbe(MakeAttempt make_attempt, QObject* parent = nullptr);
    ~NetworkProbe() override;

    bool busy() const { return attempt_ != nullptr; }
    // Begins the test; false (and nothing happens) while one is running.
    bool start();

  signals:
    // The test's answer: true when the first address, or failing that the second, answered.
    void answered(bool up);
    // The test could not be made: the probe's error message.
    void failed(const QString& message);

  private:
    void ask(bool first);

    MakeAttempt make_attempt_;
    std::unique_ptr<EchoAttempt> attempt_;
    // An attempt that has reported: destroyed from the event loop, not inside its report.
    std::unique_ptr<EchoAttempt> reported_;
};

}  // namespace probe
