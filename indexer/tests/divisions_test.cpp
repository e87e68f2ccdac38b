// The index builder's naming: the change table and the check against the official division list.
#include <gtest/gtest.h>

#include "indexer/divisions.h"

using namespace lookupd;

namespace {

const std::string kData = LOOKUPD_TEST_DATA;

struct Built {
    std::vector<DivisionName> names;
    std::vector<District> districts;
};

// Five districts as the boundary data names and codes them, one piece each.
Built StaleData() {
    Built b;
    b.names = {{"黑龙江省", "大兴安岭地区", "加格达奇区", "232701"},
               {"黑龙江省", "大兴安岭地区", "漠河县", "232723"},
               {"河南省", "洛阳市", "偃师市", "410381"},
               {"河南省", "洛阳市", "孟津县", "410322"},
               {"河南省", "洛阳市", "吉利区", "410306"}};
    b.districts.resize(b.names.size());
    for (District& d : b.districts)
        d.pieces.resize(1);
    return b;
}

std::string Check(Built& b, DivisionReport& report) {
    std::vector<ListedDivision> list;
    EXPECT_EQ(ReadDivisionList(kData + "/division-list", list), "");
    return CheckDivisions(list, {}, {}, b.names, report);
}

}  // namespace

TEST(DivisionCheck, StaleNamesAndReusedCodesAreNamedAndMergesMended) {
    std::vector<DivisionChange> changes;
    ASSERT_EQ(ReadDivisionChanges(kData + "/fixture-changes.tsv", changes), "");
    Built b = StaleData();
    size_t changed = 0;
    ASSERT_EQ(ApplyDivisionChanges(changes, b.names, b.districts, changed), "");
    // The merge: 孟津县 and 吉利区 are one district with both shapes and the new code.
    ASSERT_EQ(b.names.size(), 4u);
    EXPECT_EQ(b.names[3].Full() + b.names[3].code, "河南省洛阳市孟津区410308");
    EXPECT_EQ(b.districts[3].pieces.size(), 2u);

    DivisionReport report;
    std::string faults = Check(b, report);
    // A code the list gives to another place, and a name whose code is gone.
    EXPECT_NE(
        faults.find("黑龙江省大兴安岭地区加格达奇区 (232701): the list has 黑龙江省大兴安岭地区漠河市 under that code"),
        std::string::npos)
        << faults;
    EXPECT_NE(faults.find("河南省洛阳市偃师市 (410381): the list has no such code"), std::string::npos) << faults;
    // What nothing carries is named too; development zones are not divisions.
    EXPECT_NE(faults.find("河南省洛阳市偃师区 (410307): listed, but no district carries it"), std::string::npos);
    EXPECT_EQ(faults.find("开发区"), std::string::npos);
    EXPECT_EQ(faults.find("孟津区"), std::string::npos);
    EXPECT_EQ(faults.find("漠河市 (232701): listed"), std::string::npos);

    // Rows for the two stale districts mend them.
    changes.push_back({"fix",
                       {"黑龙江省", "大兴安岭地区", "加格达奇区", "232701"},
                       {"黑龙江省", "大兴安岭地区", "加格达奇区", "232761"}});
    changes.push_back({"fix", {"河南省", "洛阳市", "偃师市", ""}, {"河南省", "洛阳市", "偃师区", "410307"}});
    b = StaleData();
    ASSERT_EQ(ApplyDivisionChanges(changes, b.names, b.districts, changed), "");
    report = {};
    EXPECT_EQ(Check(b, report), "");
    EXPECT_EQ(report.checked, 4u);
}

TEST(DivisionCheck, AJoinThatLeavesTwoCodesIsRefused) {
    std::vector<DivisionChange> changes;
    ASSERT_EQ(ReadDivisionChanges(kData + "/fixture-changes.tsv", changes), "");
    changes.back().to.code.clear();  // 吉利区 would keep 410306 inside 孟津区
    Built b = StaleData();
    size_t changed = 0;
    EXPECT_EQ(ApplyDivisionChanges(changes, b.names, b.districts, changed),
              "the change table joins districts with codes 410308 and 410306 into 河南省洛阳市孟津区");
}
