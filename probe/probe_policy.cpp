#include "probe_policy.h"

#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <iterator>

namespace probe {

namespace {

class SystemClock final : public ProbePolicy::Clock {
  public:
    SystemClock() {
        since_.start();
        timer_.setSingleShot(true);
        timer_.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            if (wake_) wake_();
        });
    }
    qint64 now_ms() const override { return since_.elapsed(); }
    void wake_in(qint64 delay_ms, std::function<void()> wake) override {
        wake_ = std::move(wake);
        timer_.start(int(std::max<qint64>(delay_ms, 0)));
    }
    void cancel() override { timer_.stop(); }

  private:
    QElapsedTimer since_;
    QTimer timer_;
    std::function<void()> wake_;
};

}  // namespace

ProbePolicy::ProbePolicy(NetworkProbe::MakeAttempt make_attempt, std::function<bool()> waiting,
                         std::unique_ptr<Clock> clock, QObject* parent)
    : QObject(parent),
      waiting_(std::move(waiting)),
      clock_(clock ? std::move(clock) : std::make_unique<SystemClock>()),
      probe_(std::move(make_attempt)) {
    connect(&probe_, &NetworkProbe::answered, this, &ProbePolicy::answered);
    connect(&probe_, &NetworkProbe::failed, this, &ProbePolicy::test_failed);
}

ProbePolicy::~ProbePolicy() = default;

void ProbePolicy::tick() {
    if (waiting_()) start_test(true);
}

void ProbePolicy::network_changed() {
    // A change while the program does not wait is not remembered.
    if (!waiting_()) return;
    burst_since_ms_ = clock_->now_ms();
    burst_step_ = 0;
    burst_step();
}

void ProbePolicy::start_test(bool for_tick) {
    if (probe_.busy()) {
        // The running test answers for the tick too, errors included.
        test_for_tick_ = test_for_tick_ || for_tick;
        return;
    }
    test_for_tick_ = for_tick;
    probe_.start();
}

void ProbePolicy::answered(bool up) {
    if (up && waiting_()) {
        burst_step_ = -1;
        clock_->cancel();
        emit network_up();
        return;
    }
    burst_step();  // a step that came due while this test ran
}

void ProbePolicy::test_failed(const QString& message) {
    burst_step();
    if (test_for_tick_) emit failed(message);
}

bool ProbePolicy::take_burst_test() {
    const qint64 now = clock_->now_ms();
    if (bucket_refilled_ms_ >= 0) {
        burst_tests_ = std::min(burst_tests_at_once,
                                burst_tests_ + double(now - bucket_refilled_ms_) / burst_refill_ms);
    }
    bucket_refilled_ms_ = now;
    if (burst_tests_ < 1) return false;
    burst_tests_ -= 1;
    return true;
}

void ProbePolicy::burst_step() {
    if (burst_step_ < 0) return;
    if (!waiting_()) {
        burst_step_ = -1;
        clock_->cancel();
        return;
    }
    constexpr int steps = int(std::size(burst_offsets_ms));
    const qint64 since = clock_->now_ms() - burst_since_ms_;
    const auto wake = [this] { burst_step(); };
    if (since >= burst_offsets_ms[burst_step_]) {
        if (probe_.busy()) return;  // its answer comes back here
        if (!take_burst_test()) {
            clock_->wake_in(qint64(burst_refill_ms * (1 - burst_tests_)) + 1, wake);
            return;
        }
        start_test(false);
        while (burst_step_ < steps && burst_offsets_ms[burst_step_] <= since) ++burst_step_;
        if (burst_step_ == steps) {
            burst_step_ = -1;
            return;
        }
    }
    clock_->wake_in(burst_offsets_ms[burst_step_] - since, wake);
}

}  // namespace probe
