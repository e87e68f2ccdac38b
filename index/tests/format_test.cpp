// The index file's own checks: every kind of damage is refused with its reason.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>

#include "index/index_format.h"
#include "index/tests/small_index.h"

using namespace lookupd;
using namespace lookupd::testing;

TEST_F(SmallIndex, DamagedFilesAreRefusedWithAReason) {
    std::ifstream in(m_path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto tryLoad = [&](const std::string& content) {
        std::string p = TempPath("damaged.idx");
        std::ofstream(p, std::ios::binary) << content;
        PlaceIndex idx;
        std::string err = idx.Load(p);
        std::remove(p.c_str());
        EXPECT_EQ(idx.DistrictCount(), 0u);
        return err;
    };
    struct {
        size_t at;  // byte to change; npos: the file as given below
        std::string content, says;
    } cases[] = {
        {8, "", "version 4, expected 5"},             // the version field: an index of the format before this one
        {60, "", "checksum mismatch in its tables"},  // the name table, right after the 48-byte header
        {std::string::npos, bytes.substr(0, bytes.size() - 9), "does not match"},
        {std::string::npos, "PK\x03\x04" + std::string(200, 'z'), "signature"},
        {std::string::npos, "", "too short"},
        {std::string::npos, bytes.substr(0, 50), "too short"},  // a header, but no room for the checksum
    };
    for (const auto& c : cases) {
        std::string content = c.content;
        if (c.at != std::string::npos) {
            content = bytes;
            content[c.at] = c.at == 8 ? 4 : content[c.at] ^ 0x10;
        }
        EXPECT_NE(tryLoad(content).find(c.says), std::string::npos) << c.says;
    }
    // Tables that pass their checksum but contradict the file: resealed, and still refused.
    Header h;
    std::memcpy(&h, bytes.data(), sizeof h);
    const Layout l = LayoutOf(h);
    for (auto [at, says] : {std::pair<uint64_t, const char*>{l.nameOffsets, "name table does not match its blob"},
                            {l.streamOffsets, "piece table does not match its data"}}) {
        std::string content = bytes;
        content[at] ^= 0x10;
        ASSERT_TRUE(ResealIndex(content));
        EXPECT_NE(tryLoad(content).find(says), std::string::npos) << says;
    }
    // A leaf box that spans half the globe: its piece is damaged, never decoded against it.
    std::string wide = bytes;
    Box box;
    std::memcpy(&box, wide.data() + l.tree, sizeof box);
    box.maxY = std::numeric_limits<int32_t>::max();
    std::memcpy(&wide[l.tree], &box, sizeof box);
    ASSERT_TRUE(ResealIndex(wide));
    const std::string p = TempPath("wide.idx");
    std::ofstream(p, std::ios::binary) << wide;
    PlaceIndex widened;
    const std::string err = widened.Load(p);
    std::remove(p.c_str());
    ASSERT_EQ(err, "");
    EXPECT_EQ(widened.Lookup(box.minX / kSubUnits + 1, box.minY / kSubUnits + 1, 0).kind, Match::kError);

    PlaceIndex idx;
    EXPECT_NE(idx.Load(TempPath("no-such-file.idx")).find("cannot open"), std::string::npos);
    EXPECT_EQ(idx.Lookup(40500000, 12500000, 6000).kind, Match::kNone);  // nothing loaded, nothing found
}
