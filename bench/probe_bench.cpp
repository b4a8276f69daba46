// One connectivity test, next to what starting the system's ping program costs for the same
// answer. Everything happens in a network namespace made for the run, with 8.8.8.8 on its
// loopback device: no packet leaves the machine. Run as root.
//
//   probe_bench [ROWS] [--benchmark_... options]
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench_table.h"
#include "gbench_rows.h"
#include "ping_funcs.h"

extern char** environ;

namespace {

bool bring_loopback_up() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    if (ok) {
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
        ok = ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    }
    ::close(fd);
    return ok;
}

// Runs a program quietly and returns its exit status, or -1.
int run(std::vector<std::string> words) {
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int error = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) return -1;
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

void BM_IsNetworkUp(benchmark::State& state) {
    probe::EchoService& service = probe::system_echo_service();
    for (auto _ : state) {
        if (!probe::is_network_up(service)) {
            state.SkipWithError("the probe said no on a loopback 8.8.8.8");
            break;
        }
    }
}
BENCHMARK(BM_IsNetworkUp)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->DisplayAggregatesOnly(true);

void BM_SpawnPing(benchmark::State& state) {
    for (auto _ : state) {
        if (run({"ping", "-c", "1", "-W", "1", "8.8.8.8"}) != 0) {
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
    benchmark::Initialize(&argc, argv);
    const std::string rows = argc > 1 ? argv[1] : "";

    if (::unshare(CLONE_NEWNET) != 0) {
        std::fprintf(stderr, "probe_bench: cannot make a network namespace (%s); run as root\n",
                     std::strerror(errno));
        return 1;
    }
    if (!bring_loopback_up() || run({"ip", "addr", "add", "8.8.8.8/32", "dev", "lo"}) != 0) {
        std::fprintf(stderr, "probe_bench: cannot set up loopback (is iproute2 installed?)\n");
        return 1;
    }

    bench::MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    if (rows.empty()) return 0;
    if (!reporter.has("BM_IsNetworkUp") || !reporter.has("BM_SpawnPing")) return 1;
    const double probe = reporter.at("BM_IsNetworkUp").seconds;
    const double ping = reporter.at("BM_SpawnPing").seconds;
    bench::append_row(
        rows, {"Probe: one IsNetworkUp, network up (8.8.8.8 on loopback in a namespace)",
               bench::format_seconds(probe), "spawning ping -c 1 -W 1 8.8.8.8",
               bench::format_seconds(ping), bench::format_ratio(probe, ping), "≥ 20x cheaper",
               bench::verdict(probe * 20 <= ping)});
    return 0;
}
