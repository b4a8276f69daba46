// One ICMP echo exchange on a socket. C library only: the echo helper links nothing else, so
// no allocation, exceptions or C++ runtime here.
#include "echo_exchange.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#ifdef __linux__
#include <linux/errqueue.h>
#endif

namespace probe {

namespace icmp_packet {

namespace {

std::uint16_t read_be16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

std::uint32_t read_address(const std::uint8_t* p) {
    std::uint32_t address = 0;
    ::memcpy(&address, p, sizeof address);
    return address;
}

bool is_error_report(std::uint8_t type) {
    return type == dest_unreachable_type || type == source_quench_type ||
           type == time_exceeded_type || type == parameter_problem_type;
}

// True when `icmp` is the first bytes of the echo request we sent.
bool quotes_request(const std::uint8_t* icmp, std::size_t size, const EchoRequest& request) {
    return size >= icmp_header_size && icmp[0] == echo_request_type &&
           read_be16(icmp + 4) == request.identifier && read_be16(icmp + 6) == request.sequence;
}

// Length of a well-formed IPv4 header carrying ICMP at the start of `p`, or 0.
std::size_t icmp_ip_header_size(const std::uint8_t* p, std::size_t size) {
    constexpr std::uint8_t icmp_protocol = 1;
    if (size < 20 || (p[0] >> 4) != 4) return 0;
    const std::size_t header_size = static_cast<std::size_t>(p[0] & 0x0F) * 4;
    if (header_size < 20 || header_size > size || p[9] != icmp_protocol) return 0;
    return header_size;
}

}  // namespace

std::uint16_t internet_checksum(const std::uint8_t* bytes, std::size_t size) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < size; i += 2) sum += read_be16(bytes + i);
    if (size % 2 != 0) sum += static_cast<std::uint32_t>(bytes[size - 1]) << 8;
    while (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

void build_echo_request(std::uint8_t* out, std::uint16_t identifier, std::uint16_t sequence,
                        const void* data, std::uint16_t size) {
    out[0] = echo_request_type;
    out[1] = 0;
    out[2] = 0;
    out[3] = 0;
    out[4] = static_cast<std::uint8_t>(identifier >> 8);
    out[5] = static_cast<std::uint8_t>(identifier);
    out[6] = static_cast<std::uint8_t>(sequence >> 8);
    out[7] = static_cast<std::uint8_t>(sequence);
    if (size != 0) ::memcpy(out + icmp_header_size, data, size);
    const std::uint16_t checksum = internet_checksum(out, icmp_header_size + size);
    out[2] = static_cast<std::uint8_t>(checksum >> 8);
    out[3] = static_cast<std::uint8_t>(checksum);
}

Classification classify(const std::uint8_t* packet, std::size_t size, bool with_ip_header,
                        std::uint32_t source, const EchoRequest& request) {
    Classification result;
    std::size_t offset = 0;
    if (with_ip_header) {
        offset = icmp_ip_header_size(packet, size);
        if (offset == 0) return result;
    }
    const std::uint8_t* icmp = packet + offset;
    const std::size_t icmp_size = size - offset;
    if (icmp_size < icmp_header_size) return result;
    // A raw socket sees packets before the stack has checked them.
    if (with_ip_header && internet_checksum(icmp, icmp_size) != 0) return result;

    const std::uint8_t type = icmp[0];
    if (type == echo_reply_type) {
        if (source != request.destination || read_be16(icmp + 4) != request.identifier ||
            read_be16(icmp + 6) != request.sequence) {
            return result;
        }
        result.verdict = Verdict::echo_reply;
        result.status = IP_SUCCESS;
        result.data_offset = offset + icmp_header_size;
        result.data_size = icmp_size - icmp_header_size;
        return result;
    }
    if (!is_error_report(type)) return result;

    // An error report quotes the offending IP header and the first 8 bytes after it.
    const std::uint8_t* quoted = icmp + icmp_header_size;
    const std::size_t quoted_size = icmp_size - icmp_header_size;
    const std::size_t quoted_header_size = icmp_ip_header_size(quoted, quoted_size);
    if (quoted_header_size == 0 || read_address(quoted + 16) != request.destination ||
        !quotes_request(quoted + quoted_header_size, quoted_size - quoted_header_size, request)) {
        return result;
    }
    result.verdict = Verdict::error_report;
    result.status = status_for_icmp_error(type, icmp[1]);
    return result;
}

Classification classify_queued_error(std::uint8_t type, std::uint8_t code,
                                     const std::uint8_t* quoted, std::size_t size,
                                     std::uint32_t original_destination,
                                     const EchoRequest& request) {
    Classification result;
    if (!is_error_report(type) || original_destination != request.destination ||
        !quotes_request(quoted, size, request)) {
        return result;
    }
    result.verdict = Verdict::error_report;
    result.status = status_for_icmp_error(type, code);
    return result;
}

std::uint32_t status_for_icmp_error(std::uint8_t type, std::uint8_t code) {
    switch (type) {
        case dest_unreachable_type:
            switch (code) {
                case 0:   // network
                case 6:   // network unknown
                case 9:   // network administratively prohibited
                case 11:  // network for type of service
                    return IP_DEST_NET_UNREACHABLE;
                case 2:
                    return IP_DEST_PROT_UNREACHABLE;
                case 3:
                    return IP_DEST_PORT_UNREACHABLE;
                case 4:
                    return IP_PACKET_TOO_BIG;
                case 5:
                    return IP_BAD_ROUTE;
                default:
                    return IP_DEST_HOST_UNREACHABLE;
            }
        case source_quench_type:
            return IP_SOURCE_QUENCH;
        case time_exceeded_type:
            return code == 0 ? IP_TTL_EXPIRED_TRANSIT : IP_TTL_EXPIRED_REASSEM;
        case parameter_problem_type:
            return IP_PARAM_PROBLEM;
        default:
            return IP_GENERAL_FAILURE;
    }
}

}  // namespace icmp_packet

namespace {

using icmp_packet::Classification;
using icmp_packet::Verdict;

template <typename T>
T smallest(T a, T b) {
    return b < a ? b : a;
}

// Identifiers and sequence numbers differ from attempt to attempt and from process to process
// (forked ones included), so that a late reply to an earlier attempt, or another process's
// reply, is never taken for this one's.
std::uint32_t next_nonce() {
    static std::uint32_t counter = 0;
    if (counter == 0) counter = static_cast<std::uint32_t>(monotonic_ms() * 1000003 + 1);
    std::uint32_t x = __atomic_fetch_add(&counter, 1, __ATOMIC_RELAXED) +
                      static_cast<std::uint32_t>(::getpid()) * 2654435761u;
    x ^= x >> 16;
    x *= 0x7feb352dU;
    x ^= x >> 15;
    x *= 0x846ca68bU;
    x ^= x >> 16;
    return x;
}

std::uint32_t status_for_send_error(int error) {
    switch (error) {
        case ENETUNREACH:
        case ENETDOWN:
            return IP_DEST_NET_UNREACHABLE;
        case EHOSTUNREACH:
        case EHOSTDOWN:
            return IP_DEST_HOST_UNREACHABLE;
        case EMSGSIZE:
            return IP_PACKET_TOO_BIG;
        default:
            return IP_GENERAL_FAILURE;
    }
}

sockaddr_in ipv4_socket_address(std::uint32_t address) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_addr.s_addr = address;
    return result;
}

}  // namespace

