// The network watch's reading of rtnetlink datagrams on arbitrary bytes: it never reads past
// the datagram (ASan) and never loops on a message that claims a length it does not have (the
// fuzzer's timeout). Each input is read twice by one reader, so that what it remembers of the
// links is read back as well.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "route_messages.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A copy of exactly `size` bytes, so that ASan sees any read past the datagram.
    auto* datagram = static_cast<std::uint8_t*>(std::malloc(size == 0 ? 1 : size));
    if (size != 0) std::memcpy(datagram, data, size);
    probe::RouteMessages messages;
    (void)messages.announce_change(datagram, size);
    (void)messages.announce_change(datagram, size);
    std::free(datagram);
    return 0;
}
