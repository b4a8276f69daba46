// The attempt that runs an EchoService in full, for services that answer at once.
#include <QObject>
#include <QTimer>
#include <cstddef>
#include <stdexcept>

#include "echo_attempt.h"
#include "ping_funcs.h"

namespace probe {

namespace {

class BlockingEchoAttempt final : public EchoAttempt {
  public:
    explicit BlockingEchoAttempt(EchoService& service) : service_(service) {}

    void begin(const std::string& address, const std::string& data, std::uint32_t timeout_ms,
               Done done) override {
        Outcome outcome;
        alignas(std::max_align_t) unsigned char reply[reply_buffer_size] = {};
        try {
            ProbeEcho(service_, address.c_str(), data.c_str(), reply,
                      static_cast<std::int32_t>(timeout_ms));
            outcome.status = attempt_status(reply, 1);
        } catch (const std::runtime_error& error) {
            outcome.error = error.what();
        }
        QTimer::singleShot(0, &context_, [done = std::move(done), outcome] { done(outcome); });
    }

  private:
    EchoService& service_;
    QObject context_;  // a report not delivered yet goes with the attempt
};

}  // namespace

std::unique_ptr<EchoAttempt> blocking_echo_attempt(EchoService& service) {
    return std::make_unique<BlockingEchoAttempt>(service);
}

}  // namespace probe
