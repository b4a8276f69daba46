// The probe on the system's own ICMP helper functions (IcmpCreateFile, IcmpSendEcho,
// IcmpCloseHandle). Run by wine_test.sh inside a network namespace of its own, where loopback
// and 8.8.8.8 answer, 192.0.2.2 sits behind a link without carrier (nothing answers) and
// 198.51.100.1 has no route. Outside such a namespace the echo tests do not run.
#include "icmp_dll.h"
#include "ping_funcs.h"

namespace {
// Taken before the system headers below redefine these names as macros.
constexpr probe::IcmpHandle invalid_handle = probe::INVALID_HANDLE_VALUE;
constexpr std::uint32_t ip_success = probe::IP_SUCCESS;
constexpr std::uint32_t ip_req_timed_out = probe::IP_REQ_TIMED_OUT;
}  // namespace

// winsock2.h has to come before windows.h, and icmpapi.h after iphlpapi.h.
#include <winsock2.h>

#include <windows.h>

#include <iphlpapi.h>

#include <icmpapi.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "cannot_run.h"

namespace {

// Set by wine_test.sh once the namespace is ready; never set on a real network.
bool in_test_namespace() {
    return std::getenv("KESTRUN_WINE_NETNS") != nullptr;
}

// Outside the namespace the echo tests must not run at all; in CI they always can.
#define REQUIRE_TEST_NAMESPACE() \
    if (!in_test_namespace())    \
    SKIP_OR_FAIL_IN_CI("sends ICMP: runs only inside wine_test.sh's network namespace")

struct Reply {
    alignas(8) unsigned char bytes[probe::reply_buffer_size];
    Reply() { std::memset(bytes, 0xA5, sizeof bytes); }
    const ::ICMP_ECHO_REPLY& record() const {
        return *reinterpret_cast<const ::ICMP_ECHO_REPLY*>(bytes);
    }
    std::uint32_t status() const {
        std::uint32_t value;
        std::memcpy(&value, bytes + 4, sizeof value);  // where the probe reads it
        return value;
    }
};

class SystemEchoService : public ::testing::Test {
  protected:
    probe::EchoService& service = probe::system_echo_service();
};

TEST_F(SystemEchoService, LoopbackAnswersWithOurDataInOneRecord) {
    REQUIRE_TEST_NAMESPACE();
    const probe::IcmpHandle handle = service.IcmpCreateFile();
    ASSERT_NE(handle, invalid_handle);
    Reply reply;
    const char data[] = "testing";
    const std::uint32_t replies =
        service.IcmpSendEcho(handle, service.inet_addr("127.0.0.1"), data, 7, nullptr, reply.bytes,
                             probe::reply_buffer_size, 1000);
    EXPECT_TRUE(service.IcmpCloseHandle(handle));

    ASSERT_EQ(replies, 1u);
    const ::ICMP_ECHO_REPLY& record = reply.record();
    EXPECT_EQ(record.Status, ip_success);
    EXPECT_EQ(reply.status(), ip_success);
    EXPECT_EQ(record.Address, service.inet_addr("127.0.0.1"));
    EXPECT_LT(record.RoundTripTime, 1000u);
    ASSERT_EQ(record.DataSize, 7u);
    // The echoed data lies inside the caller's buffer, after the record.
    const auto* echoed = static_cast<const unsigned char*>(record.Data);
    ASSERT_GE(echoed, reply.bytes + sizeof(::ICMP_ECHO_REPLY));
    ASSERT_LE(echoed + 7, reply.bytes + sizeof reply.bytes);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(echoed), 7), "testing");
}

TEST_F(SystemEchoService, ProbeEchoReadsSuccessFromTheSystemsRecord) {
    REQUIRE_TEST_NAMESPACE();
    Reply reply;
    probe::ProbeEcho(service, "127.0.0.1", probe::probe_data, reply.bytes, 500);
    EXPECT_EQ(reply.status(), ip_success);
}

TEST_F(SystemEchoService, NetworkIsUpWhereTheFirstAddressAnswers) {
    REQUIRE_TEST_NAMESPACE();
    // 8.8.8.8 answers on the loopback; 1.1.1.1 has no route here, so only the first can.
    EXPECT_TRUE(probe::is_network_up(service));
}

TEST_F(SystemEchoService, SilentAddressTimesOutAfterTheTimeout) {
    REQUIRE_TEST_NAMESPACE();
    if (std::getenv("KESTRUN_SILENT_ADDRESS") == nullptr)
        SKIP_OR_FAIL_IN_CI("no silent address (the namespace could not make a tun link)");
    Reply reply;
    const DWORD before = GetTickCount();
    probe::ProbeEcho(service, std::getenv("KESTRUN_SILENT_ADDRESS"), probe::probe_data, reply.bytes,
                     500);
    const DWORD took = GetTickCount() - before;
    EXPECT_NE(reply.status(), ip_success);
    EXPECT_EQ(reply.status(), ip_req_timed_out);
    EXPECT_GE(took, 400u) << "gave up before the timeout";
    EXPECT_LT(took, 5000u) << "waited far beyond the timeout";
}

TEST_F(SystemEchoService, UnroutableAddressFailsWithoutAnAnswer) {
    REQUIRE_TEST_NAMESPACE();
    const probe::IcmpHandle handle = service.IcmpCreateFile();
    ASSERT_NE(handle, invalid_handle);
    Reply reply;
    const std::uint32_t replies =
        service.IcmpSendEcho(handle, service.inet_addr("198.51.100.1"), "testing", 7, nullptr,
                             reply.bytes, probe::reply_buffer_size, 500);
    service.IcmpCloseHandle(handle);
    EXPECT_EQ(replies, 0u);

    Reply probed;
    probe::ProbeEcho(service, "198.51.100.1", probe::probe_data, probed.bytes, 500);
    EXPECT_NE(probed.status(), ip_success);
}

TEST_F(SystemEchoService, HandlesOpenAndCloseRepeatedly) {
    // No echo is sent: safe anywhere.
    for (int i = 0; i < 50; ++i) {
        const probe::IcmpHandle handle = service.IcmpCreateFile();
        ASSERT_NE(handle, invalid_handle);
        ASSERT_TRUE(service.IcmpCloseHandle(handle));
    }
}

TEST_F(SystemEchoService, InvalidAddressTextRaisesBeforeAnythingIsSent) {
    Reply reply;
    try {
        probe::ProbeEcho(service, "300.1.1.1", probe::probe_data, reply.bytes, 500);
        FAIL() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(),
                     "Function call inet_addr failed.  The IP address is probably invalid.");
    }
}

}  // namespace
