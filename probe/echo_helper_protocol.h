#pragma once
// What the program and its echo helper say to each other over their socket pair (a
// SOCK_SEQPACKET pair: one message, one request or answer). The helper holds the raw ICMP
// socket where unprivileged ICMP is off; all it does for the program is echo exchanges, so a
// request names one destination, one timeout and the payload, and an answer carries the outcome
// as IcmpSendEcho would leave it. Both ends run on one machine: numbers are in host byte order,
// addresses in network byte order. C library only (the helper links nothing else).

#include <cstddef>
#include <cstdint>

#include "icmp_dll.h"

namespace probe::echo_helper {

inline constexpr std::uint32_t request_magic = 0x4B455131;  // "KEQ1"
inline constexpr std::uint32_t answer_magic = 0x4B454131;   // "KEA1"
// The payload fits the echo service's reply buffer after the record and the ICMP header.
inline constexpr std::uint16_t largest_data = 248;
// No exchange waits longer than a minute.
inline constexpr std::uint32_t longest_timeout_ms = 60000;

struct Request {
    std::uint32_t id = 0;           // echoed in the answer: a late answer is told apart
    std::uint32_t destination = 0;  // IPv4, network byte order
    std::uint32_t timeout_ms = 0;
    std::uint16_t size = 0;
    std::uint8_t data[largest_data] = {};
};

// magic, id, destination, timeout, size, then `size` bytes of data.
inline constexpr std::size_t request_header_size = 18;
inline constexpr std::size_t largest_request = request_header_size + largest_data;

enum class Outcome : std::uint32_t {
    answered = 0,   // the exchange was made: `replies` and `reply` are IcmpSendEcho's
    ready = 1,      // the helper's first word: it holds its socket and dropped its privileges
    no_socket = 2,  // the helper's first and last word: no raw socket here (detail: errno)
    refused = 3,    // the request was not one (detail: a Refusal)
};

enum class Refusal : std::uint32_t {
    none = 0,
    malformed = 1,    // wrong size or magic
    data_size = 2,    // payload larger than largest_data
    timeout = 3,      // longer than longest_timeout_ms
    destination = 4,  // not a unicast address: broadcast, multicast or 0.0.0.0
};

struct Answer {
    std::uint32_t magic = answer_magic;
    std::uint32_t id = 0;
    Outcome outcome = Outcome::answered;
    std::uint32_t detail = 0;
    std::uint32_t replies = 0;
    std::uint8_t reply[reply_buffer_size] = {};
};

// The request for one exchange: the payload cut to largest_data, the timeout to
// longest_timeout_ms.
Request make_request(std::uint32_t id, std::uint32_t destination, const void* data,
                     std::uint16_t size, std::uint32_t timeout_ms);

// Puts an answer's outcome into `reply` (`reply_size` bytes) as IcmpSendEcho leaves it; returns
// the records stored (0, with a general failure, for a request the helper refused).
std::uint32_t take_outcome(const Answer& answer, void* reply, std::uint32_t reply_size);

// Lays `request` out for the wire; returns its size.
std::size_t encode_request(const Request& request, std::uint8_t (&out)[largest_request]);

// Reads one request message of `size` bytes; Refusal::none when it is one the helper serves.
Refusal parse_request(const std::uint8_t* message, std::size_t size, Request& request);

}  // namespace probe::echo_helper
