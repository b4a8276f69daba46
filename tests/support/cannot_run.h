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
