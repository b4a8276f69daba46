#include "echo_helper_protocol.h"

#include <arpa/inet.h>
#include <string.h>

#include "ping_funcs.h"

namespace probe::echo_helper {

namespace {

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

std::uint32_t destination_of(Target target) {
    return ::inet_addr(target == Target::first ? first_probe_address : second_probe_address);
}

bool target_for(std::uint32_t destination, const void* data, std::size_t size, Target& target) {
    const std::size_t probe_size = ::strlen(probe_data);
    if (size != probe_size || (size != 0 && ::memcmp(data, probe_data, size) != 0)) return false;
    if (destination == destination_of(Target::first)) {
        target = Target::first;
    } else if (destination == destination_of(Target::second)) {
        target = Target::second;
    } else {
        return false;
    }
    return true;
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

void encode_request(const Request& request, std::uint8_t (&out)[request_size]) {
    std::uint8_t* at = out;
    put(at, request_magic);
    put(at, request.id);
    put(at, static_cast<std::uint32_t>(request.target));
}

Refusal parse_request(const std::uint8_t* message, std::size_t size, Request& request) {
    request = Request{};
    if (message == nullptr || size != request_size) return Refusal::malformed;
    const std::uint8_t* at = message;
    if (get<std::uint32_t>(at) != request_magic) return Refusal::malformed;
    request.id = get<std::uint32_t>(at);
    const std::uint32_t target = get<std::uint32_t>(at);
    if (target > static_cast<std::uint32_t>(Target::second)) return Refusal::target;
    request.target = static_cast<Target>(target);
    return Refusal::none;
}

bool EchoPace::take(std::int64_t now_ms) {
    if (refilled_ms_ < 0 || now_ms < refilled_ms_) refilled_ms_ = now_ms;
    const std::int64_t gained = (now_ms - refilled_ms_) / echo_refill_ms;
    if (gained > 0) {
        const std::int64_t echoes = echoes_ + gained;
        echoes_ = echoes < echoes_at_once ? static_cast<std::uint32_t>(echoes) : echoes_at_once;
        refilled_ms_ += gained * echo_refill_ms;
    }
    if (echoes_ == echoes_at_once) refilled_ms_ = now_ms;  // a full bucket saves nothing up
    if (echoes_ == 0) return false;
    --echoes_;
    return true;
}

}  // namespace probe::echo_helper
