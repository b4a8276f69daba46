// The POSIX echo service: its packet matching on crafted packets, and live exchanges.
//
// Every live case runs in a child process that first moves into a network namespace of
// its own, where only a loopback device exists: nothing is ever sent to a real network.
// The child reports what it saw through a pipe and the test asserts in the parent.
#include "icmp_dll.h"
#include "ping_funcs.h"

#if defined(__linux__)

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace pkt = probe::icmp_packet;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

std::uint32_t address_of(const char* dotted) {
    in_addr address{};
    if (::inet_pton(AF_INET, dotted, &address) != 1) throw std::invalid_argument(dotted);
    return address.s_addr;
}

void put16(Bytes& b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<std::uint8_t>(v >> 8);
    b[at + 1] = static_cast<std::uint8_t>(v);
}

// Independent of the code under test: a plain one's-complement sum.
void seal_icmp(Bytes& b, std::size_t icmp_offset) {
    b[icmp_offset + 2] = b[icmp_offset + 3] = 0;
    std::uint32_t sum = 0;
    for (std::size_t i = icmp_offset; i < b.size(); i += 2) {
        sum += static_cast<std::uint32_t>(b[i]) << 8;
        if (i + 1 < b.size()) sum += b[i + 1];
    }
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    put16(b, icmp_offset + 2, static_cast<std::uint16_t>(~sum));
}

Bytes icmp_message(std::uint8_t type, std::uint8_t code, std::uint16_t id, std::uint16_t seq,
                   const Bytes& body) {
    Bytes b(8);
    b[0] = type;
    b[1] = code;
    put16(b, 4, id);
    put16(b, 6, seq);
    b.insert(b.end(), body.begin(), body.end());
    seal_icmp(b, 0);
    return b;
}

Bytes ip_packet(std::uint32_t source, std::uint32_t destination, const Bytes& payload,
                std::size_t option_words = 0, std::uint8_t protocol = 1) {
    Bytes b(20 + 4 * option_words, 0);
    b[0] = static_cast<std::uint8_t>(0x40 | (5 + option_words));
    put16(b, 2, static_cast<std::uint16_t>(b.size() + payload.size()));
    b[8] = 64;
    b[9] = protocol;
    std::memcpy(&b[12], &source, 4);
    std::memcpy(&b[16], &destination, 4);
    for (std::size_t i = 20; i < b.size(); ++i) b[i] = 1;  // NOP options
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

Bytes text_bytes(const char* text) {
    return Bytes(text, text + std::strlen(text));
}

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

// What a child reports: key/value lines.
class Findings {
  public:
    void set(const std::string& key, const std::string& value) {
        text_ << key << '=' << value << '\n';
    }
    void set(const std::string& key, long long value) { set(key, std::to_string(value)); }
    std::string text() const { return text_.str(); }

  private:
    std::ostringstream text_;
};

struct ChildReport {
    std::map<std::string, std::string> values;
    std::string failure;  // the child did not finish
    std::string skip;
    std::string operator[](const std::string& key) const {
        const auto it = values.find(key);
        return it == values.end() ? "(not reported)" : it->second;
    }
    long long number(const std::string& key) const { return std::stoll((*this)[key]); }
};

// A failed set-up step inside the child.
struct SetupError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

ChildReport in_new_network_namespace(const std::function<void(Findings&)>& body) {
    int channel[2];
    if (::pipe2(channel, O_CLOEXEC) != 0) return {{}, "pipe failed", {}};
    const pid_t pid = ::fork();
    if (pid < 0) return {{}, "fork failed", {}};
    if (pid == 0) {
        ::close(channel[0]);
        ::alarm(30);  // a hung exchange must not hang the suite
        std::string out;
        if (::unshare(CLONE_NEWNET) != 0) {
            out = std::string("skip=cannot make a network namespace (") + std::strerror(errno) +
                  "); these cases need root or CAP_SYS_ADMIN\n";
        } else {
            Findings findings;
            try {
                body(findings);
                out = findings.text() + "done=1\n";
            } catch (const std::exception& e) {
                out = findings.text() + "error=" + e.what() + "\n";
            }
        }
        std::size_t written = 0;
        while (written < out.size()) {
            const ssize_t n = ::write(channel[1], out.data() + written, out.size() - written);
            if (n <= 0) break;
            written += static_cast<std::size_t>(n);
        }
        ::_exit(0);
    }
    ::close(channel[1]);
    std::string text;
    char chunk[512];
    ssize_t n;
    while ((n = ::read(channel[0], chunk, sizeof chunk)) > 0)
        text.append(chunk, static_cast<std::size_t>(n));
    ::close(channel[0]);
    int wait_status = 0;
    ::waitpid(pid, &wait_status, 0);

    ChildReport report;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const auto eq = line.find('=');
        if (eq != std::string::npos) report.values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    if (report.values.count("skip")) {
        report.skip = report.values["skip"];
    } else if (report.values.count("error")) {
        report.failure = "set-up in the namespace failed: " + report.values["error"];
    } else if (!WIFEXITED(wait_status) || report.values.count("done") == 0) {
        report.failure =
            "the child process did not finish (wait status " + std::to_string(wait_status) + ")";
    }
    return report;
}

#define RUN_IN_NAMESPACE(report, body)                         \
    const ChildReport report = in_new_network_namespace(body); \
    if (!report.skip.empty()) GTEST_SKIP() << report.skip;     \
    ASSERT_TRUE(report.failure.empty()) << report.failure

// Set-up helpers for the child, all inside its own namespace.

void bring_loopback_up() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    const bool ok = fd >= 0 && ::ioctl(fd, SIOCGIFFLAGS, &request) == 0 &&
                    (request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP),
                     ::ioctl(fd, SIOCSIFFLAGS, &request) == 0);
    if (fd >= 0) ::close(fd);
    if (!ok) throw SetupError("cannot bring lo up");
}

