// One connectivity test as the window makes it (the asynchronous two-address test), next to
// what starting the system's ping program costs for the same answer. Everything happens in a
// network namespace made for the run, with 8.8.8.8 on its loopback device: no packet leaves the
// machine. Run as root.
//
//   probe_bench [ROWS] [--benchmark_... options]
#include <QCoreApplication>
#include <QEventLoop>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <utility>

#include "bench_table.h"
#include "echo_attempt.h"
#include "echo_helper_protocol.h"
#include "gbench_rows.h"
#include "netns.h"
#include "network_probe.h"

namespace {

// One two-address test as the window makes it: begun, then answered from the event loop.
bool answered_up(probe::NetworkProbe& network) {
    bool up = false;
    QEventLoop loop;
    const auto answered =
        QObject::connect(&network, &probe::NetworkProbe::answered, &loop, [&](bool answer) {
            up = answer;
            loop.quit();
        });
    const auto failed =
        QObject::connect(&network, &probe::NetworkProbe::failed, &loop, [&] { loop.quit(); });
    network.start();
    loop.exec();
    QObject::disconnect(answered);
    QObject::disconnect(failed);
    return up;
}

// Arg 1: unprivileged ICMP open, a datagram socket; arg 0: off, through the echo helper (started
// by the first test, kept after). The helper paces its echoes (a bucket of twelve that gains one
// every 400 ms): each repetition through it first waits, untimed, for a full bucket, then makes
// ten tests.
void BM_NetworkProbe(benchmark::State& state) {
    const bool datagram = state.range(0) == 1;
    kestrun_test::allow_unprivileged_icmp(datagram);
    probe::NetworkProbe network(probe::system_echo_attempt);
    if (!answered_up(network)) {
        state.SkipWithError(datagram ? "no datagram socket here" : "no echo helper here");
        return;
    }
    if (!datagram) {
        using namespace probe::echo_helper;
        std::this_thread::sleep_for(std::chrono::milliseconds(echoes_at_once * echo_refill_ms));
    }
    for (auto _ : state) {
        if (!answered_up(network)) {
            state.SkipWithError("the probe said no on a loopback 8.8.8.8");
            break;
        }
    }
}
BENCHMARK(BM_NetworkProbe)
    ->Arg(1)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->DisplayAggregatesOnly(true);
BENCHMARK(BM_NetworkProbe)
    ->Arg(0)
    ->Iterations(10)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->Repetitions(3)
    ->DisplayAggregatesOnly(true);

void BM_SpawnPing(benchmark::State& state) {
    for (auto _ : state) {
        if (kestrun_test::run_quietly({"ping", "-c", "1", "-W", "1", "8.8.8.8"}) != 0) {
            state.SkipWithError("ping failed (is iputils-ping installed?)");
            break;
        }
    }
}
BENCHMARK(BM_SpawnPing)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->DisplayAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    const std::string rows = argc > 1 ? argv[1] : "";

    const std::string refused = kestrun_test::enter_new_network_namespace();
    if (!refused.empty()) {
        std::fprintf(stderr, "probe_bench: %s; run as root\n", refused.c_str());
        return 1;
    }
    try {
        kestrun_test::bring_loopback_up();
        kestrun_test::add_loopback_address("8.8.8.8");
    } catch (const kestrun_test::SetupError& error) {
        std::fprintf(stderr, "probe_bench: cannot set up loopback: %s\n", error.what());
        return 1;
    }

    bench::MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    if (rows.empty()) return 0;
    const char* datagram = "BM_NetworkProbe/1";
    const char* helper = "BM_NetworkProbe/0";
    if (!reporter.has(datagram) || !reporter.has(helper) || !reporter.has("BM_SpawnPing")) return 1;
    const double ping = reporter.at("BM_SpawnPing").seconds;
    for (const auto& [name, how] :
         {std::pair{datagram, "datagram socket"}, std::pair{helper, "through the echo helper"}}) {
        const double probe = reporter.at(name).seconds;
        bench::append_row(rows, {std::string("Probe: one two-address test as the window makes "
                                             "it, network up, ") +
                                     how + " (8.8.8.8 on loopback in a namespace)",
                                 bench::format_seconds(probe), "spawning ping -c 1 -W 1 8.8.8.8",
                                 bench::format_seconds(ping), bench::format_ratio(probe, ping),
                                 "≥ 20x cheaper", bench::verdict(probe * 20 <= ping)});
    }
    return 0;
}
