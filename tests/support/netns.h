#pragma once
// Network namespaces of our own, for the tests and benchmarks that send ICMP (Linux). A new
// namespace holds only a loopback device, down, and no route: nothing sent in it can leave the
// machine, and whatever answers there is what the test set up.

#include <sys/types.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "key_values.h"

namespace kestrun_test {

// A set-up step that failed inside a namespace.
struct SetupError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The echo helper built beside the tests; a process that enters a namespace here uses it.
std::string echo_helper_of_this_build();

// Moves this process into a new network namespace; call it before any other thread starts
// (it moves the calling thread only). "" when it did, else why not.
std::string enter_new_network_namespace();

struct ChildReport : KeyValues {
    std::string skip;     // no namespace could be made here, and why
    std::string failure;  // set-up failed, or the child did not finish
};

// Runs `body` in a child process that first moves into a new network namespace, and returns
// what it found. A child still running after `seconds` is killed (a hung exchange must not
// hang the suite).
ChildReport in_new_network_namespace(const std::function<void(Findings&)>& body, int seconds = 30);

// Set-up inside a namespace of our own; each throws SetupError.
void bring_loopback_up();
void add_loopback_address(const std::string& address);                    // as a /32
void set_ipv4_sysctl(const std::string& name, const std::string& value);  // net.ipv4.<name>
// Datagram ICMP sockets for everyone, or for no one (the machine's own setting).
void allow_unprivileged_icmp(bool allow);
// Loopback up with `addresses` on it, none of which answers echo requests (the kernel's
// replies are off): only a forger (icmp_packets.h) can answer.
void silent_addresses_on_loopback(const std::vector<std::string>& addresses);
// A command of plain words separated by spaces, e.g. "ip route add unreachable 10.99.0.1".
void run_setup(const std::string& command);

// Runs a program found on PATH, its output thrown away; its exit status, or -1.
int run_quietly(const std::vector<std::string>& words);

// run_quietly inside the network namespace of process `pid`, its loopback brought up first
// with `loopback_up_first`; the exit status (not 0 either when the namespace could not be
// entered or its loopback brought up).
int run_in_network_namespace_of(pid_t pid, const std::vector<std::string>& words,
                                bool loopback_up_first = false);

}  // namespace kestrun_test
