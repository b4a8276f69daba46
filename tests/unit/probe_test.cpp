// The echo exchange and the two-address test, against a scripted echo service.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <deque>
#include <stdexcept>
#include <string>
#include <vector>

#include "icmp_dll.h"
#include "ping_funcs.h"

namespace {

using probe::ICMP_ECHO_REPLY;
using probe::IcmpHandle;
using ::testing::ElementsAre;

constexpr const char* invalid_address_message =
    "Function call inet_addr failed.  The IP address is probably invalid.";
constexpr const char* create_failed_message = "Function call IcmpCreateFile failed.";

std::string dotted(std::uint32_t network_order) {
    unsigned char b[4];
    std::memcpy(b, &network_order, 4);
    return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." +
           std::to_string(b[3]);
}

std::uint32_t status_of(const void* reply) {
    std::uint32_t status = 0;
    std::memcpy(&status, static_cast<const unsigned char*>(reply) + 4, sizeof status);
    return status;
}

// What one IcmpSendEcho call does to the caller's buffer.
struct Outcome {
    enum class Kind { store, store_nothing, raise };
    Kind kind = Kind::store;
    std::uint32_t status = probe::IP_SUCCESS;
    std::uint32_t returned = 1;

    static Outcome reply() { return {}; }
    static Outcome report(std::uint32_t status) { return {Kind::store, status, 1}; }
    static Outcome timeout() { return {Kind::store, probe::IP_REQ_TIMED_OUT, 0}; }
    // The service answers "no reply stored" and leaves the buffer as it was.
    static Outcome nothing() { return {Kind::store_nothing, 0, 0}; }
    static Outcome raise() { return {Kind::raise, 0, 0}; }
};

struct SendCall {
    IcmpHandle handle;
    std::string destination;
    std::string data;  // exactly `size` bytes from the data pointer
    std::uint16_t size;
    void* options;
    void* reply;
    std::uint32_t reply_size;
    std::uint32_t timeout_ms;
};

// Records every call in order. Address texts are parsed by the system's inet_addr unless
// a text is scripted to be rejected.
class FakeEchoService final : public probe::EchoService {
  public:
    std::vector<std::string> calls;
    std::vector<SendCall> sends;
    std::vector<IcmpHandle> closed;
    std::deque<Outcome> outcomes;
    std::vector<std::string> rejected_texts;
    int fail_create_on_call = 0;  // 1-based; 0 = never

    std::uint32_t inet_addr(const char* text) override {
        calls.push_back(std::string("inet_addr ") + text);
        for (const std::string& rejected : rejected_texts) {
            if (rejected == text) return probe::INADDR_NONE;
        }
        return probe::system_echo_service().inet_addr(text);
    }

    IcmpHandle IcmpCreateFile() override {
        calls.push_back("IcmpCreateFile");
        ++creates_;
        if (creates_ == fail_create_on_call) return probe::INVALID_HANDLE_VALUE;
        return 100 + creates_;
    }

    std::uint32_t IcmpSendEcho(IcmpHandle handle, std::uint32_t destination, const void* data,
                               std::uint16_t size, void* options, void* reply,
                               std::uint32_t reply_size, std::uint32_t timeout_ms) override {
        calls.push_back("IcmpSendEcho " + dotted(destination));
        sends.push_back({handle, dotted(destination),
                         std::string(static_cast<const char*>(data), size), size, options, reply,
                         reply_size, timeout_ms});
        const Outcome outcome = outcomes.empty() ? Outcome::nothing() : outcomes.front();
        if (!outcomes.empty()) outcomes.pop_front();
        switch (outcome.kind) {
            case Outcome::Kind::raise:
                throw std::logic_error("send failed");
            case Outcome::Kind::store_nothing:
                break;
            case Outcome::Kind::store: {
                ICMP_ECHO_REPLY record{};
                record.Address = destination;
                record.Status = outcome.status;
                std::memcpy(reply, &record, sizeof record);
                break;
            }
        }
        return outcome.returned;
    }

    bool IcmpCloseHandle(IcmpHandle handle) override {
        calls.push_back("IcmpCloseHandle " + std::to_string(handle));
        closed.push_back(handle);
        return true;
    }

