#pragma once
// What the program and its echo helper say to each other over their socket pair (a
// SOCK_SEQPACKET pair: one message, one request or answer). The helper holds the raw ICMP
// socket where unprivileged ICMP is off, and any local user may start it, so it serves the
// probe's job and nothing a caller can widen: a request only chooses which of the two probe
// addresses to ask; the payload and the timeout are the probe's own, compiled in; and it paces
// itself. An answer carries the outcome as IcmpSendEcho would leave it. Both ends run on one
// machine: numbers are in host byte order. C library only (the helper links nothing else).

#include <cstddef>
#include <cstdint>

#include "icmp_dll.h"

namespace probe::echo_helper {

inline constexpr std::uint32_t request_magic = 0x4B455132;  // "KEQ2"
inline constexpr std::uint32_t answer_magic = 0x4B454132;   // "KEA2"

// Which probe address a request asks.
enum class Target : std::uint32_t { first = 0, second = 1 };

struct Request {
    std::uint32_t id = 0;  // echoed in the answer: a late answer is told apart
    Target target = Target::first;
};

// magic, id, target: nothing else is ever read from a caller.
inline constexpr std::size_t request_size = 12;

enum class Outcome : std::uint32_t {
    answered = 0,   // the exchange was made: `replies` and `reply` are IcmpSendEcho's
    ready = 1,      // the helper's first word: it holds its socket and dropped its privileges
    no_socket = 2,  // the helper's first and last word: no raw socket here (detail: errno)
    refused = 3,    // the message was not served (detail: a Refusal); nothing was sent
};

enum class Refusal : std::uint32_t {
    none = 0,
    malformed = 1,  // wrong size or magic
    target = 2,     // not one of the probe addresses
    paced = 3,      // more requests than the probe ever makes: wait for the bucket to refill
};

struct Answer {
    std::uint32_t magic = answer_magic;
    std::uint32_t id = 0;  // the request's, or 0 for a message that was not a request
    Outcome outcome = Outcome::answered;
    std::uint32_t detail = 0;
    std::uint32_t replies = 0;
    std::uint8_t reply[reply_buffer_size] = {};
};

// The helper's pace. The probe's own policy asks at most five tests at once and one a second
// after that, besides one a tick (every 5 s), each test at most two echoes: at most 12 echoes at
// once and 2.4 a second. The helper allows exactly that much: a bucket of 12 echoes that gains
// one every 400 ms.
inline constexpr std::uint32_t echoes_at_once = 12;
inline constexpr std::uint32_t echo_refill_ms = 400;

// The helper answers a request within the probe's timeout; a caller waits this much longer for
// starting and scheduling before it takes the helper for hung.
inline constexpr std::uint32_t answer_grace_ms = 1000;

// The probe address `destination` (network byte order) is, when the exchange asked for is one
// the helper makes: that destination and the probe's own payload. False otherwise.
bool target_for(std::uint32_t destination, const void* data, std::size_t size, Target& target);
// The destination of `target`, in network byte order.
std::uint32_t destination_of(Target target);

// Puts an answer's outcome into `reply` (`reply_size` bytes) as IcmpSendEcho leaves it; returns
// the records stored (0, with a general failure, for a request the helper refused).
std::uint32_t take_outcome(const Answer& answer, void* reply, std::uint32_t reply_size);

// Lays `request` out for the wire.
void encode_request(const Request& request, std::uint8_t (&out)[request_size]);

// Reads one message of `size` bytes; Refusal::none when it is a request the helper serves. The
// id is read whenever the message has a request's size and magic.
Refusal parse_request(const std::uint8_t* message, std::size_t size, Request& request);

// The helper's pace: a bucket of `echoes_at_once` that gains one echo every `echo_refill_ms`.
class EchoPace {
  public:
    // True, and one echo is spent, when the bucket has one at `now_ms` (monotonic).
    bool take(std::int64_t now_ms);

  private:
    std::int64_t refilled_ms_ = -1;
    std::uint32_t echoes_ = echoes_at_once;
};

}  // namespace probe::echo_helper
