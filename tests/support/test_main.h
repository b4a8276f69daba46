#pragma once
// How every test program ends: 1 when a test failed; 77 when none failed but some were
// skipped, so that CTest (SKIP_RETURN_CODE 77) counts the program as skipped instead of
// passed, and CI, which must skip nothing, fails the run.

namespace kestrun_test {

int run_all_tests();  // after testing::InitGoogleTest

}  // namespace kestrun_test
