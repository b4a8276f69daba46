// main() of the test programs that need nothing set up before their tests.
#include <gtest/gtest.h>

#include "test_main.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    return kestrun_test::run_all_tests();
}
