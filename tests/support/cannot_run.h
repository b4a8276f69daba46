#pragma once
// A case that cannot run on this machine (no root, no namespace, a tool missing): skipped here,
// but a failure in CI (CI=true), which has every tool and runs as root. GoogleTest only.

#include <gtest/gtest.h>

#include "ci.h"

#define SKIP_OR_FAIL_IN_CI(why)                                               \
    do {                                                                      \
        if (::kestrun_test::in_ci()) FAIL() << "cannot run in CI: " << (why); \
        GTEST_SKIP() << (why);                                                \
    } while (false)

#if !defined(_WIN32)
#include "netns.h"

// Runs `body` in a child process in a new network namespace (netns.h) and names its report
// `report`. In CI a namespace can always be made: there a case that cannot make one fails.
#define RUN_IN_NAMESPACE(report, body)                                                     \
    const kestrun_test::ChildReport report = kestrun_test::in_new_network_namespace(body); \
    if (!report.skip.empty()) SKIP_OR_FAIL_IN_CI(report.skip);                             \
    ASSERT_TRUE(report.failure.empty()) << report.failure
#endif