std::int64_t monotonic_ms() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int open_icmp_socket(int type) {
#ifdef SOCK_CLOEXEC
    return ::socket(AF_INET, type | SOCK_CLOEXEC, IPPROTO_ICMP);
#else
    const int fd = ::socket(AF_INET, type, IPPROTO_ICMP);
    if (fd >= 0) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    return fd;
#endif
}

std::uint32_t route_status(std::uint32_t destination) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return IP_SUCCESS;  // cannot tell: the exchange itself will
    sockaddr_in to = ipv4_socket_address(destination);
    to.sin_port = htons(9);  // connect() sends nothing on a UDP socket; any port will do
    const int connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    const int error = errno;
    ::close(fd);
    if (connected == 0) return IP_SUCCESS;
    return error == ENETUNREACH || error == EHOSTUNREACH ? status_for_send_error(error)
                                                         : IP_SUCCESS;
}

EchoExchange::EchoExchange(int fd, bool raw, std::uint32_t destination, void* reply,
                           std::uint32_t reply_size)
    : fd_(fd), raw_(raw), reply_(static_cast<std::uint8_t*>(reply)), reply_size_(reply_size) {
    request_.destination = destination;
}

bool EchoExchange::send(const void* data, std::uint16_t size) {
    if (reply_size_ < sizeof(ICMP_ECHO_REPLY) + size + icmp_packet::icmp_header_size) {
        fail(IP_BUF_TOO_SMALL);
        return false;
    }
    prepare_socket();

    const std::uint32_t nonce = next_nonce();
    request_.identifier = static_cast<std::uint16_t>(nonce >> 16);
    request_.sequence = static_cast<std::uint16_t>(nonce);
    icmp_packet::build_echo_request(packet_, request_.identifier, request_.sequence, data, size);

    start_ms_ = monotonic_ms();
    const sockaddr_in to = ipv4_socket_address(request_.destination);
    ssize_t sent = -1;
    do {
        sent = ::sendto(fd_, packet_, icmp_packet::icmp_header_size + size, 0,
                        reinterpret_cast<const sockaddr*>(&to), sizeof to);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) {
        fail(status_for_send_error(errno));
        return false;
    }
    if (!raw_ && !read_kernel_identifier()) {
        fail(IP_GENERAL_FAILURE);
        return false;
    }
    return true;
}

