// The answer's text as the service writes it and the batch tool reads it back.
#include <gtest/gtest.h>

#include <string>

#include "index/answer_text.h"

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
