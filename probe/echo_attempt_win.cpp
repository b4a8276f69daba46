// The attempt on Windows: IcmpSendEcho blocks, so it runs on a worker thread of the attempt's
// own, whose outcome is posted back to the thread that began it. The worker holds nothing past
// its one exchange; destroying the attempt waits for it (at most the exchange's timeout).
#include <QObject>
#include <QTimer>
#include <cstddef>
#include <stdexcept>
#include <thread>

#include "echo_attempt.h"
#include "ping_funcs.h"

namespace probe {

namespace {

class ThreadEchoAttempt final : public EchoAttempt {
  public:
    ~ThreadEchoAttempt() override {
        if (worker_.joinable()) worker_.join();
    }

    void begin(const std::string& address, const std::string& data, std::uint32_t timeout_ms,
               Done done) override {
        QObject* context = &context_;
        worker_ = std::thread([context, address, data, timeout_ms, done = std::move(done)] {
            Outcome outcome;
            alignas(std::max_align_t) unsigned char reply[reply_buffer_size] = {};
            try {
                ProbeEcho(system_echo_service(), address.c_str(), data.c_str(), reply,
                          static_cast<std::int32_t>(timeout_ms));
                outcome.status = attempt_status(reply, 1);
            } catch (const std::runtime_error& error) {
                outcome.error = error.what();
            }
            // Delivered in the context's thread; dropped with it if the attempt is gone.
            QMetaObject::invokeMethod(
                context, [done, outcome] { done(outcome); }, Qt::QueuedConnection);
        });
    }

  private:
    QObject context_;
    std::thread worker_;
};

}  // namespace

std::unique_ptr<EchoAttempt> system_echo_attempt() {
    return std::make_unique<ThreadEchoAttempt>();
}

}  // namespace probe