void shell(const std::string& command) {
    const std::string quiet = command + " >/dev/null 2>&1";
    if (std::system(quiet.c_str()) != 0)
        throw SetupError("'" + command + "' failed (is iproute2 installed?)");
}

void sysctl(const std::string& name, const std::string& value) {
    std::ofstream file("/proc/sys/net/ipv4/" + name);
    file << value;
    file.close();
    if (!file) throw SetupError("cannot set net.ipv4." + name);
}

// Datagram ICMP sockets for everyone, or for no one (the machine's own setting).
void allow_unprivileged_icmp(bool allow) {
    sysctl("ping_group_range", allow ? "0 2147483647" : "1 0");
}

// The echo service as the probe uses it, noting where each request went.
class RecordingService final : public probe::EchoService {
  public:
    std::string destinations;
    std::uint32_t inet_addr(const char* text) override { return real_.inet_addr(text); }
    probe::IcmpHandle IcmpCreateFile() override { return real_.IcmpCreateFile(); }
    std::uint32_t IcmpSendEcho(probe::IcmpHandle handle, std::uint32_t to, const void* data,
                               std::uint16_t size, void* options, void* reply,
                               std::uint32_t reply_size, std::uint32_t timeout_ms) override {
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &to, text, sizeof text);
        destinations += destinations.empty() ? text : std::string(" ") + text;
        return real_.IcmpSendEcho(handle, to, data, size, options, reply, reply_size, timeout_ms);
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
    a.elapsed_ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    service.IcmpCloseHandle(handle);
    std::memcpy(&a.record, reply, sizeof a.record);
    a.data.assign(reinterpret_cast<const char*>(reply) + sizeof a.record,
                  std::min<std::size_t>(a.record.DataSize, 64));
    return a;
}

void report_attempt(Findings& f, const std::string& prefix, const Attempt& a) {
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &a.record.Address, text, sizeof text);
    f.set(prefix + "returned", a.returned);
    f.set(prefix + "status", a.record.Status);
    f.set(prefix + "address", text);
    f.set(prefix + "data", a.data);
    f.set(prefix + "elapsed_ms", a.elapsed_ms);
}

std::string status_text(std::uint32_t status) {
    return std::to_string(status);
}

