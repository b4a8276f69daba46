#include "netns.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "echo_helper_client.h"
#include "process_probes.h"

extern char** environ;

namespace kestrun_test {

namespace {

// Only system calls: it also runs in a child between fork and exec.
bool set_loopback_up() {
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

int wait_for(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

std::string echo_helper_of_this_build() {
    return KESTRUN_ECHO_HELPER;
}

std::string enter_new_network_namespace() {
    // Where unprivileged ICMP is off in there, the echo service runs this build's helper.
    probe::set_echo_helper_path(echo_helper_of_this_build());
    if (::unshare(CLONE_NEWNET) == 0) return "";
    return std::string("cannot make a network namespace (") + std::strerror(errno) +
           "); needs root or CAP_SYS_ADMIN";
}

ChildReport in_new_network_namespace(const std::function<void(Findings&)>& body, int seconds) {
    const std::optional<std::string> text = in_child_within(seconds, [&body]() -> std::string {
        const std::string refused = enter_new_network_namespace();
        if (!refused.empty()) return "skip=" + refused + "\n";
        Findings findings;
        try {
            body(findings);
        } catch (const std::exception& error) {
            return findings.text() + "error=" + error.what() + "\n";
        }
        return findings.text() + "done=1\n";
    });
    ChildReport report;
    if (!text) {
        report.failure = "the child process did not finish within " + std::to_string(seconds) +
                         " s and was killed";
        return report;
    }
    static_cast<KeyValues&>(report) = parse_key_values(*text);
    if (report.has("skip")) {
        report.skip = report["skip"];
    } else if (report.has("error")) {
        report.failure = "set-up in the namespace failed: " + report["error"];
    } else if (!report.has("done")) {
        report.failure = "the child process ended before it finished";
    }
    return report;
}

void bring_loopback_up() {
    if (!set_loopback_up()) throw SetupError("cannot bring lo up");
}

void add_loopback_address(const std::string& address) {
    run_setup("ip addr add " + address + "/32 dev lo");
}

void set_ipv4_sysctl(const std::string& name, const std::string& value) {
    std::ofstream file("/proc/sys/net/ipv4/" + name);
    file << value;
    file.close();
    if (!file) throw SetupError("cannot set net.ipv4." + name);
}

void allow_unprivileged_icmp(bool allow) {
    set_ipv4_sysctl("ping_group_range", allow ? "0 2147483647" : "1 0");
}

void silent_addresses_on_loopback(const std::vector<std::string>& addresses) {
    bring_loopback_up();
    for (const std::string& address : addresses) add_loopback_address(address);
    set_ipv4_sysctl("icmp_echo_ignore_all", "1");
}

void run_setup(const std::string& command) {
    std::istringstream text(command);
    std::vector<std::string> words;
    for (std::string word; text >> word;) words.push_back(word);
    if (run_quietly(words) != 0)
        throw SetupError("'" + command + "' failed (is iproute2 installed?)");
}

int run_quietly(const std::vector<std::string>& words) {
    if (words.empty()) return -1;
    std::vector<std::string> copy = words;
    std::vector<char*> argv;
    for (std::string& word : copy) argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int error = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return error == 0 ? wait_for(pid) : -1;
}

int run_in_network_namespace_of(pid_t pid, const std::vector<std::string>& words,
                                bool loopback_up_first) {
    if (words.empty()) return -1;
    const std::string path = "/proc/" + std::to_string(pid) + "/ns/net";
    std::vector<std::string> copy = words;
    std::vector<char*> argv;
    for (std::string& word : copy) argv.push_back(word.data());
    argv.push_back(nullptr);
    const int ns = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (ns < 0) return -1;
    // A child of its own moves into the namespace (this process stays where it is); only
    // system calls between fork and exec.
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setns(ns, CLONE_NEWNET) != 0) ::_exit(125);
        if (loopback_up_first && !set_loopback_up()) ::_exit(124);
        const int null = ::open("/dev/null", O_WRONLY);
        if (null < 0 || ::dup2(null, STDOUT_FILENO) < 0 || ::dup2(null, STDERR_FILENO) < 0)
            ::_exit(126);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(ns);
    return child < 0 ? -1 : wait_for(child);
}

}  // namespace kestrun_test
