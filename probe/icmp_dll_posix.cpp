// The echo service on POSIX: an unprivileged datagram ICMP socket where the system allows one,
// else the echo helper, which alone may hold a raw socket (and then makes only the probe's own
// exchanges). A handle is a descriptor either way: the socket, or a copy of the channel to the
// helper.
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "echo_exchange.h"
#include "echo_helper_client.h"
#include "icmp_dll.h"
#include "ping_funcs.h"

namespace probe {

namespace {

// How long the first use waits for a new helper to say it holds its socket.
constexpr int helper_start_wait_ms = 2000;

bool valid_descriptor(IcmpHandle handle) {
    return handle >= 0 && handle <= INT_MAX;
}

std::uint32_t fail(void* reply, std::uint32_t status) {
    ICMP_ECHO_REPLY record{};
    record.Status = status;
    std::memcpy(reply, &record, sizeof record);
    return 0;
}

// One exchange through the program's echo helper, waiting for its answer. The helper makes only
// the probe's own exchanges (its addresses, its payload, its timeout); any other is a failure.
std::uint32_t exchange_through_helper(std::uint32_t destination, const void* data,
                                      std::uint16_t size, void* reply, std::uint32_t reply_size) {
    echo_helper::Target target{};
    if (!echo_helper::target_for(destination, data, size, target))
        return fail(reply, IP_GENERAL_FAILURE);
    // Where no route leads, the helper's send would fail the same way at once.
    if (const std::uint32_t unreachable = route_status(destination))
        return fail(reply, unreachable);
    EchoHelperClient& helper = EchoHelperClient::shared();
    const std::uint32_t id = helper.ask(target);
    if (id == 0) return fail(reply, IP_GENERAL_FAILURE);
    const std::int64_t deadline =
        monotonic_ms() + std::int64_t{probe_timeout_ms} + echo_helper::answer_grace_ms;
    for (;;) {
        const std::int64_t left = deadline - monotonic_ms();
        if (left <= 0) {
            helper.give_up();
            return fail(reply, IP_REQ_TIMED_OUT);
        }
        pollfd watch{helper.channel(), POLLIN, 0};
        if (::poll(&watch, 1, static_cast<int>(left)) <= 0) continue;
        echo_helper::Answer answer;
        switch (helper.read(id, answer)) {
            case EchoHelperClient::Reading::waiting:
            case EchoHelperClient::Reading::asked_again:
                continue;
            case EchoHelperClient::Reading::answered:
                return echo_helper::take_outcome(answer, reply, reply_size);
            case EchoHelperClient::Reading::lost:
            case EchoHelperClient::Reading::unavailable:
                return fail(reply, IP_GENERAL_FAILURE);
        }
    }
}

class PosixEchoService final : public EchoService {
  public:
    std::uint32_t inet_addr(const char* text) override { return ::inet_addr(text); }

    IcmpHandle IcmpCreateFile() override {
        const int fd = open_icmp_socket(SOCK_DGRAM);
        if (fd >= 0) return fd;
        EchoHelperClient& helper = EchoHelperClient::shared();
        if (!helper.wait_until_ready(helper_start_wait_ms)) return INVALID_HANDLE_VALUE;
        // The handle stands for the helper: the exchange asks whichever helper runs then.
        const int copy = ::fcntl(helper.channel(), F_DUPFD_CLOEXEC, 3);
        return copy < 0 ? INVALID_HANDLE_VALUE : copy;
    }

    std::uint32_t IcmpSendEcho(IcmpHandle handle, std::uint32_t destination, const void* data,
                               std::uint16_t size, void* /*options: defaults only*/, void* reply,
                               std::uint32_t reply_size, std::uint32_t timeout_ms) override {
        if (reply == nullptr || reply_size < sizeof(ICMP_ECHO_REPLY)) return 0;
        int type = 0;
        socklen_t length = sizeof type;
        const int fd = valid_descriptor(handle) ? static_cast<int>(handle) : -1;
        if (fd < 0 || ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0)
            return fail(reply, IP_GENERAL_FAILURE);
        switch (type) {
            case SOCK_DGRAM:
            case SOCK_RAW:
                return exchange_on_socket(fd, type == SOCK_RAW, destination, data, size, reply,
                                          reply_size, timeout_ms);
            case SOCK_SEQPACKET:
                return exchange_through_helper(destination, data, size, reply, reply_size);
            default:
                return fail(reply, IP_GENERAL_FAILURE);
        }
    }

    bool IcmpCloseHandle(IcmpHandle handle) override {
        return valid_descriptor(handle) && ::close(static_cast<int>(handle)) == 0;
    }
};

}  // namespace

EchoService& system_echo_service() {
    static PosixEchoService service;
    return service;
}

}  // namespace probe
