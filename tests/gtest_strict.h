// GoogleTest reports the cases of a suite whose SetUpTestSuite failed as skipped, and CTest
// counts them so: a service that could not start would pass as "skipped". This listener fails
// each such case instead, pointing at the set-up's own failure above it.
#pragma once

#include <gtest/gtest.h>

namespace lumeno_test {

class FailCasesOfFailedSuitesListener : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override {
        const ::testing::TestSuite* suite = ::testing::UnitTest::GetInstance()->current_test_suite();
        if (suite && suite->ad_hoc_test_result().Failed())
            ADD_FAILURE() << "this suite's set-up failed (see above)";
    }
};

inline void FailCasesOfFailedSuites() {
    ::testing::UnitTest::GetInstance()->listeners().Append(new FailCasesOfFailedSuitesListener);
}

}  // namespace lumeno_test
