// The probe the window waits on without blocking, and the watch of network changes, live in
// network namespaces of their own (as probe_netns_test): each case runs in a child process with
// an event loop of its own.
#include "network_probe.h"
#include "network_watch.h"
#include "route_messages.h"

#if defined(__linux__)

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "cannot_run.h"
#include "echo_helper_client.h"
#include "netns.h"

namespace {

using kestrun_test::Findings;

// The child's event loop.
QCoreApplication& application() {
    static int argc = 1;
    static char name[] = "network_probe_test";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

// One two-address test on the system's attempts, with a 10 ms heartbeat beside it: how the
// loop fared while the test waited.
struct ProbeRun {
    std::string outcome = "(no answer in 10 s)";  // "up", "down" or the error
    long long elapsed_ms = 0;
    int heartbeats = 0;
};

// `meanwhile`, when given, runs 100 ms into the test.
ProbeRun run_probe(const std::function<void()>& meanwhile = {}) {
    application();
    ProbeRun run;
    probe::NetworkProbe network(probe::system_echo_attempt);
    QEventLoop loop;
    QObject::connect(&network, &probe::NetworkProbe::answered, &loop, [&](bool up) {
        run.outcome = up ? "up" : "down";
        loop.quit();
    });
    QObject::connect(&network, &probe::NetworkProbe::failed, &loop, [&](const QString& message) {
        run.outcome = message.toStdString();
        loop.quit();
    });
    QTimer heartbeat;
    QObject::connect(&heartbeat, &QTimer::timeout, [&] { ++run.heartbeats; });
    heartbeat.start(10);
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    QElapsedTimer clock;
    clock.start();
    if (meanwhile) QTimer::singleShot(100, meanwhile);
    network.start();
    const bool second_start = network.start();  // one test at a time
    loop.exec();
    run.elapsed_ms = clock.elapsed();
    if (second_start) run.outcome += " (and a second test started)";
    return run;
}

void report(Findings& f, const std::string& prefix, const ProbeRun& run) {
    f.set(prefix + "outcome", run.outcome);
    f.set(prefix + "elapsed_ms", run.elapsed_ms);
    f.set(prefix + "heartbeats", run.heartbeats);
}

TEST(NetworkProbeTest, AnswersAsTheTwoAddressTestWithoutBlockingTheLoop) {
    for (const bool datagram : {true, false}) {
        SCOPED_TRACE(datagram ? "datagram ICMP socket" : "through the echo helper");
        RUN_IN_NAMESPACE(r, [datagram](Findings& f) {
            kestrun_test::allow_unprivileged_icmp(datagram);
            kestrun_test::bring_loopback_up();
            kestrun_test::add_loopback_address("1.1.1.1");
            report(f, "second_", run_probe());
            kestrun_test::add_loopback_address("8.8.8.8");
            report(f, "first_", run_probe());
            kestrun_test::set_ipv4_sysctl("icmp_echo_ignore_all", "1");
            report(f, "silent_", run_probe());
            f.set("helper_ran", probe::EchoHelperClient::shared().pid() > 0);
        });
        EXPECT_EQ(r["first_outcome"], "up");
        EXPECT_EQ(r["second_outcome"], "up");
        EXPECT_LT(r.number("first_elapsed_ms"), 250);
        // Neither answers: two timeouts of 500 ms, all the while the loop turned.
        EXPECT_EQ(r["silent_outcome"], "down");
        EXPECT_GE(r.number("silent_elapsed_ms"), 999);
        EXPECT_LT(r.number("silent_elapsed_ms"), 5000);
        EXPECT_GE(r.number("silent_heartbeats"), r.number("silent_elapsed_ms") / 10 / 2);
        EXPECT_EQ(r["helper_ran"], datagram ? "0" : "1");
    }
}

// A helper that stops answering is replaced without the loop noticing; one that goes away while
// it makes an exchange costs nothing: a fresh one makes it again.
TEST(NetworkProbeTest, AHungOrKilledHelperIsReplaced) {
    RUN_IN_NAMESPACE(r, [](Findings& f) {
        kestrun_test::allow_unprivileged_icmp(false);
        kestrun_test::bring_loopback_up();
        kestrun_test::add_loopback_address("8.8.8.8");
        probe::EchoHelperClient& helper = probe::EchoHelperClient::shared();
        report(f, "first_", run_probe());
        const pid_t stopped = helper.pid();
        ::kill(stopped, SIGSTOP);
        report(f, "stopped_", run_probe());
        f.set("stopped_reaped", ::kill(stopped, 0) != 0 && errno == ESRCH);
        report(f, "next_", run_probe());
        f.set("fresh_helper", helper.pid() > 0 && helper.pid() != stopped);

        // 8.8.8.8 silent while the request is in flight; the helper killed then, and 8.8.8.8
        // answering from then on.
        kestrun_test::set_ipv4_sysctl("icmp_echo_ignore_all", "1");
        const pid_t killed = helper.pid();
        report(f, "killed_", run_probe([killed] {
                   kestrun_test::set_ipv4_sysctl("icmp_echo_ignore_all", "0");
                   ::kill(killed, SIGKILL);
               }));
        f.set("killed_replaced", helper.pid() > 0 && helper.pid() != killed);
    });
    EXPECT_EQ(r["first_outcome"], "up");
    // The first address waits out the helper's time (500 ms and the grace), the second
    // (unreachable here) goes to a fresh helper; the loop turned all the while.
    EXPECT_EQ(r["stopped_outcome"], "down");
    EXPECT_GE(r.number("stopped_elapsed_ms"), 1499);
    EXPECT_LT(r.number("stopped_elapsed_ms"), 4000);
    EXPECT_GE(r.number("stopped_heartbeats"), r.number("stopped_elapsed_ms") / 10 / 2);
    EXPECT_EQ(r["stopped_reaped"], "1");
    EXPECT_EQ(r["next_outcome"], "up");
    EXPECT_EQ(r["fresh_helper"], "1");
    // Asked again, the first address answers: well before its 500 ms ran out.
    EXPECT_EQ(r["killed_outcome"], "up");
    EXPECT_LT(r.number("killed_elapsed_ms"), 500);
    EXPECT_EQ(r["killed_replaced"], "1");
}

TEST(NetworkProbeTest, AHelperThatCannotServeIsTheCreateError) {
    RUN_IN_NAMESPACE(r, [](Findings& f) {
        kestrun_test::allow_unprivileged_icmp(false);
        kestrun_test::add_loopback_address("8.8.8.8");
        probe::set_echo_helper_path("/nonexistent/kestrun-echo-helper");
        report(f, "missing_", run_probe());
        probe::set_echo_helper_path(kestrun_test::echo_helper_of_this_build());
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            throw kestrun_test::SetupError("cannot drop root");
        report(f, "no_capability_", run_probe());
    });
    EXPECT_EQ(r["missing_outcome"], "Function call IcmpCreateFile failed.");
    EXPECT_EQ(r["no_capability_outcome"], "Function call IcmpCreateFile failed.");
}

// --- the watch ---------------------------------------------------------------------------

// Runs `command` and counts the watch's signals until the loop has been quiet for 200 ms.
int signals_after(probe::NetworkWatch& watch, const std::function<void()>& command) {
    int count = 0;
    const QMetaObject::Connection counting =
        QObject::connect(&watch, &probe::NetworkWatch::changed, [&] { ++count; });
    command();
    QElapsedTimer quiet;
    quiet.start();
    for (int seen = count; quiet.elapsed() < 200;) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        if (count != seen) {
            seen = count;
            quiet.restart();
        }
    }
    QObject::disconnect(counting);
    return count;
}

// An rtnetlink message of `type` (an address message), sent by a process to the address group.
void send_from_user_space(std::uint16_t type) {
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    struct {
        nlmsghdr header;
        ifaddrmsg address;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = type;
    message.address.ifa_family = AF_INET;
    sockaddr_nl to{};
    to.nl_family = AF_NETLINK;
    to.nl_groups = RTMGRP_IPV4_IFADDR;
    if (fd < 0 || ::sendto(fd, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&to),
                           sizeof to) != sizeof message)
        throw kestrun_test::SetupError("cannot send to the address group");
    ::close(fd);
}

TEST(NetworkWatchTest, SignalsNewLinksAddressesAndRoutesOnlyFromTheKernel) {
    RUN_IN_NAMESPACE(r, [](Findings& f) {
        application();
        const auto watch = probe::system_network_watch();
        using kestrun_test::run_setup;
        f.set("link_up", signals_after(*watch, [] { run_setup("ip link set lo up"); }));
        f.set("address", signals_after(*watch, [] { run_setup("ip addr add 8.8.8.8/32 dev lo"); }));
        f.set("route", signals_after(*watch, [] { run_setup("ip route add 10.9.0.0/16 dev lo"); }));
        f.set("deleted", signals_after(*watch, [] {
                  run_setup("ip route del 10.9.0.0/16 dev lo");
                  run_setup("ip addr del 8.8.8.8/32 dev lo");
              }));
        f.set("user_space", signals_after(*watch, [] { send_from_user_space(RTM_NEWADDR); }));
        // A storm while the loop is busy elsewhere: the queue overflows, and the watch still
        // says, once or a few times, that something changed.
        f.set("storm", signals_after(*watch, [] {
                  std::string batch;
                  for (int i = 0; i < 2000; ++i)
                      batch += "addr add 10.77." + std::to_string(i / 250) + "." +
                               std::to_string(i % 250 + 1) + "/32 dev lo\n";
                  const std::string file = "/tmp/kestrun-storm-" + std::to_string(::getpid());
                  FILE* out = std::fopen(file.c_str(), "w");
                  std::fputs(batch.c_str(), out);
                  std::fclose(out);
                  run_setup("ip -batch " + file);
                  ::unlink(file.c_str());
              }));
    });
    EXPECT_GE(r.number("link_up"), 1);
    EXPECT_GE(r.number("address"), 1);
    EXPECT_GE(r.number("route"), 1);
    EXPECT_EQ(r["deleted"], "0");
    EXPECT_EQ(r["user_space"], "0");
    EXPECT_GE(r.number("storm"), 1);
    EXPECT_LE(r.number("storm"), 40);
}

// --- reading rtnetlink messages ----------------------------------------------------------

using Bytes = std::vector<std::uint8_t>;

template <typename Body>
Bytes message(std::uint16_t type, const Body& body, const Bytes& attributes = {}) {
    Bytes m(NLMSG_HDRLEN + NLMSG_ALIGN(sizeof body));
    std::memcpy(m.data() + NLMSG_HDRLEN, &body, sizeof body);
    m.insert(m.end(), attributes.begin(), attributes.end());
    nlmsghdr header{};
    header.nlmsg_len = static_cast<std::uint32_t>(m.size());
    header.nlmsg_type = type;
    std::memcpy(m.data(), &header, sizeof header);
    return m;
}

Bytes attribute(std::uint16_t type) {
    Bytes a(RTA_LENGTH(4));
    const rtattr header{static_cast<unsigned short>(a.size()), type};
    std::memcpy(a.data(), &header, sizeof header);
    return a;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bool announces(const Bytes& datagram) {
    return probe::announces_network_change(datagram.data(), datagram.size());
}

TEST(RouteMessagesTest, NewThingsAreChangesDeletionsAndWirelessEventsAreNot) {
    const ifaddrmsg address{};
    const ifinfomsg link{};
    const rtmsg route{};
    EXPECT_TRUE(announces(message(RTM_NEWADDR, address)));
    EXPECT_TRUE(announces(message(RTM_NEWROUTE, route)));
    EXPECT_TRUE(announces(message(RTM_NEWLINK, link, attribute(IFLA_IFNAME))));
    EXPECT_FALSE(announces(message(RTM_DELADDR, address)));
    EXPECT_FALSE(announces(message(RTM_DELROUTE, route)));
    EXPECT_FALSE(announces(message(RTM_DELLINK, link)));
    EXPECT_FALSE(
        announces(message(RTM_NEWLINK, link, attribute(IFLA_IFNAME) + attribute(IFLA_WIRELESS))));
    // Several in one datagram: one new thing among deletions is enough.
    EXPECT_TRUE(announces(message(RTM_DELADDR, address) + message(RTM_NEWADDR, address)));
    EXPECT_FALSE(announces(message(RTM_DELADDR, address) + message(RTM_DELROUTE, route)));
}

TEST(RouteMessagesTest, MalformedDatagramsAreNoChange) {
    const Bytes good = message(RTM_NEWADDR, ifaddrmsg{});
    EXPECT_FALSE(announces(Bytes(good.begin(), good.end() - 1)));  // shorter than it says
    Bytes zero_length = good;
    std::memset(zero_length.data(), 0, 4);
    EXPECT_FALSE(announces(zero_length));
    EXPECT_FALSE(announces(Bytes(8, 0xFF)));
    EXPECT_FALSE(announces(Bytes()));
    // A link message too short for its record, and one whose attribute runs past its end.
    EXPECT_FALSE(announces(message(RTM_NEWLINK, std::uint16_t{0})));
    Bytes runaway = message(RTM_NEWLINK, ifinfomsg{}, attribute(IFLA_WIRELESS));
    runaway[runaway.size() - 8] = 200;
    EXPECT_TRUE(announces(runaway));  // the record is whole; the bad attribute is passed over
}

}  // namespace

#endif  // __linux__
