// The answer's text as the service writes it and the batch tool reads it back, and the GBK
// conversion under it.
#include <gtest/gtest.h>

#include <string>

#include "index/answer_text.h"
#include "index/gbk.h"

using namespace lookupd;

TEST(AnswerText, WhatIsWrittenReadsBack) {
    const std::string name = "\xCE\xF7\xC7\xF8";  // 西区
    // Metres below a kilometre, tenths of a kilometre from one on, as stated.
    for (auto [metres, stated] :
         {std::pair<double, long>{0, 0}, {719.6, 720}, {999.4, 999}, {1000, 1000}, {1349, 1300}, {22460, 22500}}) {
        AnswerText a;
        ASSERT_TRUE(ReadAnswerText(NearText(name, metres), a)) << metres;
        EXPECT_EQ(a.kind, AnswerText::kNear);
        EXPECT_EQ(a.name, name);
        EXPECT_EQ(a.metres, stated) << metres;
        EXPECT_EQ(StatedMetres(metres), stated);
    }
    AnswerText a;
    ASSERT_TRUE(ReadAnswerText(name, a));
    EXPECT_EQ(a.kind, AnswerText::kInside);
    ASSERT_TRUE(ReadAnswerText(UnknownText(), a));
    EXPECT_EQ(a.kind, AnswerText::kNone);

    // A near text whose distance is not one: none of the forms.
    const std::string near = NearText(name, 5);
    const std::string mark = near.substr(name.size(), near.size() - name.size() - 4);  // up to "5米)"
    for (const std::string& bad : {std::string(), name + mark + "5\xC3\xD7", name + mark + "\xC3\xD7)",
                                   name + mark + "5x\xC3\xD7)", name + mark + "-5\xC3\xD7)", name + mark + "5)"})
        EXPECT_FALSE(ReadAnswerText(bad, a)) << bad;
}

// The one conversion every front end uses: both ways, the simplified set's test, and a refusal
// that leaves nothing half-converted behind.
TEST(Gbk, BothWaysTheSimplifiedSetAndRefusals) {
    std::string gbk, utf8 = "left over";
    ASSERT_TRUE(Utf8ToGbk("金水区", gbk));
    EXPECT_EQ(gbk, "\xBD\xF0\xCB\xAE\xC7\xF8");
    ASSERT_TRUE(GbkToUtf8(gbk, utf8));
    EXPECT_EQ(utf8, "金水区");
    ASSERT_TRUE(Utf8ToGbk("乾安县", gbk));
    EXPECT_TRUE(InGb2312(gbk));
    ASSERT_TRUE(Utf8ToGbk("朱镕基", gbk));  // 镕 is GBK's, not GB2312's
    EXPECT_FALSE(InGb2312(gbk));
    EXPECT_FALSE(InGb2312("\xB0"));  // a lead byte without its trail
    EXPECT_FALSE(GbkToUtf8("\xBD\xF0\x81", utf8));
    EXPECT_EQ(utf8, "");
    gbk = "left over";
    EXPECT_FALSE(Utf8ToGbk("\xF0\x9F\x98\x80", gbk));  // an emoji has no GBK form
    EXPECT_EQ(gbk, "");
}
