// How long one connectivity test takes, next to what starting the system's ping program
// costs for the same answer. Everything happens in a network namespace made for the run,
// with 8.8.8.8 on its loopback device: no packet leaves the machine.
//
//   probe_bench [probe runs] [ping runs]
#include "ping_funcs.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double microseconds_since(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

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

struct Summary {
    double median, p10, p90;
};

Summary summarize(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    const auto at = [&](double q) {
        return samples[static_cast<std::size_t>(q * static_cast<double>(samples.size() - 1))];
    };
    const std::size_t n = samples.size();
    const double median = n % 2 != 0 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2.0;
    return {median, at(0.1), at(0.9)};
}

void print(const char* name, std::size_t runs, const Summary& s) {
    std::printf("%-34s %6zu runs   median %9.1f us   p10 %9.1f us   p90 %9.1f us\n", name, runs,
                s.median, s.p10, s.p90);
}

}  // namespace

int main(int argc, char** argv) {
    const int probe_runs = argc > 1 ? std::atoi(argv[1]) : 500;
    const int ping_runs = argc > 2 ? std::atoi(argv[2]) : 100;
    if (probe_runs < 1 || ping_runs < 1) {
        std::fprintf(stderr, "usage: probe_bench [probe runs] [ping runs]\n");
        return 2;
    }

    if (::unshare(CLONE_NEWNET) != 0) {
        std::fprintf(stderr, "probe_bench: cannot make a network namespace (%s); run as root\n",
                     std::strerror(errno));
        return 1;
    }
    if (!bring_loopback_up() || run({"ip", "addr", "add", "8.8.8.8/32", "dev", "lo"}) != 0) {
        std::fprintf(stderr, "probe_bench: cannot set up loopback (is iproute2 installed?)\n");
        return 1;
    }

    probe::EchoService& service = probe::system_echo_service();
    for (int i = 0; i < 20; ++i) probe::is_network_up(service);  // warm-up
    std::vector<double> probe_times;
    for (int i = 0; i < probe_runs; ++i) {
        const auto start = Clock::now();
        const bool up = probe::is_network_up(service);
        probe_times.push_back(microseconds_since(start));
        if (!up) {
            std::fprintf(stderr, "probe_bench: the probe said no on a loopback 8.8.8.8\n");
            return 1;
        }
    }

    const std::vector<std::string> ping = {"ping", "-c", "1", "-W", "1", "8.8.8.8"};
    for (int i = 0; i < 5; ++i) run(ping);  // warm-up
    std::vector<double> ping_times;
    for (int i = 0; i < ping_runs; ++i) {
        const auto start = Clock::now();
        const int status = run(ping);
        ping_times.push_back(microseconds_since(start));
        if (status != 0) {
            std::fprintf(stderr, "probe_bench: ping failed (exit %d; is iputils-ping installed?)\n",
                         status);
            return 1;
        }
    }

    const Summary probe_summary = summarize(probe_times);
    const Summary ping_summary = summarize(ping_times);
    std::printf("connectivity test, 8.8.8.8 on loopback, private network namespace\n");
    print("is_network_up (in process)", probe_times.size(), probe_summary);
    print("ping -c 1 -W 1 8.8.8.8 (spawned)", ping_times.size(), ping_summary);
    std::printf("ratio of medians (ping / probe): %.1f\n",
                ping_summary.median / probe_summary.median);
    return 0;
}
