// The POSIX echo service: its packet matching on crafted packets, live exchanges on the datagram
// socket and through the echo helper, and the helper itself.
//
// Every live case runs in a child process that first moves into a network namespace of
// its own, where only a loopback device exists: nothing is ever sent to a real network.
// The child reports what it saw through a pipe and the test asserts in the parent.
#include "echo_exchange.h"
#include "echo_helper_client.h"
#include "icmp_dll.h"
#include "ping_funcs.h"

#if defined(__linux__)

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "cannot_run.h"
#include "files.h"
#include "icmp_packets.h"
#include "netns.h"
#include "process_probes.h"

namespace {

namespace pkt = probe::icmp_packet;
using Clock = std::chrono::steady_clock;
using kestrun_test::address_of;
using kestrun_test::Bytes;
using kestrun_test::EchoForger;
using kestrun_test::Findings;
using kestrun_test::icmp_message;
using kestrun_test::ip_packet;
using kestrun_test::SetupError;
using kestrun_test::text_bytes;

const std::uint32_t destination = address_of("8.8.8.8");
const std::uint32_t other_host = address_of("192.0.2.9");
const std::uint32_t local = address_of("10.0.0.5");
const pkt::EchoRequest request{destination, 0x1234, 0x0042};

pkt::Classification classify_raw(const Bytes& packet, std::uint32_t source) {
    return pkt::classify(packet.data(), packet.size(), true, source, request);
}

// An error report from `reporter` quoting `quoted_ip` as the offending packet.
Bytes error_report(std::uint8_t type, std::uint8_t code, const Bytes& quoted_ip) {
    Bytes quote(quoted_ip.begin(), quoted_ip.begin() + std::min<std::size_t>(28, quoted_ip.size()));
    return ip_packet(other_host, local, icmp_message(type, code, 0, 0, quote));
}

Bytes our_request_on_the_wire() {
    return ip_packet(
        local, destination,
        icmp_message(8, 0, request.identifier, request.sequence, text_bytes("testing")));
}

// --- Packet matching -------------------------------------------------------------------

TEST(IcmpPacketTest, ChecksumAndRequestLayout) {
    // RFC 1071's worked example.
    const std::uint8_t sample[] = {0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7};
    EXPECT_EQ(pkt::internet_checksum(sample, sizeof sample), 0x220D);
    const std::uint8_t odd[] = {0x01, 0x02, 0x03};  // the last byte is padded with zero
    EXPECT_EQ(pkt::internet_checksum(odd, sizeof odd), static_cast<std::uint16_t>(~0x0402));

    std::uint8_t out[15];
    pkt::build_echo_request(out, 0xBEEF, 0x0102, "testing", 7);
    const Bytes expected = icmp_message(8, 0, 0xBEEF, 0x0102, text_bytes("testing"));
    EXPECT_EQ(Bytes(out, out + 15), expected);
}

TEST(IcmpPacketTest, EchoReplyCountsOnlyForOurIdentifierSequenceAndDestination) {
    const Bytes payload = text_bytes("testing");
    const Bytes reply = ip_packet(
        destination, local, icmp_message(0, 0, request.identifier, request.sequence, payload));
    const pkt::Classification ok = classify_raw(reply, destination);
    EXPECT_EQ(ok.verdict, pkt::Verdict::echo_reply);
    EXPECT_EQ(ok.status, probe::IP_SUCCESS);
    ASSERT_EQ(ok.data_size, 7u);
    EXPECT_EQ(Bytes(reply.begin() + static_cast<long>(ok.data_offset), reply.end()), payload);

    // The IP header length is read, not assumed.
    const Bytes with_options = ip_packet(
        destination, local, icmp_message(0, 0, request.identifier, request.sequence, payload), 3);
    const pkt::Classification opt = classify_raw(with_options, destination);
    EXPECT_EQ(opt.verdict, pkt::Verdict::echo_reply);
    EXPECT_EQ(opt.data_offset, 32u + 8u);

    // A datagram socket hands over the ICMP message alone.
    const Bytes bare = icmp_message(0, 0, request.identifier, request.sequence, payload);
    const pkt::Classification dgram =
        pkt::classify(bare.data(), bare.size(), false, destination, request);
    EXPECT_EQ(dgram.verdict, pkt::Verdict::echo_reply);
    EXPECT_EQ(dgram.data_offset, 8u);

    struct Case {
        const char* name;
        Bytes packet;
        std::uint32_t source;
    };
    Bytes bad_checksum = reply;
    bad_checksum.back() ^= 0x01;
    const Case unrelated[] = {
        {"other identifier",
         ip_packet(destination, local, icmp_message(0, 0, 0x1235, request.sequence, payload)),
         destination},
        {"other sequence",
         ip_packet(destination, local, icmp_message(0, 0, request.identifier, 0x0041, payload)),
         destination},
        {"from another address", reply, other_host},
        {"corrupted", bad_checksum, destination},
        {"our own request looped back", our_request_on_the_wire(), destination},
        {"not ICMP",
         ip_packet(destination, local, icmp_message(0, 0, 0x1234, 0x0042, payload), 0, 17),
         destination},
        {"not IPv4",
         [&] {
             Bytes b = reply;
             b[0] = 0x65;
             return b;
         }(),
         destination},
    };
    for (const Case& c : unrelated) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(classify_raw(c.packet, c.source).verdict, pkt::Verdict::unrelated);
    }
    EXPECT_EQ(pkt::classify(bare.data(), bare.size(), false, other_host, request).verdict,
              pkt::Verdict::unrelated);
}