long long elapsed_ms_since(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST(ProbeNamespaceTest, NoNetworkAtAllIsANoQuickly) {
    RUN_IN_NAMESPACE(r, [](Findings& f) {
        // A fresh namespace: loopback down, no routes.
        RecordingService service;
        const auto start = Clock::now();
        f.set("up", probe::is_network_up(service));
        f.set("elapsed_ms", elapsed_ms_since(start));
        f.set("asked", service.destinations);
        report_attempt(f, "", exchange("8.8.8.8", 500));
    });
    EXPECT_EQ(r["up"], "0");
    EXPECT_EQ(r["asked"], "8.8.8.8 1.1.1.1");
    EXPECT_LT(r.number("elapsed_ms"), 300);  // a refused send does not wait for the timeout
    EXPECT_EQ(r["returned"], "0");
    EXPECT_EQ(r["status"], status_text(probe::IP_DEST_NET_UNREACHABLE));
}

TEST(ProbeNamespaceTest, LoopbackAnswersThroughProbeEcho) {
    for (const bool datagram : {false, true}) {
        SCOPED_TRACE(datagram ? "datagram ICMP socket" : "raw socket");
        RUN_IN_NAMESPACE(r, [datagram](Findings& f) {
            allow_unprivileged_icmp(datagram);
            bring_loopback_up();
            alignas(std::max_align_t) unsigned char reply[284];
            std::memset(reply, 0xEE, sizeof reply);
            probe::ProbeEcho(probe::system_echo_service(), "127.0.0.1", "testing", reply, 500);
            probe::ICMP_ECHO_REPLY record{};
            std::memcpy(&record, reply, sizeof record);
            f.set("status", record.Status);

            bool used_datagram = false;
            report_attempt(f, "direct_", exchange("127.0.0.1", 500, &used_datagram));
            f.set("datagram", used_datagram);
        });
        EXPECT_EQ(r["status"], "0");
        EXPECT_EQ(r["datagram"], datagram ? "1" : "0");
        EXPECT_EQ(r["direct_returned"], "1");
        EXPECT_EQ(r["direct_status"], "0");
        EXPECT_EQ(r["direct_address"], "127.0.0.1");
        EXPECT_EQ(r["direct_data"], "testing");
        EXPECT_LT(r.number("direct_elapsed_ms"), 100);
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
            bring_loopback_up();
            if (c.setup != nullptr) shell(c.setup);
            RecordingService service;
            f.set("up", probe::is_network_up(service));
            f.set("asked", service.destinations);
        });
        EXPECT_EQ(r["up"], c.up);
        EXPECT_EQ(r["asked"], c.asked);
    }
}

TEST(ProbeNamespaceTest, UnreachableRouteAndSilenceAreFailures) {
    RUN_IN_NAMESPACE(r, [](Findings& f) {
        bring_loopback_up();
        shell("ip route add unreachable 10.99.0.1");
        report_attempt(f, "unreachable_", exchange("10.99.0.1", 500));

        // An address that is there but does not answer echo requests.
        shell("ip addr add 8.8.8.8/32 dev lo");
        sysctl("icmp_echo_ignore_all", "1");
        report_attempt(f, "silent_", exchange("8.8.8.8", 200));
    });
    EXPECT_EQ(r["unreachable_returned"], "0");
    EXPECT_EQ(r["unreachable_status"], status_text(probe::IP_DEST_HOST_UNREACHABLE));
    EXPECT_LT(r.number("unreachable_elapsed_ms"), 100);

    EXPECT_EQ(r["silent_returned"], "0");
    EXPECT_EQ(r["silent_status"], status_text(probe::IP_REQ_TIMED_OUT));
    EXPECT_GE(r.number("silent_elapsed_ms"), 199);
    EXPECT_LT(r.number("silent_elapsed_ms"), 700);
}

TEST(ProbeNamespaceTest, NoIcmpSocketAtAllRaisesTheCreateError) {
    RUN_IN_NAMESPACE(r, [](Findings& f) {
        bring_loopback_up();
        allow_unprivileged_icmp(false);
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
        bring_loopback_up();
        allow_unprivileged_icmp(true);
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) throw SetupError("cannot drop root");
        bool used_datagram = false;
        report_attempt(f, "", exchange("127.0.0.1", 500, &used_datagram));
        f.set("datagram", used_datagram);
    });
    EXPECT_EQ(r["datagram"], "1");
    EXPECT_EQ(r["status"], "0");
    EXPECT_EQ(r["data"], "testing");
}

// Answers every echo request to 8.8.8.8 it sees with forged packets; the kernel's own
// replies are switched off. Runs in the child, inside its namespace.
class Forger {
  public:
    enum class Kind {
        correct_reply,
        other_identifier,
        other_sequence,
        from_other_address,
        host_unreachable,
    };