bool EchoExchange::take(short revents) {
    if ((revents & POLLERR) != 0 && read_queued_error()) return true;
    if ((revents & POLLIN) != 0 && read_packet()) return true;
    if ((revents & POLLNVAL) != 0) {
        fail(IP_GENERAL_FAILURE);
        return true;
    }
    return false;
}

void EchoExchange::time_out() {
    fail(IP_REQ_TIMED_OUT);
}

void EchoExchange::abandon() {
    fail(IP_GENERAL_FAILURE);
}

void EchoExchange::prepare_socket() {
#ifdef __linux__
    if (raw_) {
        // Let through only what can answer an echo request (SOL_RAW/ICMP_FILTER: a set bit
        // drops that type).
        constexpr int icmp_filter_option = 1;
        const std::uint32_t wanted =
            (1u << icmp_packet::echo_reply_type) | (1u << icmp_packet::dest_unreachable_type) |
            (1u << icmp_packet::source_quench_type) | (1u << icmp_packet::time_exceeded_type) |
            (1u << icmp_packet::parameter_problem_type);
        const std::uint32_t filter = ~wanted;
        ::setsockopt(fd_, SOL_RAW, icmp_filter_option, &filter, sizeof filter);
    } else {
        // Datagram ICMP sockets hand ICMP errors over only through the error queue.
        const int on = 1;
        ::setsockopt(fd_, IPPROTO_IP, IP_RECVERR, &on, sizeof on);
    }
#endif
}

// A datagram ICMP socket replaces the identifier with its own port.
bool EchoExchange::read_kernel_identifier() {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length) != 0) return false;
    request_.identifier = ntohs(local.sin_port);
    return true;
}