TEST(IcmpPacketTest, TruncatedPacketsAreUnrelated) {
    const Bytes reply =
        ip_packet(destination, local, icmp_message(0, 0, request.identifier, request.sequence, {}));
    const Bytes report = error_report(3, 1, our_request_on_the_wire());
    for (const Bytes* whole : {&reply, &report}) {
        for (std::size_t size = 0; size < whole->size(); ++size) {
            // A copy of exactly `size` bytes, so that a read past it is caught by ASan.
            const Bytes cut(whole->begin(), whole->begin() + static_cast<long>(size));
            EXPECT_EQ(pkt::classify(cut.data(), cut.size(), true, destination, request).verdict,
                      pkt::Verdict::unrelated)
                << "size " << size;
        }
    }
}

TEST(IcmpPacketTest, ErrorReportsCountWhenTheyQuoteOurRequest) {
    const Bytes ours = our_request_on_the_wire();
    struct Expected {
        std::uint8_t type, code;
        std::uint32_t status;
    };
    for (const Expected& e : {Expected{3, 0, probe::IP_DEST_NET_UNREACHABLE},
                              Expected{3, 1, probe::IP_DEST_HOST_UNREACHABLE},
                              Expected{3, 3, probe::IP_DEST_PORT_UNREACHABLE},
                              Expected{3, 13, probe::IP_DEST_HOST_UNREACHABLE},
                              Expected{11, 0, probe::IP_TTL_EXPIRED_TRANSIT},
                              Expected{11, 1, probe::IP_TTL_EXPIRED_REASSEM},
                              Expected{12, 0, probe::IP_PARAM_PROBLEM}}) {
        SCOPED_TRACE(std::to_string(e.type) + "/" + std::to_string(e.code));
        const pkt::Classification c = classify_raw(error_report(e.type, e.code, ours), other_host);
        EXPECT_EQ(c.verdict, pkt::Verdict::error_report);
        EXPECT_EQ(c.status, e.status);
    }

    struct Case {
        const char* name;
        Bytes quoted;
    };
    const Case others[] = {
        {"another identifier",
         ip_packet(local, destination, icmp_message(8, 0, 0x9999, request.sequence, {}))},
        {"another sequence",
         ip_packet(local, destination, icmp_message(8, 0, request.identifier, 7, {}))},
        {"another destination",
         ip_packet(local, other_host,
                   icmp_message(8, 0, request.identifier, request.sequence, {}))},
        {"a reply, not a request",
         ip_packet(local, destination,
                   icmp_message(0, 0, request.identifier, request.sequence, {}))},
        {"a UDP datagram", ip_packet(local, destination, Bytes(8, 0x12), 0, 17)},
    };
    for (const Case& c : others) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(classify_raw(error_report(3, 1, c.quoted), other_host).verdict,
                  pkt::Verdict::unrelated);
    }
    // Redirects and the like are not answers at all.
    EXPECT_EQ(classify_raw(error_report(5, 1, ours), other_host).verdict, pkt::Verdict::unrelated);
}

TEST(IcmpPacketTest, QueuedErrorsMatchOnTheQuotedRequest) {
    const Bytes quoted =
        icmp_message(8, 0, request.identifier, request.sequence, text_bytes("testing"));
    const pkt::Classification c =
        pkt::classify_queued_error(11, 0, quoted.data(), quoted.size(), destination, request);
    EXPECT_EQ(c.verdict, pkt::Verdict::error_report);
    EXPECT_EQ(c.status, probe::IP_TTL_EXPIRED_TRANSIT);

    EXPECT_EQ(
        pkt::classify_queued_error(3, 1, quoted.data(), quoted.size(), other_host, request).verdict,
        pkt::Verdict::unrelated);
    const Bytes other_seq = icmp_message(8, 0, request.identifier, 1, {});
    EXPECT_EQ(
        pkt::classify_queued_error(3, 1, other_seq.data(), other_seq.size(), destination, request)
            .verdict,
        pkt::Verdict::unrelated);
    EXPECT_EQ(pkt::classify_queued_error(3, 1, quoted.data(), 7, destination, request).verdict,
              pkt::Verdict::unrelated);
}

// --- Live exchanges in a private network namespace -------------------------------------

// Timeouts long enough that an answer that came is never taken for one that did not on a loaded
// machine (the tests also run under ASan), and an exchange that waited the timeout out is
// told from one that did not by a wide margin: half the timeout.
constexpr std::uint32_t patient_ms = 5000;
constexpr long long well_before_the_timeout_ms = patient_ms / 2;

// The echo service as the probe uses it, noting where each request went. With `timeout_factor`
// every wait it is asked for is that much longer.
class RecordingService final : public probe::EchoService {
  public:
    std::string destinations;
    std::uint32_t timeout_factor = 1;
    std::uint32_t inet_addr(const char* text) override { return real_.inet_addr(text); }
    probe::IcmpHandle IcmpCreateFile() override { return real_.IcmpCreateFile(); }
    std::uint32_t IcmpSendEcho(probe::IcmpHandle handle, std::uint32_t to, const void* data,
                               std::uint16_t size, void* options, void* reply,
                               std::uint32_t reply_size, std::uint32_t timeout_ms) override {
        destinations += (destinations.empty() ? "" : " ") + kestrun_test::dotted(to);
        return real_.IcmpSendEcho(handle, to, data, size, options, reply, reply_size,
                                  timeout_ms * timeout_factor);
    }
    bool IcmpCloseHandle(probe::IcmpHandle handle) override {
        return real_.IcmpCloseHandle(handle);
    }

