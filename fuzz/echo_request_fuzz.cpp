// The echo helper's request reader on arbitrary messages: it never reads past the message, a
// message it serves is exactly one request laid out again byte for byte, and what it serves is
// within the helper's bounds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "echo_helper_protocol.h"

namespace {

void expect(bool holds) {
    if (!holds) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace probe::echo_helper;
    // A copy of exactly `size` bytes, so that ASan sees any read past the message.
    auto* message = static_cast<std::uint8_t*>(std::malloc(size == 0 ? 1 : size));
    if (size != 0) std::memcpy(message, data, size);
    Request request;
    const Refusal refusal = parse_request(size == 0 ? nullptr : message, size, request);
    if (refusal == Refusal::none) {
        expect(request.size <= largest_data);
        expect(request.timeout_ms <= longest_timeout_ms);
        const auto* octets = reinterpret_cast<const std::uint8_t*>(&request.destination);
        expect(request.destination != 0 && request.destination != 0xFFFFFFFFu);
        expect(octets[0] < 224 || octets[0] > 239);
        std::uint8_t again[largest_request];
        const std::size_t length = encode_request(request, again);
        expect(length == size && std::memcmp(again, message, size) == 0);
    }
    std::free(message);
    return 0;
}
