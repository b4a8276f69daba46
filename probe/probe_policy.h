#pragma once
// When the program asks whether the network is up: at each tick of the 5 s timer, and in a short
// burst after the system says the network changed. One two-address test at a time; a tick that
// comes while one runs joins it. Bursts draw on a small bucket, so that a storm of changes costs
// about one test a second. Only a test a tick asked for reports its error: a burst's test meets
// the same error at the next tick. An answer counts only if the program still waits when it
// comes.

#include <QObject>
#include <QString>
#include <functional>
#include <memory>

#include "network_probe.h"

namespace probe {

class ProbePolicy : public QObject {
    Q_OBJECT

  public:
    // The policy's time: now, and one wake-up at a time. The program's is the monotonic clock
    // and a precise timer; a test's moves when the test says.
    class Clock {
      public:
        virtual ~Clock() = default;
        virtual qint64 now_ms() const = 0;
        // Calls `wake` once, `delay_ms` from now; replaces a wake-up not due yet.
        virtual void wake_in(qint64 delay_ms, std::function<void()> wake) = 0;
        virtual void cancel() = 0;
    };

    // `waiting` says whether the program still waits for the network (the main window hidden,
    // the switch on). Without a clock, the system's.
    ProbePolicy(NetworkProbe::MakeAttempt make_attempt, std::function<bool()> waiting,
                std::unique_ptr<Clock> clock = nullptr, QObject* parent = nullptr);
    ~ProbePolicy() override;

    // The timer ticked: a test, unless the program is not waiting.
    void tick();
    // The system says the network changed: a burst of tests, unless the program is not waiting
    // (then the change is forgotten).
    void network_changed();

    bool probing() const { return probe_.busy(); }

    // After a change the route often exists a moment before the upstream answers: a burst of
    // tests at these times after the latest change.
    static constexpr qint64 burst_offsets_ms[] = {0, 250, 1000, 2000, 4000};
    // The bucket the bursts' tests draw on: this many at once, one more each refill period.
    static constexpr double burst_tests_at_once = 5;
    static constexpr qint64 burst_refill_ms = 1000;

  signals:
    // A test answered "up" while the program still waits: start the list.
    void network_up();
    // A test the tick asked for could not be made: the probe's error message.
    void failed(const QString& message);

  private:
    void start_test(bool for_tick);
    void answered(bool up);
    void test_failed(const QString& message);
    void burst_step();
    bool take_burst_test();

    std::function<bool()> waiting_;
    std::unique_ptr<Clock> clock_;
    NetworkProbe probe_;
    bool test_for_tick_ = false;  // the running test reports its error
    // The burst after the latest change: when it began and its next step (-1: none).
    qint64 burst_since_ms_ = 0;
    int burst_step_ = -1;
    // The bucket, and when it was last topped up (-1: full, never drawn on).
    double burst_tests_ = burst_tests_at_once;
    qint64 bucket_refilled_ms_ = -1;
};

}  // namespace probe