  private:
    probe::EchoService& real_ = probe::system_echo_service();
};

struct Attempt {
    std::uint32_t returned = 0;
    probe::ICMP_ECHO_REPLY record{};
    std::string data;
    long long elapsed_ms = 0;
};

long long elapsed_ms_since(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// One exchange straight on the system's service, keeping the whole reply buffer.
Attempt exchange(const char* address, std::uint32_t timeout_ms, bool* used_datagram = nullptr) {
    probe::EchoService& service = probe::system_echo_service();
    alignas(std::max_align_t) unsigned char reply[284];
    std::memset(reply, 0xEE, sizeof reply);
    const probe::IcmpHandle handle = service.IcmpCreateFile();
    if (handle < 0) throw SetupError("IcmpCreateFile failed");
    int type = 0;
    socklen_t length = sizeof type;
    ::getsockopt(static_cast<int>(handle), SOL_SOCKET, SO_TYPE, &type, &length);
    if (used_datagram != nullptr) *used_datagram = type == SOCK_DGRAM;
    Attempt a;
    const auto start = Clock::now();
    a.returned = service.IcmpSendEcho(handle, service.inet_addr(address), "testing", 7, nullptr,
                                      reply, sizeof reply, timeout_ms);
    a.elapsed_ms = elapsed_ms_since(start);
    service.IcmpCloseHandle(handle);
    std::memcpy(&a.record, reply, sizeof a.record);
    a.data.assign(reinterpret_cast<const char*>(reply) + sizeof a.record,
                  std::min<std::size_t>(a.record.DataSize, 64));
    return a;
}

void report_attempt(Findings& f, const std::string& prefix, const Attempt& a) {
    f.set(prefix + "returned", a.returned);
    f.set(prefix + "status", a.record.Status);
    f.set(prefix + "address", kestrun_test::dotted(a.record.Address));
    f.set(prefix + "data", a.data);
    f.set(prefix + "elapsed_ms", a.elapsed_ms);
}

std::string status_text(std::uint32_t status) {
    return std::to_string(status);
}

TEST(ProbeNamespaceTest, NoNetworkAtAllIsANoQuickly) {
    RUN_IN_NAMESPACE(r, [](Findings& f) {
        // A fresh namespace: loopback down, no routes.
        RecordingService service;
        service.timeout_factor = patient_ms / probe::probe_timeout_ms;
        const auto start = Clock::now();
        f.set("up", probe::is_network_up(service));
        f.set("elapsed_ms", elapsed_ms_since(start));
        f.set("asked", service.destinations);
        report_attempt(f, "", exchange("8.8.8.8", 500));
    });
    EXPECT_EQ(r["up"], "0");
    EXPECT_EQ(r["asked"], "8.8.8.8 1.1.1.1");
    // A refused send does not wait for the timeout (stretched here to patient_ms).
    EXPECT_LT(r.number("elapsed_ms"), well_before_the_timeout_ms);
    EXPECT_EQ(r["returned"], "0");
    EXPECT_EQ(r["status"], status_text(probe::IP_DEST_NET_UNREACHABLE));
}

TEST(ProbeNamespaceTest, LoopbackAnswersThroughProbeEcho) {
    for (const bool datagram : {false, true}) {
        SCOPED_TRACE(datagram ? "datagram ICMP socket" : "raw socket, through the echo helper");
        RUN_IN_NAMESPACE(r, [datagram](Findings& f) {
            kestrun_test::allow_unprivileged_icmp(datagram);
            kestrun_test::bring_loopback_up();
            kestrun_test::add_loopback_address("8.8.8.8");
            alignas(std::max_align_t) unsigned char reply[284];
            std::memset(reply, 0xEE, sizeof reply);
            probe::ProbeEcho(probe::system_echo_service(), "8.8.8.8", "testing", reply, patient_ms);
            probe::ICMP_ECHO_REPLY record{};
            std::memcpy(&record, reply, sizeof record);
            f.set("status", record.Status);

            bool used_datagram = false;
            report_attempt(f, "direct_", exchange("8.8.8.8", patient_ms, &used_datagram));
            f.set("datagram", used_datagram);
        });
        EXPECT_EQ(r["status"], "0");
        EXPECT_EQ(r["datagram"], datagram ? "1" : "0");
        EXPECT_EQ(r["direct_returned"], "1");
        EXPECT_EQ(r["direct_status"], "0");
        EXPECT_EQ(r["direct_address"], "8.8.8.8");
        EXPECT_EQ(r["direct_data"], "testing");
        EXPECT_LT(r.number("direct_elapsed_ms"), well_before_the_timeout_ms);
    }
}

TEST(ProbeNamespaceTest, TwoAddressTestOnLoopbackAddresses) {
    struct Case {
        const char* name;
        const char* setup;  // extra command, or nullptr
        const char* up;
        const char* asked;
    };
    const Case cases[] = {
        {"first address on lo", "ip addr add 8.8.8.8/32 dev lo", "1", "8.8.8.8"},
        {"only the second on lo", "ip addr add 1.1.1.1/32 dev lo", "1", "8.8.8.8 1.1.1.1"},
        {"neither", nullptr, "0", "8.8.8.8 1.1.1.1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RUN_IN_NAMESPACE(r, [&c](Findings& f) {
            kestrun_test::bring_loopback_up();
            if (c.setup != nullptr) kestrun_test::run_setup(c.setup);
            RecordingService service;
            f.set("up", probe::is_network_up(service));
            f.set("asked", service.destinations);
        });
        EXPECT_EQ(r["up"], c.up);
        EXPECT_EQ(r["asked"], c.asked);
    }
}

