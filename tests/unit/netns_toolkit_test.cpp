// The namespace runner itself (tests/support/netns.h): what it reports when a child fails or
// hangs, and that a command run in another process's namespace changes that one only.
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "cannot_run.h"
#include "netns.h"

namespace {

using kestrun_test::ChildReport;
using kestrun_test::Findings;
using kestrun_test::in_new_network_namespace;

TEST(NamespaceRunner, ReportsFindingsSetUpFailuresAndHungChildren) {
    const ChildReport found = in_new_network_namespace([](Findings& f) {
        f.set("answer", 42);
        f.set("text", "a=b");
    });
    if (!found.skip.empty()) SKIP_OR_FAIL_IN_CI(found.skip);
    EXPECT_EQ(found.failure, "");
    EXPECT_EQ(found.number("answer"), 42);
    EXPECT_EQ(found["text"], "a=b");  // split at the first '='
    EXPECT_TRUE(std::isnan(found.number("text")));
    EXPECT_EQ(found["missing"], "(not reported)");

    const ChildReport failed = in_new_network_namespace([](Findings& f) {
        f.set("before", 1);
        throw kestrun_test::SetupError("cannot set net.ipv4.nothing");
    });
    EXPECT_EQ(failed.failure, "set-up in the namespace failed: cannot set net.ipv4.nothing");
    EXPECT_EQ(failed["before"], "1");

    const ChildReport hung = in_new_network_namespace(
        [](Findings&) { std::this_thread::sleep_for(std::chrono::seconds(30)); }, 1);
    EXPECT_NE(hung.failure.find("did not finish within 1 s"), std::string::npos) << hung.failure;

    const ChildReport died = in_new_network_namespace([](Findings&) { ::_exit(3); });
    EXPECT_EQ(died.failure, "the child process ended before it finished");
}

TEST(NamespaceRunner, CommandsInAnotherProcesssNamespaceStayThere) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t holder = ::fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        const char made = ::unshare(CLONE_NEWNET) == 0 ? 'y' : 'n';
        if (::write(ready[1], &made, 1) != 1) ::_exit(1);
        ::pause();
        ::_exit(0);
    }
    ::close(ready[1]);
    char made = 'n';
    const bool told = ::read(ready[0], &made, 1) == 1;
    ::close(ready[0]);
    const auto stop_holder = [holder] {
        ::kill(holder, SIGKILL);
        ::waitpid(holder, nullptr, 0);
    };
    if (!told || made != 'y') {
        stop_holder();
        SKIP_OR_FAIL_IN_CI("cannot make a network namespace; needs root or CAP_SYS_ADMIN");
    }
    const std::vector<std::string> add = {"ip", "addr", "add", "192.0.2.77/32", "dev", "lo"};
    const int first = kestrun_test::run_in_network_namespace_of(holder, add, true);
    const int again = kestrun_test::run_in_network_namespace_of(holder, add, true);
    const int up = kestrun_test::run_in_network_namespace_of(
        holder, {"sh", "-c", "ip -o link show dev lo | grep -q LOOPBACK,UP"});
    const int here =
        kestrun_test::run_quietly({"sh", "-c", "ip -o addr show dev lo | grep -q 192.0.2.77"});
    stop_holder();
    EXPECT_EQ(first, 0) << "is iproute2 installed?";
    EXPECT_NE(again, 0) << "the address was not there after the first";
    EXPECT_EQ(up, 0) << "loopback was not brought up";
    EXPECT_NE(here, 0) << "the address landed in this process's own namespace";
    EXPECT_EQ(kestrun_test::run_in_network_namespace_of(holder, {"true"}), -1) << "ended holder";
    EXPECT_EQ(kestrun_test::run_quietly({"/nonexistent/program"}), -1);
}

}  // namespace
