#include "icmp_packets.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <random>
#include <stdexcept>

#include "netns.h"

namespace kestrun_test {

namespace {

// Big-endian.
void put16(Bytes& bytes, std::size_t at, std::uint16_t value) {
    bytes[at] = static_cast<std::uint8_t>(value >> 8);
    bytes[at + 1] = static_cast<std::uint8_t>(value);
}

// Fills in the checksum of the ICMP message starting at `icmp_offset`: a plain
// one's-complement sum.
void seal_icmp(Bytes& bytes, std::size_t icmp_offset) {
    bytes[icmp_offset + 2] = bytes[icmp_offset + 3] = 0;
    std::uint32_t sum = 0;
    for (std::size_t i = icmp_offset; i < bytes.size(); i += 2) {
        sum += static_cast<std::uint32_t>(bytes[i]) << 8;
        if (i + 1 < bytes.size()) sum += bytes[i + 1];
    }
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    put16(bytes, icmp_offset + 2, static_cast<std::uint16_t>(~sum));
}

std::optional<EchoRequestSeen> parse_echo_request(const std::uint8_t* packet, std::size_t size) {
    if (size < 20 || (packet[0] >> 4) != 4) return std::nullopt;
    const std::size_t ihl = static_cast<std::size_t>(packet[0] & 0x0F) * 4;
    if (ihl < 20 || size < ihl + 8 || packet[9] != IPPROTO_ICMP || packet[ihl] != 8)
        return std::nullopt;
    EchoRequestSeen r;
    std::memcpy(&r.from, packet + 12, 4);
    std::memcpy(&r.to, packet + 16, 4);
    r.identifier = static_cast<std::uint16_t>((packet[ihl + 4] << 8) | packet[ihl + 5]);
    r.sequence = static_cast<std::uint16_t>((packet[ihl + 6] << 8) | packet[ihl + 7]);
    r.payload.assign(packet + ihl + 8, packet + size);
    r.quote.assign(packet, packet + ihl + 8);
    return r;
}

}  // namespace

std::uint32_t address_of(const std::string& dotted) {
    in_addr address{};
    if (::inet_pton(AF_INET, dotted.c_str(), &address) != 1) throw std::invalid_argument(dotted);
    return address.s_addr;
}

std::string dotted(std::uint32_t address) {
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

Bytes icmp_message(std::uint8_t type, std::uint8_t code, std::uint16_t identifier,
                   std::uint16_t sequence, const Bytes& body) {
    Bytes b(8);
    b[0] = type;
    b[1] = code;
    put16(b, 4, identifier);
    put16(b, 6, sequence);
    b.insert(b.end(), body.begin(), body.end());
    seal_icmp(b, 0);
    return b;
}

Bytes ip_packet(std::uint32_t source, std::uint32_t destination, const Bytes& payload,
                std::size_t option_words, std::uint8_t protocol) {
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

Bytes text_bytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

int raw_icmp_socket(bool echo_requests_only) {
    const int fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd < 0) throw SetupError("cannot open a raw socket");
    const int on = 1;
    bool ok = ::setsockopt(fd, IPPROTO_IP, IP_HDRINCL, &on, sizeof on) == 0;
    if (ok && echo_requests_only) {
        // SOL_RAW/ICMP_FILTER: a set bit drops that type. A flood of forged replies cannot
        // then crowd the requests out of the receive buffer.
        constexpr int icmp_filter_option = 1;
        const std::uint32_t filter = ~(1u << 8);
        ok = ::setsockopt(fd, SOL_RAW, icmp_filter_option, &filter, sizeof filter) == 0;
    }
    if (!ok) {
        ::close(fd);
        throw SetupError("cannot set up a raw socket");
    }
    return fd;
}

bool send_ip_packet(int raw_socket, const Bytes& packet) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    std::memcpy(&to.sin_addr.s_addr, &packet[16], 4);
    return ::sendto(raw_socket, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to),
                    sizeof to) > 0;
}

EchoForger::EchoForger(std::vector<Kind> each_request, std::vector<Kind> flood)
    : elsewhere_(address_of(other_address)),
      each_request_(std::move(each_request)),
      flood_(std::move(flood)) {
    listen_ = raw_icmp_socket(true);
    try {
        send_ = raw_icmp_socket();
    } catch (...) {
        ::close(listen_);
        throw;
    }
    watcher_ = std::thread([this] { watch(); });
    if (!flood_.empty()) flooder_ = std::thread([this] { this->flood(); });
}

EchoForger::~EchoForger() {
    stop_ = true;
    watcher_.join();
    if (flooder_.joinable()) flooder_.join();
    ::close(listen_);
    ::close(send_);
}

void EchoForger::answer_each_request_with(std::vector<Kind> kinds) {
    const std::lock_guard<std::mutex> lock(mutex_);
    each_request_ = std::move(kinds);
}

void EchoForger::watch() {
    std::mt19937 random(5);
    Bytes in(2048);
    while (!stop_) {
        pollfd p{listen_, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        const ssize_t n = ::recv(listen_, in.data(), in.size(), 0);
        if (n <= 0) continue;
        const std::optional<EchoRequestSeen> request =
            parse_echo_request(in.data(), static_cast<std::size_t>(n));
        if (!request) continue;  // our own forgeries come back too
        std::vector<Kind> kinds;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            kinds = each_request_;
            latest_ = request;
        }
        for (const Kind kind : kinds)
            answer(*request, kind, static_cast<std::uint16_t>(1 + random() % 0xFFFE));
        ++requests_;
    }
}

void EchoForger::flood() {
    std::mt19937 random(7);
    while (!stop_) {
        std::optional<EchoRequestSeen> request;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            request = latest_;
        }
        if (!request) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        for (const Kind kind : flood_)
            answer(*request, kind, static_cast<std::uint16_t>(1 + random() % 0xFFFE));
    }
}

// `other` (never 0) makes the identifier or sequence number of a decoy another one.
void EchoForger::answer(const EchoRequestSeen& r, Kind kind, std::uint16_t other) {
    const auto reply = [&](std::uint16_t identifier, std::uint16_t sequence) {
        return icmp_message(0, 0, identifier, sequence, r.payload);
    };
    Bytes packet;
    switch (kind) {
        case Kind::correct_reply:
            packet = ip_packet(r.to, r.from, reply(r.identifier, r.sequence));
            break;
        case Kind::other_identifier:
            packet = ip_packet(r.to, r.from,
                               reply(static_cast<std::uint16_t>(r.identifier ^ other), r.sequence));
            break;
        case Kind::other_sequence:
            packet = ip_packet(r.to, r.from,
                               reply(r.identifier, static_cast<std::uint16_t>(r.sequence ^ other)));
            break;
        case Kind::from_other_address:
            packet = ip_packet(elsewhere_, r.from, reply(r.identifier, r.sequence));
            break;
        case Kind::host_unreachable:
            packet = ip_packet(elsewhere_, r.from, icmp_message(3, 1, 0, 0, r.quote));
            break;
    }
    if (send_ip_packet(send_, packet)) ++sent_;
}

}  // namespace kestrun_test