TEST(ProbeNamespaceTest, UnreachableRouteAndSilenceAreFailures) {
    for (const bool datagram : {false, true}) {
        SCOPED_TRACE(datagram ? "datagram ICMP socket" : "raw socket, through the echo helper");
        RUN_IN_NAMESPACE(r, [datagram](Findings& f) {
            kestrun_test::allow_unprivileged_icmp(datagram);
            kestrun_test::bring_loopback_up();
            kestrun_test::run_setup("ip route add unreachable 1.1.1.1");
            report_attempt(f, "unreachable_", exchange("1.1.1.1", patient_ms));

            // An address that is there but does not answer echo requests. (The helper waits
            // the probe's own 500 ms whatever it is asked.)
            kestrun_test::silent_addresses_on_loopback({"8.8.8.8"});
            report_attempt(f, "silent_", exchange("8.8.8.8", 200));
        });
        EXPECT_EQ(r["unreachable_returned"], "0");
        EXPECT_EQ(r["unreachable_status"], status_text(probe::IP_DEST_HOST_UNREACHABLE));
        EXPECT_LT(r.number("unreachable_elapsed_ms"), well_before_the_timeout_ms);

        EXPECT_EQ(r["silent_returned"], "0");
        EXPECT_EQ(r["silent_status"], status_text(probe::IP_REQ_TIMED_OUT));
        EXPECT_GE(r.number("silent_elapsed_ms"), 199);
        EXPECT_LT(r.number("silent_elapsed_ms"), 10 * 200);  // not waiting on and on
    }
}

TEST(ProbeNamespaceTest, NoIcmpSocketAtAllRaisesTheCreateError) {
    RUN_IN_NAMESPACE(r, [](Findings& f) {
        kestrun_test::bring_loopback_up();
        kestrun_test::allow_unprivileged_icmp(false);
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) throw SetupError("cannot drop root");
        try {
            probe::is_network_up(probe::system_echo_service());
            f.set("message", "(nothing thrown)");
        } catch (const std::runtime_error& e) {
            f.set("message", e.what());
        }
    });
    EXPECT_EQ(r["message"], "Function call IcmpCreateFile failed.");
}

TEST(ProbeNamespaceTest, UnprivilegedDatagramSocketIsUsedWhereAllowed) {
    RUN_IN_NAMESPACE(r, [](Findings& f) {
        kestrun_test::bring_loopback_up();
        kestrun_test::allow_unprivileged_icmp(true);
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) throw SetupError("cannot drop root");
        bool used_datagram = false;
        report_attempt(f, "", exchange("127.0.0.1", patient_ms, &used_datagram));
        f.set("datagram", used_datagram);
    });
    EXPECT_EQ(r["datagram"], "1");
    EXPECT_EQ(r["status"], "0");
    EXPECT_EQ(r["data"], "testing");
}

// 8.8.8.8 on loopback, silent: only the forger answers.
void forged_network(bool datagram) {
    kestrun_test::allow_unprivileged_icmp(datagram);
    kestrun_test::silent_addresses_on_loopback({"8.8.8.8"});
}

TEST(ProbeNamespaceTest, OnlyAReplyToOurRequestFromTheDestinationCounts) {
    using Kind = EchoForger::Kind;
    for (const bool datagram : {false, true}) {
        SCOPED_TRACE(datagram ? "datagram ICMP socket" : "raw socket, through the echo helper");
        RUN_IN_NAMESPACE(r, [datagram](Findings& f) {
            forged_network(datagram);
            {
                EchoForger forger(
                    {Kind::other_identifier, Kind::other_sequence, Kind::from_other_address});
                report_attempt(f, "decoys_", exchange("8.8.8.8", 300));
                f.set("decoys_answered", forger.requests_seen());
            }
            {
                // The same decoys, then the real thing: the control that the forger works.
                EchoForger forger({Kind::other_identifier, Kind::other_sequence,
                                   Kind::from_other_address, Kind::correct_reply});
                report_attempt(f, "real_", exchange("8.8.8.8", patient_ms));
            }
        });
        EXPECT_EQ(r["decoys_answered"], "1");
        EXPECT_EQ(r["decoys_returned"], "0");
        EXPECT_EQ(r["decoys_status"], status_text(probe::IP_REQ_TIMED_OUT));
        EXPECT_EQ(r["real_returned"], "1");
        EXPECT_EQ(r["real_status"], "0");
        EXPECT_EQ(r["real_address"], "8.8.8.8");
        EXPECT_EQ(r["real_data"], "testing");
    }
}

