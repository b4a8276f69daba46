// The probe the window waits on without blocking, and the watch of network changes, live in
// network namespaces of their own (as probe_netns_test): each case runs in a child process with
// an event loop of its own.
#include "network_probe.h"
#include "network_watch.h"
#include "route_messages.h"

#if defined(__linux__)

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
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
#include "event_loop.h"
#include "netns.h"

namespace {

using kestrun_test::Findings;

// One two-address test on the system's attempts, with a 10 ms heartbeat beside it: how the
// loop fared while the test waited.
struct ProbeRun {
    std::string outcome = "(no answer in 10 s)";  // "up", "down" or the error
    long long elapsed_ms = 0;
    int heartbeats = 0;
};

// `meanwhile`, when given, runs 100 ms into the test.
ProbeRun run_probe(const std::function<void()>& meanwhile = {}) {
    kestrun_test::event_loop_application();
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

// Runs the lines through `ip -batch` (many changes at once, or one message too long for a
// command line).
void run_batch(const std::string& lines) {
    const std::string file = "/tmp/kestrun-batch-" + std::to_string(::getpid());
    FILE* out = std::fopen(file.c_str(), "w");
    if (out == nullptr) throw kestrun_test::SetupError("cannot write " + file);
    std::fputs(lines.c_str(), out);
    std::fclose(out);
    kestrun_test::run_setup("ip -batch " + file);
    ::unlink(file.c_str());
}

TEST(NetworkWatchTest, SignalsWhatCanBringIpv4ConnectivityOnlyFromTheKernel) {
    RUN_IN_NAMESPACE(r, [](Findings& f) {
        kestrun_test::event_loop_application();
        const auto watch = probe::system_network_watch();
        using kestrun_test::run_setup;
        f.set("link_up", signals_after(*watch, [] { run_setup("ip link set lo up"); }));
        f.set("address", signals_after(*watch, [] { run_setup("ip addr add 8.8.8.8/32 dev lo"); }));
        f.set("route", signals_after(*watch, [] { run_setup("ip route add 10.9.0.0/16 dev lo"); }));
        // A veth pair rises when both ends are up, and goes down with either.
        f.set("veth_up", signals_after(*watch, [] {
                  run_setup("ip link add v0 type veth peer name w0");
                  run_setup("ip link set w0 up");
                  run_setup("ip link set v0 up");
              }));
        f.set("noise", signals_after(*watch, [] {
                  run_setup("ip -6 addr add fd00::1/128 dev lo");
                  run_setup("ip route add 10.8.0.0/16 dev lo table 100");
                  run_setup("ip route add blackhole 10.7.0.0/16");
                  run_setup("ip route add unreachable 10.6.0.0/16");
                  run_setup("ip link set v0 down");
                  run_setup("ip link set lo mtu 1500");  // a running link changes
              }));
        f.set("deleted", signals_after(*watch, [] {
                  run_setup("ip route del 10.9.0.0/16 dev lo");
                  run_setup("ip addr del 8.8.8.8/32 dev lo");
                  run_setup("ip link del v0");
              }));
        f.set("user_space", signals_after(*watch, [] { send_from_user_space(RTM_NEWADDR); }));
        // Links with 160 long names each: the messages of their rise are over 16 KB, and are
        // read whole.
        f.set("long_names", signals_after(*watch, [] {
                  run_setup("ip link add v1 type veth peer name w1");
                  std::string names;
                  for (const std::string link : {"v1", "w1"})
                      for (int i = 0; i < 160; ++i)
                          names += "link property add dev " + link + " altname " + link +
                                   std::to_string(1000 + i) + std::string(120, 'x') + "\n";
                  run_batch(names);
                  run_setup("ip link set w1 up");
              }));
        f.set("long_rise", signals_after(*watch, [] { run_setup("ip link set v1 up"); }));
        // A storm while the loop is busy elsewhere: the queue overflows, and the watch still
        // says, once or a few times, that something changed.
        f.set("storm", signals_after(*watch, [] {
                  std::string batch;
                  for (int i = 0; i < 2000; ++i)
                      batch += "addr add 10.77." + std::to_string(i / 250) + "." +
                               std::to_string(i % 250 + 1) + "/32 dev lo\n";
                  run_batch(batch);
              }));
    });
    EXPECT_GE(r.number("link_up"), 1);
    EXPECT_GE(r.number("address"), 1);
    EXPECT_GE(r.number("route"), 1);
    EXPECT_GE(r.number("veth_up"), 1);
    EXPECT_EQ(r["noise"], "0");
    EXPECT_EQ(r["deleted"], "0");
    EXPECT_EQ(r["user_space"], "0");
    EXPECT_EQ(r["long_names"], "0");
    EXPECT_GE(r.number("long_rise"), 1);
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

// An attribute of `type` holding the 32-bit `value`.
Bytes attribute(std::uint16_t type, std::uint32_t value = 0) {
    Bytes a(RTA_LENGTH(sizeof value));
    const rtattr header{static_cast<unsigned short>(a.size()), type};
    std::memcpy(a.data(), &header, sizeof header);
    std::memcpy(a.data() + RTA_LENGTH(0), &value, sizeof value);
    return a;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

ifaddrmsg address_of(unsigned char family) {
    ifaddrmsg address{};
    address.ifa_family = family;
    return address;
}

rtmsg route_of(unsigned char family, unsigned char table, unsigned char type, unsigned flags = 0) {
    rtmsg route{};
    route.rtm_family = family;
    route.rtm_table = table;
    route.rtm_type = type;
    route.rtm_flags = flags;
    return route;
}

ifinfomsg link_of(int index, unsigned flags) {
    ifinfomsg link{};
    link.ifi_family = AF_UNSPEC;
    link.ifi_index = index;
    link.ifi_flags = flags;
    return link;
}

constexpr unsigned running = IFF_UP | IFF_BROADCAST | IFF_RUNNING;

bool announces(probe::RouteMessages& reader, const Bytes& datagram) {
    return reader.announce_change(datagram.data(), datagram.size());
}

bool announces(const Bytes& datagram) {
    probe::RouteMessages reader;
    return announces(reader, datagram);
}

TEST(RouteMessagesTest, NewIpv4AddressesAndMainUnicastRoutesAreNewsTheRestIsNot) {
    EXPECT_TRUE(announces(message(RTM_NEWADDR, address_of(AF_INET))));
    EXPECT_FALSE(announces(message(RTM_NEWADDR, address_of(AF_INET6))));
    EXPECT_FALSE(announces(message(RTM_DELADDR, address_of(AF_INET))));

    EXPECT_TRUE(announces(message(RTM_NEWROUTE, route_of(AF_INET, RT_TABLE_MAIN, RTN_UNICAST))));
    EXPECT_FALSE(announces(message(RTM_DELROUTE, route_of(AF_INET, RT_TABLE_MAIN, RTN_UNICAST))));
    EXPECT_FALSE(announces(message(RTM_NEWROUTE, route_of(AF_INET6, RT_TABLE_MAIN, RTN_UNICAST))));
    EXPECT_FALSE(announces(message(RTM_NEWROUTE, route_of(AF_INET, 100, RTN_UNICAST))));
    EXPECT_FALSE(announces(message(RTM_NEWROUTE, route_of(AF_INET, RT_TABLE_LOCAL, RTN_LOCAL))));
    for (const unsigned char type : {RTN_BLACKHOLE, RTN_UNREACHABLE, RTN_BROADCAST, RTN_MULTICAST})
        EXPECT_FALSE(announces(message(RTM_NEWROUTE, route_of(AF_INET, RT_TABLE_MAIN, type))))
            << int(type);
    EXPECT_FALSE(announces(
        message(RTM_NEWROUTE, route_of(AF_INET, RT_TABLE_MAIN, RTN_UNICAST, RTM_F_CLONED))));
    // The table attribute, where there is one, is the table: a number past 255 stands in the
    // record as the compatibility table.
    EXPECT_FALSE(announces(message(RTM_NEWROUTE, route_of(AF_INET, RT_TABLE_COMPAT, RTN_UNICAST),
                                   attribute(RTA_TABLE, 1000))));
    EXPECT_FALSE(announces(message(RTM_NEWROUTE, route_of(AF_INET, RT_TABLE_MAIN, RTN_UNICAST),
                                   attribute(RTA_OIF, 1) + attribute(RTA_TABLE, 1000))));
    EXPECT_TRUE(announces(message(RTM_NEWROUTE, route_of(AF_INET, RT_TABLE_COMPAT, RTN_UNICAST),
                                  attribute(RTA_TABLE, RT_TABLE_MAIN))));

    // Several in one datagram: one piece of news among the rest is enough.
    EXPECT_TRUE(announces(message(RTM_DELADDR, address_of(AF_INET)) +
                          message(RTM_NEWADDR, address_of(AF_INET6)) +
                          message(RTM_NEWADDR, address_of(AF_INET))));
    EXPECT_FALSE(announces(message(RTM_DELADDR, address_of(AF_INET)) +
                           message(RTM_NEWROUTE, route_of(AF_INET, 100, RTN_UNICAST))));
}

TEST(RouteMessagesTest, ALinkIsNewsWhenItRisesNotWhenItFallsOrChangesWhileRunning) {
    probe::RouteMessages reader;
    EXPECT_FALSE(announces(reader, message(RTM_NEWLINK, link_of(3, IFF_UP))));  // no carrier
    EXPECT_TRUE(announces(reader, message(RTM_NEWLINK, link_of(3, running))));
    EXPECT_FALSE(announces(reader, message(RTM_NEWLINK, link_of(3, running),
                                           attribute(IFLA_MTU, 1400))));  // still running
    EXPECT_FALSE(announces(reader, message(RTM_NEWLINK, link_of(3, IFF_UP | IFF_BROADCAST))));
    EXPECT_TRUE(announces(reader, message(RTM_NEWLINK, link_of(3, running))));  // rose again
    EXPECT_FALSE(announces(reader, message(RTM_NEWLINK, link_of(3, 0))));       // set down
    EXPECT_FALSE(announces(reader, message(RTM_NEWLINK, link_of(3, IFF_RUNNING))));
    // Another link rises on its own; one whose link is removed rises anew when it comes back.
    EXPECT_TRUE(announces(reader, message(RTM_NEWLINK, link_of(4, running))));
    EXPECT_FALSE(announces(reader, message(RTM_DELLINK, link_of(4, running))));
    EXPECT_TRUE(announces(reader, message(RTM_NEWLINK, link_of(4, running))));
    // A Wi-Fi scan on a link going down and up changes nothing, nor does the bridge's report.
    EXPECT_FALSE(announces(reader, message(RTM_NEWLINK, link_of(4, 0))));
    EXPECT_FALSE(announces(reader, message(RTM_NEWLINK, link_of(4, running),
                                           attribute(IFLA_IFNAME) + attribute(IFLA_WIRELESS))));
    ifinfomsg bridge_port = link_of(4, running);
    bridge_port.ifi_family = AF_BRIDGE;
    EXPECT_FALSE(announces(reader, message(RTM_NEWLINK, bridge_port)));
    EXPECT_TRUE(announces(reader, message(RTM_NEWLINK, link_of(4, running))));
    // Messages lost: every link heard of running counts once more.
    EXPECT_FALSE(announces(reader, message(RTM_NEWLINK, link_of(4, running))));
    reader.forget_links();
    EXPECT_TRUE(announces(reader, message(RTM_NEWLINK, link_of(4, running))));
    // A link that rises in the middle of a datagram is read, whatever comes before it.
    EXPECT_TRUE(announces(reader, message(RTM_NEWADDR, address_of(AF_INET)) +
                                      message(RTM_NEWLINK, link_of(5, running))));
    EXPECT_FALSE(announces(reader, message(RTM_NEWLINK, link_of(5, running))));
}

TEST(RouteMessagesTest, MalformedDatagramsAreNoChange) {
    const Bytes good = message(RTM_NEWADDR, address_of(AF_INET));
    EXPECT_FALSE(announces(Bytes(good.begin(), good.end() - 1)));  // shorter than it says
    Bytes zero_length = good;
    std::memset(zero_length.data(), 0, 4);
    EXPECT_FALSE(announces(zero_length));
    EXPECT_FALSE(announces(Bytes(8, 0xFF)));
    EXPECT_FALSE(announces(Bytes()));
    // Records too short for what they are, and a link whose attribute runs past its end.
    EXPECT_FALSE(announces(message(RTM_NEWLINK, std::uint16_t{0})));
    EXPECT_FALSE(announces(message(RTM_NEWADDR, std::uint8_t{AF_INET})));
    EXPECT_FALSE(announces(message(RTM_NEWROUTE, std::uint16_t{AF_INET})));
    Bytes runaway = message(RTM_NEWLINK, link_of(2, running), attribute(IFLA_WIRELESS));
    runaway[runaway.size() - 8] = 200;
    EXPECT_TRUE(announces(runaway));  // the record is whole; the bad attribute is passed over
}

}  // namespace

#endif  // __linux__
