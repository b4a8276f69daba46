#pragma once
// One ICMP echo exchange on a socket: the request, and the reading of what comes back. The
// program's echo service runs it on an unprivileged datagram socket, the echo helper on its raw
// socket. It uses the C library alone (no C++ runtime), as the helper links nothing else.

#include <cstddef>
#include <cstdint>

#include "icmp_dll.h"

namespace probe {

// How an exchange reads what its socket receives; exposed so that it can be checked on
// crafted packets.
namespace icmp_packet {

inline constexpr std::uint8_t echo_reply_type = 0;
inline constexpr std::uint8_t dest_unreachable_type = 3;
inline constexpr std::uint8_t source_quench_type = 4;
inline constexpr std::uint8_t echo_request_type = 8;
inline constexpr std::uint8_t time_exceeded_type = 11;
inline constexpr std::uint8_t parameter_problem_type = 12;
inline constexpr std::size_t icmp_header_size = 8;

// The request an attempt waits on. Addresses are in network byte order, the rest in host
// byte order.
struct EchoRequest {
    std::uint32_t destination;
    std::uint16_t identifier;
    std::uint16_t sequence;
};

enum class Verdict { unrelated, echo_reply, error_report };

struct Classification {
    Verdict verdict = Verdict::unrelated;
    std::uint32_t status = IP_GENERAL_FAILURE;  // IP_SUCCESS for an echo reply
    std::size_t data_offset = 0;                // echo reply: where the echoed data starts
    std::size_t data_size = 0;
};

// RFC 1071 checksum, as stored in the header (already complemented).
std::uint16_t internet_checksum(const std::uint8_t* bytes, std::size_t size);

// An echo request with its checksum; `out` must hold icmp_header_size + size bytes.
void build_echo_request(std::uint8_t* out, std::uint16_t identifier, std::uint16_t sequence,
                        const void* data, std::uint16_t size);

// Classifies one received packet: the IPv4 header first when `with_ip_header` (raw
// sockets), else the ICMP message alone (datagram ICMP sockets). `source` is the sender
// the socket reported. Only an echo reply to our identifier and sequence from the
// destination, or an error report quoting our request to the destination, is related.
Classification classify(const std::uint8_t* packet, std::size_t size, bool with_ip_header,
                        std::uint32_t source, const EchoRequest& request);

// Classifies an ICMP error taken from a datagram socket's error queue: `quoted` is the
// ICMP message we sent as the report quotes it, `original_destination` where it went.
Classification classify_queued_error(std::uint8_t type, std::uint8_t code,
                                     const std::uint8_t* quoted, std::size_t size,
                                     std::uint32_t original_destination,
                                     const EchoRequest& request);

// The reply status an ICMP error report of this type and code stands for.
std::uint32_t status_for_icmp_error(std::uint8_t type, std::uint8_t code);

}  // namespace icmp_packet

// Milliseconds on the monotonic clock.
std::int64_t monotonic_ms();

// An ICMP socket of `type` (SOCK_DGRAM or SOCK_RAW), close-on-exec; -1 when refused.
int open_icmp_socket(int type);

// IP_SUCCESS when the system has a route to `destination`, else the status a send there gets
// (unreachable network or host). Asks the routing table through a UDP socket: no privilege, no
// packet.
std::uint32_t route_status(std::uint32_t destination);

// One attempt on one ICMP socket that the caller owns and waits on: send(), then take() each
// time the socket is ready, or time_out() when the caller's deadline passes. The outcome goes
// to `reply` as IcmpSendEcho writes it: a reply record, then the echoed data.
class EchoExchange {
  public:
    EchoExchange(int fd, bool raw, std::uint32_t destination, void* reply,
                 std::uint32_t reply_size);

    // Sends the request; false when the exchange is over already (the send was refused, or
    // `reply` has no room for the answer).
    bool send(const void* data, std::uint16_t size);
    // Reads what the socket has for us (`revents` as poll() reports); true when the exchange
    // is over.
    bool take(short revents);
    // The wait ran out: a timeout.
    void time_out();
    // The wait itself failed.
    void abandon();
    // Reply records stored (0 or 1), once the exchange is over.
    std::uint32_t replies() const { return replies_; }

  private:
    void prepare_socket();
    bool read_kernel_identifier();
    bool read_packet();
    bool read_queued_error();
    void store(const icmp_packet::Classification& c, std::uint32_t address,
               const std::uint8_t* data, std::size_t data_size);
    void fail(std::uint32_t status);

    int fd_;
    bool raw_;
    std::uint8_t* reply_;
    std::uint32_t reply_size_;
    icmp_packet::EchoRequest request_{};
    std::int64_t start_ms_ = 0;
    std::uint32_t replies_ = 0;
    // The largest IPv4 header, an ICMP header and the largest payload a request may carry.
    static constexpr std::size_t largest_packet = 60 + icmp_packet::icmp_header_size + 0xFFFF;
    std::uint8_t packet_[largest_packet];
};

// The whole exchange, waiting in poll() until an answer or `timeout_ms`: IcmpSendEcho on an
// ICMP socket. Returns the reply records stored.
std::uint32_t exchange_on_socket(int fd, bool raw, std::uint32_t destination, const void* data,
                                 std::uint16_t size, void* reply, std::uint32_t reply_size,
                                 std::uint32_t timeout_ms);

}  // namespace probe