TEST(ProbeNamespaceTest, ErrorReportQuotingOurRequestIsAFailedAnswer) {
    for (const bool datagram : {false, true}) {
        SCOPED_TRACE(datagram ? "datagram ICMP socket" : "raw socket, through the echo helper");
        RUN_IN_NAMESPACE(r, [datagram](Findings& f) {
            forged_network(datagram);
            EchoForger forger({EchoForger::Kind::host_unreachable});
            report_attempt(f, "", exchange("8.8.8.8", patient_ms));
        });
        // Windows' convention: a report is a stored record, with the reporter's address.
        EXPECT_EQ(r["returned"], "1");
        EXPECT_EQ(r["status"], status_text(probe::IP_DEST_HOST_UNREACHABLE));
        EXPECT_EQ(r["address"], EchoForger::other_address);
        EXPECT_LT(r.number("elapsed_ms"), well_before_the_timeout_ms);
    }
}

TEST(ProbeNamespaceTest, FloodOfUnrelatedIcmpDoesNotExtendTheWait) {
    RUN_IN_NAMESPACE(r, [](Findings& f) {
        forged_network(false);
        std::atomic<bool> stop{false};
        std::atomic<long long> sent{0};
        const int fd = kestrun_test::raw_icmp_socket();
        std::thread flood([&] {
            const std::uint32_t loopback = address_of("127.0.0.1");
            const auto until = Clock::now() + std::chrono::seconds(5);  // bounded either way
            for (std::uint16_t id = 0; !stop && Clock::now() < until; ++id) {
                const Bytes m = icmp_message(0, 0, id, id, text_bytes("noise"));
                if (kestrun_test::send_ip_packet(fd, ip_packet(loopback, loopback, m))) ++sent;
            }
        });
        const long long before = sent;
        const Attempt a = exchange("8.8.8.8", 300);
        f.set("flood_during", sent - before);
        stop = true;
        flood.join();
        ::close(fd);
        report_attempt(f, "", a);
    });
    EXPECT_GT(r.number("flood_during"), 1000);
    EXPECT_EQ(r["status"], status_text(probe::IP_REQ_TIMED_OUT));
    EXPECT_GE(r.number("elapsed_ms"), 299);
    EXPECT_LT(r.number("elapsed_ms"), 10 * 300);  // the flood goes on for longer than that
}

