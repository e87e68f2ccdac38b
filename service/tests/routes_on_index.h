// The routes in this process, on the real index that a suite loads once.
#pragma once

#include <gtest/gtest.h>

#include "service/routes.h"

namespace lookupd::testing {

class RoutesOnIndex : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(s_index.Load(LOOKUPD_INDEX), ""); }
    static HttpReply Get(const std::string& target) { return Route(s_answerer, "GET", target, true); }
    static inline PlaceIndex s_index;
    static inline Answerer s_answerer{s_index};  // it keeps the index by reference only
};

}  // namespace lookupd::testing
