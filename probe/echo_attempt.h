#pragma once
// One echo exchange that the program waits for without blocking: it begins now and reports its
// outcome later, from the event loop of the thread that began it. The two-address test
// (NetworkProbe) is built on it; so the window answers while a probe waits.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "icmp_dll.h"

namespace probe {

class EchoAttempt {
  public:
    struct Outcome {
        std::uint32_t status =
            IP_GENERAL_FAILURE;  // the reply record's Status; IP_SUCCESS: answered
        std::string error;  // when set, the exchange could not be made: the probe's error message
    };
    using Done = std::function<void(const Outcome&)>;

    virtual ~EchoAttempt() = default;
    // Begins one exchange with `address` (dotted IPv4 text). `done` is called once, from the
    // event loop, never from inside begin(); not at all once the attempt is destroyed, which
    // abandons it.
    virtual void begin(const std::string& address, const std::string& data,
                       std::uint32_t timeout_ms, Done done) = 0;
};

// The platform's: on POSIX a datagram ICMP socket or the echo helper, watched by socket
// notifiers; on Windows IcmpSendEcho on a worker thread.
std::unique_ptr<EchoAttempt> system_echo_attempt();

// Any EchoService, run in full inside begin() (ProbeEcho), its outcome reported from the event
// loop: for services that answer at once, as tests' do.
std::unique_ptr<EchoAttempt> blocking_echo_attempt(EchoService& service);

}  // namespace probe
