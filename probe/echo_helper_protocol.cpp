#include "echo_helper_protocol.h"

#include <string.h>

namespace probe::echo_helper {

namespace {

std::uint32_t host_order_address(std::uint32_t network_order) {
    const auto* b = reinterpret_cast<const std::uint8_t*>(&network_order);
    return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) |
           b[3];
}

// Only one host is ever asked: no broadcast (a raw socket would send it), no multicast, no
// "this host" address.
bool is_unicast(std::uint32_t destination) {
    const std::uint32_t a = host_order_address(destination);
    const std::uint32_t first_octet = a >> 24;
    return a != 0 && a != 0xFFFFFFFFu && !(first_octet >= 224 && first_octet <= 239);
}

template <typename T>
void put(std::uint8_t*& at, T value) {
    ::memcpy(at, &value, sizeof value);
    at += sizeof value;
}

template <typename T>
T get(const std::uint8_t*& at) {
    T value{};
    ::memcpy(&value, at, sizeof value);
    at += sizeof value;
    return value;
}

}  // namespace

Request make_request(std::uint32_t id, std::uint32_t destination, const void* data,
                     std::uint16_t size, std::uint32_t timeout_ms) {
    Request request;
    request.id = id;
    request.destination = destination;
    request.timeout_ms = timeout_ms < longest_timeout_ms ? timeout_ms : longest_timeout_ms;
    request.size = size < largest_data ? size : largest_data;
    if (request.size != 0) ::memcpy(request.data, data, request.size);
    return request;
}

std::uint32_t take_outcome(const Answer& answer, void* reply, std::uint32_t reply_size) {
    if (answer.outcome != Outcome::answered) {
        ICMP_ECHO_REPLY record{};
        record.Status = IP_GENERAL_FAILURE;
        ::memcpy(reply, &record, sizeof record);
        return 0;
    }
    ::memcpy(reply, answer.reply,
             reply_size < sizeof answer.reply ? reply_size : sizeof answer.reply);
    return answer.replies;
}

std::size_t encode_request(const Request& request, std::uint8_t (&out)[largest_request]) {
    const std::uint16_t size = request.size > largest_data ? largest_data : request.size;
    std::uint8_t* at = out;
    put(at, request_magic);
    put(at, request.id);
    put(at, request.destination);
    put(at, request.timeout_ms);
    put(at, size);
    ::memcpy(at, request.data, size);
    return request_header_size + size;
}

Refusal parse_request(const std::uint8_t* message, std::size_t size, Request& request) {
    if (message == nullptr || size < request_header_size) return Refusal::malformed;
    const std::uint8_t* at = message;
    if (get<std::uint32_t>(at) != request_magic) return Refusal::malformed;
    request.id = get<std::uint32_t>(at);
    request.destination = get<std::uint32_t>(at);
    request.timeout_ms = get<std::uint32_t>(at);
    request.size = get<std::uint16_t>(at);
    if (request.size > largest_data) return Refusal::data_size;
    if (size != request_header_size + request.size) return Refusal::malformed;
    if (request.timeout_ms > longest_timeout_ms) return Refusal::timeout;
    if (!is_unicast(request.destination)) return Refusal::destination;
    ::memcpy(request.data, at, request.size);
    return Refusal::none;
}

}  // namespace probe::echo_helper