TEST(ProbeNamespaceTest, HandlesAreDescriptorsThatNoAttemptLeavesOpen) {
    RUN_IN_NAMESPACE(r, [](Findings& f) {
        kestrun_test::bring_loopback_up();
        kestrun_test::run_setup("ip route add unreachable 10.99.0.1");
        kestrun_test::add_loopback_address("8.8.8.8");
        probe::EchoService& service = probe::system_echo_service();

        const probe::IcmpHandle handle = service.IcmpCreateFile();
        const int fd = static_cast<int>(handle);
        f.set("cloexec", (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0);
        f.set("closed_ok", service.IcmpCloseHandle(handle));
        f.set("gone", ::fcntl(fd, F_GETFD) == -1 && errno == EBADF);

        const int before = kestrun_test::open_descriptor_count();
        int ups = 0;
        alignas(std::max_align_t) unsigned char reply[284];
        // Ten rounds: the echo helper's bucket holds twelve echoes.
        for (int round = 0; round < 10; ++round) {
            ups += probe::is_network_up(service);
            probe::ProbeEcho(service, "10.99.0.1", "testing", reply, 50);
            probe::ProbeEcho(service, "127.0.0.1", "testing", reply, 50);
            try {
                probe::ProbeEcho(service, "255.255.255.255", "testing", reply, 50);
            } catch (const std::runtime_error&) {
            }
        }
        kestrun_test::set_ipv4_sysctl("icmp_echo_ignore_all", "1");
        for (int round = 0; round < 5; ++round) {
            probe::ProbeEcho(service, "127.0.0.1", "testing", reply, 5);
        }
        kestrun_test::allow_unprivileged_icmp(true);
        for (int round = 0; round < 5; ++round) {
            probe::ProbeEcho(service, "127.0.0.1", "testing", reply, 5);
        }
        f.set("ups", ups);
        f.set("leaked", kestrun_test::open_descriptor_count() - before);
    });
    EXPECT_EQ(r["cloexec"], "1");
    EXPECT_EQ(r["closed_ok"], "1");
    EXPECT_EQ(r["gone"], "1");
    EXPECT_EQ(r["ups"], "10");
    EXPECT_EQ(r["leaked"], "0");
}

// --- the echo helper ---------------------------------------------------------------------

namespace helper = probe::echo_helper;

std::string proc_status_field(pid_t pid, const std::string& field) {
    const std::string status = kestrun_test::read_bytes("/proc/" + std::to_string(pid) + "/status");
    const std::size_t at = status.find("\n" + field + ":");
    if (at == std::string::npos) return "(none)";
    const std::size_t start = status.find_first_not_of(" \t", at + field.size() + 2);
    return status.substr(start, status.find('\n', start) - start);
}

// The helper's descriptors, as "fd:target" words.
std::string descriptors_of(pid_t pid) {
    std::string words;
    const std::string folder = "/proc/" + std::to_string(pid) + "/fd/";
    for (int fd = 0; fd < 64; ++fd) {
        char target[256];
        const ssize_t size =
            ::readlink((folder + std::to_string(fd)).c_str(), target, sizeof target);
        if (size < 0) continue;
        const std::string name(target, static_cast<std::size_t>(size));
        words += (words.empty() ? "" : " ") + std::to_string(fd) + ":" +
                 (name.rfind("socket:", 0) == 0 ? "socket" : name);
    }
    return words;
}

// Where unprivileged ICMP is off: the helper, started and ready, with 8.8.8.8 answering.
probe::EchoHelperClient& ready_helper() {
    kestrun_test::allow_unprivileged_icmp(false);
    kestrun_test::bring_loopback_up();
    kestrun_test::run_setup("ip addr replace 8.8.8.8/32 dev lo");  // a second call finds it
    probe::EchoHelperClient& h = probe::EchoHelperClient::shared();
    if (!h.wait_until_ready(5000)) throw SetupError("the helper did not start");
    return h;
}

// Sends `message` as it stands on the helper's channel and waits for whatever it answers.
helper::Answer ask(probe::EchoHelperClient& h, const std::vector<std::uint8_t>& message) {
    if (::send(h.channel(), message.data(), message.size(), 0) < 0) throw SetupError("send");
    helper::Answer answer;
    answer.outcome = static_cast<helper::Outcome>(99);
    pollfd ready{h.channel(), POLLIN, 0};
    if (::poll(&ready, 1, 5000) == 1) (void)::recv(h.channel(), &answer, sizeof answer, 0);
    return answer;
}

std::vector<std::uint8_t> request_bytes(std::uint32_t target, std::uint32_t id = 7) {
    helper::Request r;
    r.id = id;
    r.target = static_cast<helper::Target>(target);
    std::uint8_t out[helper::request_size];
    helper::encode_request(r, out);
    return {out, out + sizeof out};
}

// The echo requests this namespace has sent.
long long out_echoes() {
    const std::string snmp = kestrun_test::read_bytes("/proc/net/snmp");
    const std::size_t header = snmp.find("Icmp:");
    const std::size_t values = snmp.find("Icmp:", header + 1);
    if (header == std::string::npos || values == std::string::npos) throw SetupError("snmp");
    std::istringstream names(snmp.substr(header, snmp.find('\n', header) - header));
    std::istringstream numbers(snmp.substr(values, snmp.find('\n', values) - values));
    std::string name;
    std::string number;
    while (names >> name && numbers >> number) {
        if (name == "OutEchos") return std::stoll(number);
    }
    throw SetupError("no OutEchos");
}

TEST(EchoHelperTest, HoldsItsRawSocketAndNoPrivilegeOrEnvironment) {
    RUN_IN_NAMESPACE(r, [](Findings& f) {
        probe::EchoHelperClient& h = ready_helper();
        for (const char* field : {"CapEff", "CapPrm", "CapInh", "CapAmb", "NoNewPrivs"})
            f.set(field, proc_status_field(h.pid(), field));
        f.set("environ", kestrun_test::read_bytes("/proc/" + std::to_string(h.pid()) + "/environ"));
        f.set("descriptors", descriptors_of(h.pid()));
        f.set("ppid", proc_status_field(h.pid(), "PPid") == std::to_string(::getpid()));
        bool used_datagram = true;
        report_attempt(f, "", exchange("8.8.8.8", patient_ms, &used_datagram));
        f.set("datagram", used_datagram);
    });
    for (const char* field : {"CapEff", "CapPrm", "CapInh", "CapAmb"})
        EXPECT_EQ(r[field], "0000000000000000") << field;
    EXPECT_EQ(r["NoNewPrivs"], "1");
    EXPECT_EQ(r["environ"], "");
    // Its channel as standard input, our stdout and stderr, and its raw socket: nothing more.
    EXPECT_EQ(r["descriptors"].substr(0, 9), "0:socket ");
    EXPECT_EQ(r["descriptors"].substr(r["descriptors"].size() - 9), " 3:socket");
    EXPECT_EQ(r["ppid"], "1");
    EXPECT_EQ(r["datagram"], "0");
    EXPECT_EQ(r["returned"], "1");
    EXPECT_EQ(r["status"], "0");
    EXPECT_EQ(r["data"], "testing");
}

// Any local user may start the helper and say anything to it: it makes the probe's exchanges
// alone, paced, and a message it does not serve gets a refusal that carries nothing else.
TEST(EchoHelperTest, ServesOnlyTheProbesExchangesAndPacesThem) {
    // In parentheses: the body's braced lists hold commas.
    RUN_IN_NAMESPACE(r, ([](Findings& f) {
                         probe::EchoHelperClient& h = ready_helper();
                         kestrun_test::add_loopback_address("1.1.1.1");
                         const pid_t pid = h.pid();
                         const helper::Answer first = ask(h, request_bytes(0, 41));
                         probe::ICMP_ECHO_REPLY record{};
                         std::memcpy(&record, first.reply, sizeof record);
                         f.set("first", std::to_string(static_cast<int>(first.outcome)) + " id " +
                                            std::to_string(first.id) + " status " +
                                            std::to_string(record.Status) + " from " +
                                            kestrun_test::dotted(record.Address));
                         const helper::Answer second = ask(h, request_bytes(1, 42));
                         std::memcpy(&record, second.reply, sizeof record);
                         f.set("second", kestrun_test::dotted(record.Address));

                         // What is not a request: an older layout naming an address of its own, a
                         // wrong magic, a message too short or too long, a target that is not one.
                         std::vector<std::uint8_t> older(18 + 7, 0);
                         const std::uint32_t older_magic = 0x4B455131;
                         const std::uint32_t elsewhere = address_of("127.0.0.1");
                         std::memcpy(older.data(), &older_magic, 4);
                         std::memcpy(older.data() + 8, &elsewhere, 4);
                         std::vector<std::uint8_t> wrong_magic = request_bytes(0);
                         wrong_magic[0] ^= 0xFF;
                         std::vector<std::uint8_t> too_long = request_bytes(0);
                         too_long.resize(300, 0xAB);
                         const long long echoes_before = out_echoes();
                         const std::pair<const char*, std::vector<std::uint8_t>> cases[] = {
                             {"older", older},
                             {"wrong_magic", wrong_magic},
                             {"short", {1, 2, 3}},
                             {"too_long", too_long},
                             {"target", request_bytes(2, 43)},
                             {"any_target", request_bytes(0xFFFFFFFF, 44)},
                         };
                         for (const auto& [name, message] : cases) {
                             const helper::Answer a = ask(h, message);
                             bool reply_empty = true;
                             for (const std::uint8_t byte : a.reply)
                                 reply_empty = reply_empty && byte == 0;
                             f.set(std::string(name), std::to_string(static_cast<int>(a.outcome)) +
                                                          " " + std::to_string(a.detail) + " id " +
                                                          std::to_string(a.id) + " replies " +
                                                          std::to_string(a.replies) +
                                                          (reply_empty ? " empty" : " stale"));
                         }
                         f.set("refused_echoes", out_echoes() - echoes_before);

                         // A flood of requests: the bucket's twelve (two spent above), then one
                         // every 400 ms.
                         const long long flood_before = out_echoes();
                         int answered = 0;
                         int paced = 0;
                         const auto start = Clock::now();
                         while (Clock::now() - start < std::chrono::seconds(2)) {
                             const helper::Answer a = ask(h, request_bytes(0, 50));
                             if (a.outcome == helper::Outcome::answered) ++answered;
                             if (a.outcome == helper::Outcome::refused &&
                                 a.detail == static_cast<std::uint32_t>(helper::Refusal::paced))
                                 ++paced;
                         }
                         f.set("flood_echoes", out_echoes() - flood_before);
                         f.set("flood_answered", answered);
                         f.set("flood_paced", paced > 100);
                         f.set("same_helper", h.pid() == pid && ::kill(pid, 0) == 0);
                     }));
    const auto refused = std::to_string(static_cast<int>(helper::Outcome::refused));
    const auto malformed = std::to_string(static_cast<int>(helper::Refusal::malformed));
    const auto target = std::to_string(static_cast<int>(helper::Refusal::target));
    EXPECT_EQ(r["first"], "0 id 41 status 0 from 8.8.8.8");
    EXPECT_EQ(r["second"], "1.1.1.1");
    for (const char* name : {"older", "wrong_magic", "short", "too_long"})
        EXPECT_EQ(r[name], refused + " " + malformed + " id 0 replies 0 empty") << name;
    EXPECT_EQ(r["target"], refused + " " + target + " id 43 replies 0 empty");
    EXPECT_EQ(r["any_target"], refused + " " + target + " id 44 replies 0 empty");
    EXPECT_EQ(r["refused_echoes"], "0");
    // Ten left in the bucket, and five more in two seconds (six, where the flood's last
    // request came just after a refill).
    EXPECT_GE(r.number("flood_echoes"), 10 + 4);
    EXPECT_LE(r.number("flood_echoes"), 10 + 6);
    EXPECT_EQ(r["flood_answered"], r["flood_echoes"]);
    EXPECT_EQ(r["flood_paced"], "1");
    EXPECT_EQ(r["same_helper"], "1");
}

TEST(EchoHelperPaceTest, TwelveAtOnceThenOneEvery400Ms) {
    helper::EchoPace pace;
    int taken = 0;
    while (pace.take(1000)) ++taken;
    EXPECT_EQ(taken, 12);
    EXPECT_FALSE(pace.take(1399));
    EXPECT_TRUE(pace.take(1400));
    EXPECT_FALSE(pace.take(1400));
    // Idle for a minute: full again, and no more than full.
    taken = 0;
    while (pace.take(61400)) ++taken;
    EXPECT_EQ(taken, 12);
}

TEST(EchoHelperTest, GoesWithTheProgramAndIsOnlyStartedWhereNeeded) {
    RUN_IN_NAMESPACE(r, [](Findings& f) {
        // A program that started a helper is killed: the helper ends with it.
        int report[2];
        if (::pipe(report) != 0) throw SetupError("pipe");
        const pid_t program = ::fork();
        if (program == 0) {
            probe::EchoHelperClient& h = ready_helper();
            const pid_t pid = h.pid();
            (void)!::write(report[1], &pid, sizeof pid);
            ::pause();
            ::_exit(0);
        }
        pid_t helper_pid = -1;
        (void)!::read(report[0], &helper_pid, sizeof helper_pid);
        ::kill(program, SIGKILL);
        ::waitpid(program, nullptr, 0);
        f.set("ended_with_program",
              helper_pid > 0 && kestrun_test::eventually(
                                    [&] { return !kestrun_test::is_running(helper_pid); }, 5));

        // Stopped by the program: ended and reaped.
        probe::EchoHelperClient& h = ready_helper();
        const pid_t pid = h.pid();
        h.stop();
        f.set("stopped_and_reaped", ::waitpid(pid, nullptr, WNOHANG) < 0 && errno == ECHILD);

        // Where the datagram socket is allowed, no helper runs.
        kestrun_test::allow_unprivileged_icmp(true);
        f.set("up", probe::is_network_up(probe::system_echo_service()));
        f.set("helper_runs", h.pid() > 0);
    });
    EXPECT_EQ(r["ended_with_program"], "1");
    EXPECT_EQ(r["stopped_and_reaped"], "1");
    EXPECT_EQ(r["up"], "1");
    EXPECT_EQ(r["helper_runs"], "0");
}

// The helper never waits on its peer: one that sends on and leaves every answer unread fills the
// channel, and the helper ends instead of blocking there for good.
TEST(EchoHelperTest, APeerThatNeverReadsEndsTheHelper) {
    RUN_IN_NAMESPACE(r, [](Findings& f) {
        probe::EchoHelperClient& h = ready_helper();
        const pid_t pid = h.pid();
        const std::uint8_t not_a_request[3] = {};
        int unread = 0;
        const auto start = Clock::now();
        while (Clock::now() - start < std::chrono::seconds(5)) {
            if (::send(h.channel(), not_a_request, sizeof not_a_request,
                       MSG_DONTWAIT | MSG_NOSIGNAL) == sizeof not_a_request) {
                ++unread;
            } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            } else {
                break;  // the channel has closed
            }
        }
        siginfo_t ended{};
        f.set("ended", kestrun_test::eventually(
                           [&] {
                               ended = siginfo_t{};
                               return ::waitid(P_PID, static_cast<id_t>(pid), &ended,
                                               WEXITED | WNOHANG | WNOWAIT) == 0 &&
                                      ended.si_pid == pid;
                           },
                           5));
        f.set("exit", ended.si_code == CLD_EXITED ? std::to_string(ended.si_status) : "-");
        f.set("unread_answers", unread > 50);
        h.stop();
    });
    EXPECT_EQ(r["ended"], "1");
    EXPECT_EQ(r["exit"], "0");
    EXPECT_EQ(r["unread_answers"], "1");
}