    explicit Forger(std::vector<Kind> kinds) : kinds_(std::move(kinds)) {
        listen_ = raw_socket(nullptr);
        as_destination_ = raw_socket("8.8.8.8");
        as_other_ = raw_socket("127.0.0.2");
        thread_ = std::thread([this] { serve(); });
    }
    ~Forger() {
        stop_ = true;
        thread_.join();
        for (int fd : {listen_, as_destination_, as_other_}) ::close(fd);
    }
    int answered() const { return answered_; }

  private:
    static int raw_socket(const char* bind_to) {
        const int fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
        if (fd < 0) throw SetupError("cannot open a raw socket");
        if (bind_to != nullptr) {
            sockaddr_in local{};
            local.sin_family = AF_INET;
            local.sin_addr.s_addr = address_of(bind_to);
            if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
                throw SetupError("cannot bind a raw socket");
            }
        }
        return fd;
    }

    void serve() {
        Bytes in(2048);
        while (!stop_) {
            pollfd p{listen_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            const ssize_t n = ::recv(listen_, in.data(), in.size(), 0);
            if (n < 28) continue;
            const std::size_t ihl = static_cast<std::size_t>(in[0] & 0x0F) * 4;
            std::uint32_t to = 0, from = 0;
            std::memcpy(&from, &in[12], 4);
            std::memcpy(&to, &in[16], 4);
            if (in[ihl] != 8 || to != address_of("8.8.8.8")) continue;
            const std::uint16_t id = static_cast<std::uint16_t>((in[ihl + 4] << 8) | in[ihl + 5]);
            const std::uint16_t seq = static_cast<std::uint16_t>((in[ihl + 6] << 8) | in[ihl + 7]);
            const Bytes payload(in.begin() + static_cast<long>(ihl) + 8, in.begin() + n);
            for (Kind kind : kinds_) {
                switch (kind) {
                    case Kind::correct_reply:
                        send(as_destination_, from, icmp_message(0, 0, id, seq, payload));
                        break;
                    case Kind::other_identifier:
                        send(as_destination_, from,
                             icmp_message(0, 0, static_cast<std::uint16_t>(id + 1), seq, payload));
                        break;
                    case Kind::other_sequence:
                        send(as_destination_, from,
                             icmp_message(0, 0, id, static_cast<std::uint16_t>(seq + 1), payload));
                        break;
                    case Kind::from_other_address:
                        send(as_other_, from, icmp_message(0, 0, id, seq, payload));
                        break;
                    case Kind::host_unreachable:
                        send(as_other_, from,
                             icmp_message(
                                 3, 1, 0, 0,
                                 Bytes(in.begin(), in.begin() + static_cast<long>(ihl) + 8)));
                        break;
                }
            }
            ++answered_;
        }
    }

    static void send(int fd, std::uint32_t to, const Bytes& message) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = to;
        ::sendto(fd, message.data(), message.size(), 0, reinterpret_cast<sockaddr*>(&address),
                 sizeof address);
    }

    std::vector<Kind> kinds_;
    int listen_ = -1, as_destination_ = -1, as_other_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<int> answered_{0};
    std::thread thread_;
};

void forged_network(bool datagram) {
    allow_unprivileged_icmp(datagram);
    bring_loopback_up();
    shell("ip addr add 8.8.8.8/32 dev lo");
    sysctl("icmp_echo_ignore_all", "1");
}

