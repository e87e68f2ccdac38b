// The text route's answers from an index: each parameter checked on its own, and a damaged
// piece answered with an error, never a name.
#include <gtest/gtest.h>

#include <map>

#include "index/tests/small_index.h"
#include "service/answer.h"

using namespace lookupd;
using namespace lookupd::testing;

TEST_F(SmallIndex, ParametersAreCheckedOneByOne) {
    Answerer a(m_index);
    std::multimap<std::string, std::string> ok = {
        {"x", "40500000"}, {"y", "12500000"}, {"radius", "6000"}, {"service", "gettext"}};
    Reply r = a.Answer(ok);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "西区");  // the index's bytes, as they are

    struct Bad {
        const char* key;
        const char* value;  // nullptr: leave the key out
        const char* says;   // empty: answered
    } bad[] = {
        {"x", nullptr, "x is missing"},
        {"y", "", "y is not"},
        {"y", "12.5", "y is not"},
        {"x", "+40500000", "x is not"},
        {"x", " 40500000", "x is not"},
        {"x", "2147483648", "x is not"},
        {"y", "-2147483649", "y is not"},
        {"radius", "-1", "radius is negative"},
        {"radius", nullptr, "radius is missing"},
        {"service", "getpos", "service must be gettext"},
        {"service", nullptr, "service is missing"},
        {"x", "-2147483648", ""},  // a 32-bit limit is a number, for a place nobody knows
    };
    for (const Bad& b : bad) {
        auto p = ok;
        p.erase(b.key);
        if (b.value)
            p.emplace(b.key, b.value);
        r = a.Answer(p);
        EXPECT_EQ(r.status, *b.says ? 400 : 200) << b.key;
        EXPECT_NE(r.body.find(b.says), std::string::npos) << r.body;
    }
}

TEST_F(SmallIndex, DamagedPieceGetsAnErrorNotAName) {
    PlaceIndex damaged;
    ASSERT_EQ(LoadDamaged({&damaged}), "");
    Answerer a(damaged);
    bool sawError = false;
    for (int64_t x = 40010000; x < 42000000 && !sawError; x += 20000)
        sawError =
            a.Answer({{"x", std::to_string(x)}, {"y", "12500000"}, {"radius", "0"}, {"service", "gettext"}}).status ==
            500;
    EXPECT_TRUE(sawError) << "no request on the damaged piece's row reached it";
}
