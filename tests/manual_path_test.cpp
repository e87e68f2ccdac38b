#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/ManualPath.h"

namespace {

constexpr std::size_t kMaxPath = 260;

TEST(ManualPath, ReplacesTheProgramFileNameAndNeedsADirectory) {
    char out[kMaxPath];
    ASSERT_TRUE(ComposeManualPath("D:\\tools\\x.exe", out, sizeof(out)));
    EXPECT_STREQ(out, "D:\\tools\\Lumeno.doc");
    ASSERT_TRUE(ComposeManualPath("C:\\Lumeno.exe", out, sizeof(out)));
    EXPECT_STREQ(out, "C:\\Lumeno.doc");
    EXPECT_FALSE(ComposeManualPath("x.exe", out, sizeof(out)));
    EXPECT_STREQ(out, "");
    EXPECT_FALSE(ComposeManualPath(nullptr, out, sizeof(out)));
}

// The classic code wrote the name at the last backslash whatever the room
// left; a directory of 250 bytes or more then ran past the 260-byte buffer.
TEST(ManualPath, RefusesAPathThatWouldNotFit) {
    const std::string document = "\\Lumeno.doc";
    // Directory of exactly the room left: the result and its zero fill 260 bytes.
    std::string fits = "C:\\" + std::string(kMaxPath - 1 - document.size() - 3, 'a') + "\\x.exe";
    char out[kMaxPath + 16];
    std::memset(out, '#', sizeof(out));
    ASSERT_TRUE(ComposeManualPath(fits.c_str(), out, kMaxPath));
    EXPECT_EQ(std::strlen(out), kMaxPath - 1);
    EXPECT_EQ(out[kMaxPath], '#');

    std::string tooLong = "C:\\" + std::string(kMaxPath - document.size() - 3, 'a') + "\\x.exe";
    std::memset(out, '#', sizeof(out));
    EXPECT_FALSE(ComposeManualPath(tooLong.c_str(), out, kMaxPath));
    EXPECT_STREQ(out, "");
    EXPECT_EQ(out[1], '#');

    // Room for the terminator alone, and for nothing at all.
    std::memset(out, '#', sizeof(out));
    EXPECT_FALSE(ComposeManualPath("C:\\x.exe", out, 1));
    EXPECT_EQ(out[0], '\0');
    out[0] = '#';
    EXPECT_FALSE(ComposeManualPath("C:\\x.exe", out, 0));
    EXPECT_EQ(out[0], '#');
}

}  // namespace
