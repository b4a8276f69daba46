// The echo helper's request reader on arbitrary messages: it never reads past the message, a
// message it serves is exactly one request laid out again byte for byte, and it names one of the
// two probe addresses.
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
        expect(request.target == Target::first || request.target == Target::second);
        std::uint8_t again[request_size];
        encode_request(request, again);
        expect(size == request_size && std::memcmp(again, message, size) == 0);
    } else {
        expect(refusal == Refusal::malformed || refusal == Refusal::target);
    }
    std::free(message);
    return 0;
}