bool EchoExchange::read_packet() {
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const ssize_t received = ::recvfrom(fd_, packet_, sizeof packet_, MSG_DONTWAIT,
                                        reinterpret_cast<sockaddr*>(&from), &length);
    if (received < 0) return false;  // nothing after all, or a pending socket error
    const std::uint32_t source = from.sin_addr.s_addr;
    const Classification c =
        icmp_packet::classify(packet_, static_cast<std::size_t>(received), raw_, source, request_);
    if (c.verdict == Verdict::unrelated) return false;
    store(c, source, packet_ + c.data_offset, c.data_size);
    return true;
}

bool EchoExchange::read_queued_error() {
#ifdef __linux__
    sockaddr_in original{};
    alignas(cmsghdr) std::uint8_t control[512];
    iovec part{packet_, sizeof packet_};
    msghdr message{};
    message.msg_name = &original;
    message.msg_namelen = sizeof original;
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t received = ::recvmsg(fd_, &message, MSG_ERRQUEUE | MSG_DONTWAIT);
    if (received < 0) {
        // An error with nothing queued: take it off the socket, or poll keeps waking.
        int pending = 0;
        socklen_t length = sizeof pending;
        ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &pending, &length);
        return false;
    }
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_RECVERR) continue;
        sock_extended_err error{};
        ::memcpy(&error, CMSG_DATA(c), sizeof error);
        if (error.ee_origin != SO_EE_ORIGIN_ICMP) continue;
        const Classification verdict = icmp_packet::classify_queued_error(
            error.ee_type, error.ee_code, packet_, static_cast<std::size_t>(received),
            original.sin_addr.s_addr, request_);
        if (verdict.verdict == Verdict::unrelated) continue;
        // The reporter's address follows the extended error.
        sockaddr_in reporter{};
        const std::size_t reporter_offset = sizeof(sock_extended_err);
        if (c->cmsg_len >= CMSG_LEN(reporter_offset + sizeof reporter)) {
            ::memcpy(&reporter, CMSG_DATA(c) + reporter_offset, sizeof reporter);
        }
        store(verdict, reporter.sin_addr.s_addr, nullptr, 0);
        return true;
    }
#endif
    return false;
}

void EchoExchange::store(const Classification& c, std::uint32_t address, const std::uint8_t* data,
                         std::size_t data_size) {
    const std::size_t room = reply_size_ - sizeof(ICMP_ECHO_REPLY);
    data_size = smallest(smallest(data_size, room), std::size_t{0xFFFF});
    ICMP_ECHO_REPLY record{};
    record.Address = address;
    record.Status = c.status;
    record.RoundTripTime = static_cast<std::uint32_t>(monotonic_ms() - start_ms_);
    record.DataSize = static_cast<std::uint16_t>(data_size);
    ::memcpy(reply_, &record, sizeof record);
    if (data != nullptr && data_size != 0) ::memcpy(reply_ + sizeof record, data, data_size);
    replies_ = 1;
}

void EchoExchange::fail(std::uint32_t status) {
    ICMP_ECHO_REPLY record{};
    record.Status = status;
    ::memcpy(reply_, &record, sizeof record);
    replies_ = 0;
}

std::uint32_t exchange_on_socket(int fd, bool raw, std::uint32_t destination, const void* data,
                                 std::uint16_t size, void* reply, std::uint32_t reply_size,
                                 std::uint32_t timeout_ms) {
    EchoExchange exchange(fd, raw, destination, reply, reply_size);
    if (!exchange.send(data, size)) return 0;
    const std::int64_t deadline = monotonic_ms() + timeout_ms;
    for (;;) {
        const std::int64_t now = monotonic_ms();
        if (now >= deadline) {
            exchange.time_out();
            return 0;
        }
        pollfd watch{fd, POLLIN, 0};
        const int ready =
            ::poll(&watch, 1, static_cast<int>(smallest<std::int64_t>(deadline - now, INT_MAX)));
        if (ready < 0) {
            if (errno == EINTR) continue;
            exchange.abandon();
            return 0;
        }
        if (ready == 0) continue;  // the deadline check above ends the wait
        if (exchange.take(watch.revents)) return exchange.replies();
    }
}

}  // namespace probe
