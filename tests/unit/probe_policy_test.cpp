// When the program asks whether the network is up: ticks, bursts after changes, the bucket that
// bounds a storm, a tick joining a running test, and which test reports its error. The clock is
// the test's, so every step is exact; the echoes are scripted.
#include "probe_policy.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <functional>
#include <memory>

#include "echo_attempt.h"
#include "event_loop.h"
#include "fake_echo.h"

namespace {

// Moves only when the test says; remembers the one wake-up asked for.
struct TestClock final : probe::ProbePolicy::Clock {
    qint64& now;
    qint64& due;
    std::function<void()>& wake;
    TestClock(qint64& n, qint64& d, std::function<void()>& w) : now(n), due(d), wake(w) {}
    qint64 now_ms() const override { return now; }
    void wake_in(qint64 delay_ms, std::function<void()> w) override {
        due = now + delay_ms;
        wake = std::move(w);
    }
    void cancel() override { due = -1; }
};

class ProbePolicyTest : public ::testing::Test {
  protected:
    ProbePolicyTest()
        : app((kestrun_test::event_loop_application(), true)),
          policy([this] { return probe::blocking_echo_attempt(echo); }, [this] { return waiting; },
                 std::make_unique<TestClock>(now, due, wake)) {
        QObject::connect(&policy, &probe::ProbePolicy::network_up, [this] { ++launches; });
        QObject::connect(&policy, &probe::ProbePolicy::failed,
                         [this](const QString& message) { errors.push_back(message); });
    }

    // Lets a running test answer (the attempts report from the event loop).
    void settle() {
        for (int turns = 0; turns < 100 && policy.probing(); ++turns)
            QCoreApplication::processEvents();
    }

    // Moves the clock on to `ms`, waking the policy whenever a wake-up comes due.
    void run_until(qint64 ms) {
        while (due >= 0 && due <= ms) {
            now = due;
            due = -1;
            wake();
            settle();
        }
        now = ms;
    }

    // Tests made so far: each asks both addresses when neither answers.
    std::size_t tests() const { return echo.destinations.size() / 2; }

    bool app;
    kestrun_test::FakeEcho echo;
    bool waiting = true;
    qint64 now = 0;
    qint64 due = -1;
    std::function<void()> wake;
    probe::ProbePolicy policy;
    int launches = 0;
    QStringList errors;
};

TEST_F(ProbePolicyTest, AChangeStartsABurstThatEndsAfterFourSecondsOrAtTheAnswer) {
    policy.network_changed();
    settle();
    EXPECT_EQ(tests(), 1u);
    run_until(249);
    EXPECT_EQ(tests(), 1u);
    run_until(250);
    EXPECT_EQ(tests(), 2u);
    run_until(1000);
    EXPECT_EQ(tests(), 3u);
    run_until(2000);
    EXPECT_EQ(tests(), 4u);
    run_until(4000);
    EXPECT_EQ(tests(), 5u);
    EXPECT_EQ(due, -1);  // over
    run_until(60000);
    EXPECT_EQ(tests(), 5u);
    EXPECT_EQ(launches, 0);

    // The next burst's second test answers on its second address: the list starts, the burst
    // ends there.
    echo.statuses = {probe::IP_REQ_TIMED_OUT, probe::IP_REQ_TIMED_OUT, probe::IP_REQ_TIMED_OUT,
                     probe::IP_SUCCESS};
    policy.network_changed();
    settle();
    run_until(now + 250);
    EXPECT_EQ(launches, 1);
    EXPECT_EQ(due, -1);
}

TEST_F(ProbePolicyTest, AStormCostsAboutATestASecond) {
    // A change every millisecond for 3 s: the bucket gives five tests at once and one a second.
    for (qint64 t = 0; t < 3000; ++t) {
        run_until(t);
        policy.network_changed();
        settle();
    }
    EXPECT_GE(tests(), 5u + 2u);
    EXPECT_LE(tests(), 5u + 3u);
    // Quiet again: the last change's burst goes on as one.
    const std::size_t storm = tests();
    run_until(3000 + 10000);
    EXPECT_LE(tests() - storm, 5u);
}

TEST_F(ProbePolicyTest, ATickJoinsARunningTestAndOnlyATicksTestReportsItsError) {
    // Network down: the change's test and the tick that comes while it runs are one test.
    policy.network_changed();
    policy.tick();
    settle();
    EXPECT_EQ(echo.destinations.size(), 2u);

    // No echo service: a change's test says nothing; the tick's, or one a tick joined, does.
    run_until(10000);
    echo.fail_create = true;
    policy.network_changed();
    settle();
    EXPECT_TRUE(errors.isEmpty());
    policy.tick();
    settle();
    run_until(20000);
    policy.network_changed();
    policy.tick();
    settle();
    ASSERT_EQ(errors.size(), 2);
    EXPECT_EQ(errors[0], "Function call IcmpCreateFile failed.");
}

TEST_F(ProbePolicyTest, NothingIsAskedOrStartedWhileTheProgramDoesNotWait) {
    waiting = false;
    policy.tick();
    policy.network_changed();
    settle();
    run_until(10000);
    EXPECT_TRUE(echo.destinations.empty());

    // An answer that comes after the program stopped waiting starts nothing, and the burst ends.
    waiting = true;
    echo.statuses = {probe::IP_SUCCESS};
    policy.network_changed();
    ASSERT_TRUE(policy.probing());
    waiting = false;
    settle();
    run_until(20000);
    EXPECT_EQ(echo.destinations.size(), 1u);
    EXPECT_EQ(launches, 0);
    EXPECT_EQ(due, -1);
}

}  // namespace