// Where SIGCHLD is ignored (a disposition the program's own parent may hand down), a helper that
// ends is reaped by the system at once and its number may go to any other process: replacing
// the helper must leave that process alone.
TEST(EchoHelperTest, AHelperReapedByTheSystemLeavesItsNumberAlone) {
    RUN_IN_NAMESPACE(r, [](Findings& f) {
        probe::EchoHelperClient& h = ready_helper();
        ::signal(SIGCHLD, SIG_IGN);
        const pid_t gone = h.pid();
        ::kill(gone, SIGKILL);
        if (!kestrun_test::eventually([&] { return ::kill(gone, 0) != 0; }, 5))
            throw SetupError("the killed helper was not reaped");
        const pid_t stranger = kestrun_test::start_stranger_numbered(gone);
        if (stranger != gone)
            throw SetupError("cannot start a process numbered " + std::to_string(gone));
        // The next request finds the helper's channel closed; a fresh helper takes it.
        const std::uint32_t id = h.ask(helper::Target::first);
        f.set("asked", id != 0 && h.pid() > 0 && h.pid() != gone);
        f.set("stranger_after_ask", kestrun_test::is_running(stranger));
        h.stop();
        f.set("stranger_after_stop", kestrun_test::is_running(stranger));
        ::kill(stranger, SIGKILL);
    });
    EXPECT_EQ(r["asked"], "1");
    EXPECT_EQ(r["stranger_after_ask"], "1");
    EXPECT_EQ(r["stranger_after_stop"], "1");
}