  private:
    int creates_ = 0;
};

template <typename F>
std::string message_of(F&& f) {
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "(nothing thrown)";
}

// --- ProbeEcho -------------------------------------------------------------------------

TEST(ProbeEchoTest, OneExchangeWithTheCallersArgumentsInOrder) {
    FakeEchoService service;
    service.outcomes = {Outcome::reply()};
    std::array<unsigned char, 284> reply{};

    probe::ProbeEcho(service, "10.1.2.3", "payload!", reply.data(), 1234);

    EXPECT_THAT(service.calls, ElementsAre("inet_addr 10.1.2.3", "IcmpCreateFile",
                                           "IcmpSendEcho 10.1.2.3", "IcmpCloseHandle 101"));
    ASSERT_EQ(service.sends.size(), 1u);
    const SendCall& send = service.sends[0];
    EXPECT_EQ(send.handle, 101);
    EXPECT_EQ(send.data, "payload!");
    EXPECT_EQ(send.size, 8u);  // no terminating zero
    EXPECT_EQ(send.options, nullptr);
    EXPECT_EQ(send.reply, reply.data());
    EXPECT_EQ(send.reply_size, 284u);
    EXPECT_EQ(send.timeout_ms, 1234u);
    EXPECT_EQ(status_of(reply.data()), probe::IP_SUCCESS);
}

TEST(ProbeEchoTest, InvalidAddressTextsRaiseBeforeAnythingIsOpened) {
    // 255.255.255.255 parses to the same value as a failure, so it is rejected too.
    for (const char* text : {"255.255.255.255", "not an address", "256.1.1.1", ""}) {
        SCOPED_TRACE(text);
        FakeEchoService service;
        std::array<unsigned char, 284> reply;
        reply.fill(0xAB);

        EXPECT_EQ(
            message_of([&] { probe::ProbeEcho(service, text, "testing", reply.data(), 500); }),
            invalid_address_message);
        EXPECT_THAT(service.calls, ElementsAre(std::string("inet_addr ") + text));
        EXPECT_EQ(status_of(reply.data()), 0xABABABABu);  // buffer untouched
    }
}

TEST(ProbeEchoTest, ServiceThatCannotBeOpenedRaisesAndSendsNothing) {
    FakeEchoService service;
    service.fail_create_on_call = 1;
    std::array<unsigned char, 284> reply{};

    EXPECT_EQ(
        message_of([&] { probe::ProbeEcho(service, "8.8.8.8", "testing", reply.data(), 500); }),
        create_failed_message);
    EXPECT_THAT(service.calls, ElementsAre("inet_addr 8.8.8.8", "IcmpCreateFile"));
}

TEST(ProbeEchoTest, HandleIsClosedWhenTheSendThrows) {
    FakeEchoService service;
    service.outcomes = {Outcome::raise()};
    std::array<unsigned char, 284> reply{};

    EXPECT_THROW(probe::ProbeEcho(service, "8.8.8.8", "testing", reply.data(), 500),
                 std::logic_error);
    EXPECT_THAT(service.closed, ElementsAre(101));
}

TEST(ProbeEchoTest, StatusReflectsOnlyWhatThisAttemptStored) {
    std::array<unsigned char, 284> reply{};
    {
        SCOPED_TRACE("no record stored over a buffer that reads as success");
        FakeEchoService service;
        service.outcomes = {Outcome::nothing()};
        ICMP_ECHO_REPLY earlier{};  // an earlier success left behind
        std::memcpy(reply.data(), &earlier, sizeof earlier);
        probe::ProbeEcho(service, "8.8.8.8", "testing", reply.data(), 500);
        EXPECT_NE(status_of(reply.data()), probe::IP_SUCCESS);
    }
    {
        SCOPED_TRACE("\"no reply\" returned along with a success status");
        FakeEchoService service;
        service.outcomes = {Outcome{Outcome::Kind::store, probe::IP_SUCCESS, 0}};
        probe::ProbeEcho(service, "8.8.8.8", "testing", reply.data(), 500);
        EXPECT_NE(status_of(reply.data()), probe::IP_SUCCESS);
    }
    {
        SCOPED_TRACE("a reply counted but no record written over an earlier success");
        FakeEchoService service;
        service.outcomes = {Outcome{Outcome::Kind::store_nothing, 0, 1}};
        ICMP_ECHO_REPLY earlier{};
        std::memcpy(reply.data(), &earlier, sizeof earlier);
        probe::ProbeEcho(service, "8.8.8.8", "testing", reply.data(), 500);
        EXPECT_NE(status_of(reply.data()), probe::IP_SUCCESS);
    }
    {
        SCOPED_TRACE("a stored report keeps its own status");
        FakeEchoService service;
        service.outcomes = {Outcome::report(probe::IP_TTL_EXPIRED_TRANSIT)};
        probe::ProbeEcho(service, "8.8.8.8", "testing", reply.data(), 500);
        EXPECT_EQ(status_of(reply.data()), probe::IP_TTL_EXPIRED_TRANSIT);
    }
}

// --- is_network_up ---------------------------------------------------------------------

TEST(IsNetworkUpTest, FirstAddressAnsweringIsOneExchange) {
    FakeEchoService service;
    service.outcomes = {Outcome::reply()};

    EXPECT_TRUE(probe::is_network_up(service));

    EXPECT_THAT(service.calls, ElementsAre("inet_addr 8.8.8.8", "IcmpCreateFile",
                                           "IcmpSendEcho 8.8.8.8", "IcmpCloseHandle 101"));
    ASSERT_EQ(service.sends.size(), 1u);
    EXPECT_EQ(service.sends[0].data, "testing");
    EXPECT_EQ(service.sends[0].size, 7u);
    EXPECT_EQ(service.sends[0].timeout_ms, 500u);
    EXPECT_EQ(service.sends[0].reply_size, 284u);
    EXPECT_EQ(service.sends[0].options, nullptr);
}

TEST(IsNetworkUpTest, SecondAddressIsAskedOnlyAfterAFailedFirst) {
    struct Case {
        const char* name;
        Outcome first;
        Outcome second;
        bool up;
    };
    const Case cases[] = {
        {"first silent, second answers", Outcome::nothing(), Outcome::reply(), true},
        {"first times out, second answers", Outcome::timeout(), Outcome::reply(), true},
        {"router reports unreachable, second answers",
         Outcome::report(probe::IP_DEST_HOST_UNREACHABLE), Outcome::reply(), true},
        {"both time out", Outcome::timeout(), Outcome::timeout(), false},
        {"both store nothing", Outcome::nothing(), Outcome::nothing(), false},
        {"report, then nothing stored", Outcome::report(probe::IP_TTL_EXPIRED_TRANSIT),
         Outcome::nothing(), false},
        {"timeout, then a report", Outcome::timeout(),
         Outcome::report(probe::IP_DEST_NET_UNREACHABLE), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeEchoService service;
        service.outcomes = {c.first, c.second};

        EXPECT_EQ(probe::is_network_up(service), c.up);

        EXPECT_THAT(service.calls,
                    ElementsAre("inet_addr 8.8.8.8", "IcmpCreateFile", "IcmpSendEcho 8.8.8.8",
                                "IcmpCloseHandle 101", "inet_addr 1.1.1.1", "IcmpCreateFile",
                                "IcmpSendEcho 1.1.1.1", "IcmpCloseHandle 102"));
        ASSERT_EQ(service.sends.size(), 2u);
        // One buffer serves both attempts.
        EXPECT_EQ(service.sends[0].reply, service.sends[1].reply);
        EXPECT_EQ(service.sends[1].data, "testing");
        EXPECT_EQ(service.sends[1].timeout_ms, 500u);
    }
}

TEST(IsNetworkUpTest, ErrorsEndTheTestAtOnce) {
    {
        SCOPED_TRACE("first address rejected");
        FakeEchoService service;
        service.rejected_texts = {"8.8.8.8"};
        EXPECT_EQ(message_of([&] { probe::is_network_up(service); }), invalid_address_message);
        EXPECT_THAT(service.calls, ElementsAre("inet_addr 8.8.8.8"));
    }
    {
        SCOPED_TRACE("service cannot be opened for the first address");
        FakeEchoService service;
        service.fail_create_on_call = 1;
        EXPECT_EQ(message_of([&] { probe::is_network_up(service); }), create_failed_message);
        EXPECT_THAT(service.calls, ElementsAre("inet_addr 8.8.8.8", "IcmpCreateFile"));
    }
    {
        SCOPED_TRACE("service cannot be opened for the second address");
        FakeEchoService service;
        service.fail_create_on_call = 2;
        service.outcomes = {Outcome::timeout()};
        EXPECT_EQ(message_of([&] { probe::is_network_up(service); }), create_failed_message);
        EXPECT_THAT(service.closed, ElementsAre(101));
        EXPECT_EQ(service.sends.size(), 1u);
    }
}

// --- The system's address parser ---------------------------------------------------------

TEST(SystemInetAddrTest, ParsesToNetworkOrderAndRejectsTheAllOnesAddress) {
    probe::EchoService& service = probe::system_echo_service();
    EXPECT_EQ(dotted(service.inet_addr("8.8.8.8")), "8.8.8.8");
    EXPECT_EQ(dotted(service.inet_addr("192.0.2.17")), "192.0.2.17");
    EXPECT_EQ(service.inet_addr("255.255.255.255"), probe::INADDR_NONE);
    EXPECT_EQ(service.inet_addr("1.2.3.4.5"), probe::INADDR_NONE);
    EXPECT_EQ(service.inet_addr("localhost"), probe::INADDR_NONE);
}

}  // namespace
