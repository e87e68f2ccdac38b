#include <gtest/gtest.h>

#include "gtest_strict.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    lumeno_test::FailCasesOfFailedSuites();
    return RUN_ALL_TESTS();
}