TEST(EchoHelperTest, AHelperThatCannotServeIsTheCreateError) {
    RUN_IN_NAMESPACE(r, [](Findings& f) {
        kestrun_test::allow_unprivileged_icmp(false);
        kestrun_test::add_loopback_address("8.8.8.8");
        const std::string copy = "/tmp/kestrun-echo-helper-" + std::to_string(::getpid());
        kestrun_test::write_bytes(
            copy, kestrun_test::read_bytes(kestrun_test::echo_helper_of_this_build()));
        ::chmod(copy.c_str(), 0644);
        for (const auto& [name, path] :
             {std::pair<std::string, std::string>{"missing", "/nonexistent/helper"},
              {"not_executable", copy}}) {
            probe::set_echo_helper_path(path);
            try {
                probe::is_network_up(probe::system_echo_service());
                f.set(name, "(nothing thrown)");
            } catch (const std::runtime_error& e) {
                f.set(name, e.what());
            }
        }
        ::unlink(copy.c_str());
        probe::set_echo_helper_path(kestrun_test::echo_helper_of_this_build());
        // Run by hand, with anything but a socket pair for standard input, it serves nothing.
        f.set("by_hand", kestrun_test::run_quietly({kestrun_test::echo_helper_of_this_build()}));
    });
    EXPECT_EQ(r["missing"], "Function call IcmpCreateFile failed.");
    EXPECT_EQ(r["not_executable"], "Function call IcmpCreateFile failed.");
    EXPECT_EQ(r["by_hand"], "2");
}

}  // namespace

#endif  // __linux__