TEST(ProbeNamespaceTest, OnlyAReplyToOurRequestFromTheDestinationCounts) {
    using Kind = Forger::Kind;
    for (const bool datagram : {false, true}) {
        SCOPED_TRACE(datagram ? "datagram ICMP socket" : "raw socket");
        RUN_IN_NAMESPACE(r, [datagram](Findings& f) {
            forged_network(datagram);
            {
                Forger forger(
                    {Kind::other_identifier, Kind::other_sequence, Kind::from_other_address});
                report_attempt(f, "decoys_", exchange("8.8.8.8", 300));
                f.set("decoys_answered", forger.answered());
            }
            {
                // The same decoys, then the real thing: the control that the forger works.
                Forger forger({Kind::other_identifier, Kind::other_sequence,
                               Kind::from_other_address, Kind::correct_reply});
                report_attempt(f, "real_", exchange("8.8.8.8", 300));
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
        SCOPED_TRACE(datagram ? "datagram ICMP socket" : "raw socket");
        RUN_IN_NAMESPACE(r, [datagram](Findings& f) {
            forged_network(datagram);
            Forger forger({Forger::Kind::host_unreachable});
            report_attempt(f, "", exchange("8.8.8.8", 1000));
        });
        // Windows' convention: a report is a stored record, with the reporter's address.
        EXPECT_EQ(r["returned"], "1");
        EXPECT_EQ(r["status"], status_text(probe::IP_DEST_HOST_UNREACHABLE));
        EXPECT_EQ(r["address"], "127.0.0.2");
        EXPECT_LT(r.number("elapsed_ms"), 500);
    }
}

TEST(ProbeNamespaceTest, FloodOfUnrelatedIcmpDoesNotExtendTheWait) {
    RUN_IN_NAMESPACE(r, [](Findings& f) {
        forged_network(false);
        std::atomic<bool> stop{false};
        std::atomic<long long> sent{0};
        std::thread flood([&] {
            const int fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_addr.s_addr = address_of("127.0.0.1");
            const auto until = Clock::now() + std::chrono::seconds(3);  // bounded either way
            for (std::uint16_t id = 0; !stop && Clock::now() < until; ++id) {
                const Bytes m = icmp_message(0, 0, id, id, text_bytes("noise"));
                if (::sendto(fd, m.data(), m.size(), 0, reinterpret_cast<sockaddr*>(&to),
                             sizeof to) > 0) {
                    ++sent;
                }
            }
            ::close(fd);
        });
        const long long before = sent;
        const Attempt a = exchange("8.8.8.8", 300);
        f.set("flood_during", sent - before);
        stop = true;
        flood.join();
        report_attempt(f, "", a);
    });
    EXPECT_GT(r.number("flood_during"), 1000);
    EXPECT_EQ(r["status"], status_text(probe::IP_REQ_TIMED_OUT));
    EXPECT_GE(r.number("elapsed_ms"), 299);
    EXPECT_LT(r.number("elapsed_ms"), 700);
}

std::size_t open_descriptors() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

TEST(ProbeNamespaceTest, HandlesAreDescriptorsThatNoAttemptLeavesOpen) {
    RUN_IN_NAMESPACE(r, [](Findings& f) {
        bring_loopback_up();
        shell("ip route add unreachable 10.99.0.1");
        shell("ip addr add 8.8.8.8/32 dev lo");
        probe::EchoService& service = probe::system_echo_service();

        const probe::IcmpHandle handle = service.IcmpCreateFile();
        const int fd = static_cast<int>(handle);
        f.set("cloexec", (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0);
        f.set("closed_ok", service.IcmpCloseHandle(handle));
        f.set("gone", ::fcntl(fd, F_GETFD) == -1 && errno == EBADF);

        const std::size_t before = open_descriptors();
        int ups = 0;
        alignas(std::max_align_t) unsigned char reply[284];
        for (int round = 0; round < 20; ++round) {
            ups += probe::is_network_up(service);
            probe::ProbeEcho(service, "10.99.0.1", "testing", reply, 50);
            probe::ProbeEcho(service, "127.0.0.1", "testing", reply, 50);
            try {
                probe::ProbeEcho(service, "255.255.255.255", "testing", reply, 50);
            } catch (const std::runtime_error&) {
            }
        }
        sysctl("icmp_echo_ignore_all", "1");
        for (int round = 0; round < 5; ++round) {
            probe::ProbeEcho(service, "127.0.0.1", "testing", reply, 5);
        }
        allow_unprivileged_icmp(true);
        for (int round = 0; round < 5; ++round) {
            probe::ProbeEcho(service, "127.0.0.1", "testing", reply, 5);
        }
        f.set("ups", ups);
        f.set("leaked",
              static_cast<long long>(open_descriptors()) - static_cast<long long>(before));
    });
    EXPECT_EQ(r["cloexec"], "1");
    EXPECT_EQ(r["closed_ok"], "1");
    EXPECT_EQ(r["gone"], "1");
    EXPECT_EQ(r["ups"], "20");
    EXPECT_EQ(r["leaked"], "0");
}

}  // namespace

#endif  // __linux__
