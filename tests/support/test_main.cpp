#include "test_main.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace kestrun_test {

int run_all_tests() {
    const int status = RUN_ALL_TESTS();
    const int skipped = ::testing::UnitTest::GetInstance()->skipped_test_count();
    if (status == 0 && skipped > 0) {
        std::printf("%d test%s skipped: this program counts as skipped\n", skipped,
                    skipped == 1 ? "" : "s");
        return 77;
    }
    return status;
}

}  // namespace kestrun_test
