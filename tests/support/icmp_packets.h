#pragma once
// ICMP and IPv4 packets built by hand, independently of the probe's own code, raw sockets that
// send them, and a forger that answers echo requests with them (Linux, inside a network
// namespace of our own: see netns.h).

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kestrun_test {

using Bytes = std::vector<std::uint8_t>;

// Network byte order; throws std::invalid_argument for anything but a dotted IPv4 address.
std::uint32_t address_of(const std::string& dotted);
std::string dotted(std::uint32_t address);

Bytes icmp_message(std::uint8_t type, std::uint8_t code, std::uint16_t identifier,
                   std::uint16_t sequence, const Bytes& body);
// An IPv4 header (with `option_words` words of NOP options) and `payload`; its own checksum is
// left 0, which the kernel fills in when it sends it.
Bytes ip_packet(std::uint32_t source, std::uint32_t destination, const Bytes& payload,
                std::size_t option_words = 0, std::uint8_t protocol = 1);
Bytes text_bytes(const std::string& text);

// An echo request as a raw socket receives it (the forger's).
struct EchoRequestSeen {
    std::uint32_t from = 0, to = 0;
    std::uint16_t identifier = 0, sequence = 0;
    Bytes payload;
    Bytes quote;  // its IP header and first 8 ICMP bytes, as an error report quotes it
};

// A raw ICMP socket that sends whole IP packets (so from any source address); it receives
// every ICMP message, or with `echo_requests_only` those alone. Throws SetupError.
int raw_icmp_socket(bool echo_requests_only = false);
bool send_ip_packet(int raw_socket, const Bytes& packet);  // to the packet's destination

// Forges answers to the echo requests sent in this network namespace (the kernel's own replies
// switched off: silent_addresses_on_loopback). Every request seen is answered once with the
// kinds of `each_request`, in order; the latest request seen is also answered with the kinds of
// `flood`, over and over, until the forger goes.
class EchoForger {
  public:
    enum class Kind {
        correct_reply,       // from the address asked
        other_identifier,    // from the address asked
        other_sequence,      // from the address asked
        from_other_address,  // the right identifier and sequence, from other_address
        host_unreachable,    // an error report quoting the request, from other_address
    };
    static constexpr const char* other_address = "127.0.0.2";

    explicit EchoForger(std::vector<Kind> each_request, std::vector<Kind> flood = {});
    ~EchoForger();
    EchoForger(const EchoForger&) = delete;
    EchoForger& operator=(const EchoForger&) = delete;

    void answer_each_request_with(std::vector<Kind> kinds);  // from the next request on
    int requests_seen() const { return requests_; }
    long long sent() const { return sent_; }

  private:
    void watch();
    void flood();
    void answer(const EchoRequestSeen& request, Kind kind, std::uint16_t other);

    const std::uint32_t elsewhere_;  // other_address
    int listen_ = -1, send_ = -1;
    std::mutex mutex_;  // guards each_request_ and latest_
    std::vector<Kind> each_request_;
    const std::vector<Kind> flood_;
    std::optional<EchoRequestSeen> latest_;
    std::atomic<bool> stop_{false};
    std::atomic<int> requests_{0};
    std::atomic<long long> sent_{0};
    std::thread watcher_, flooder_;
};

}  // namespace kestrun_test
