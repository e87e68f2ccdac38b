// The index file's own checks: every kind of damage is refused with its reason.
#ifndef _WIN32
#include <unistd.h>
#endif

#include "index/index_format.h"
#include "index/tests/small_index.h"

using namespace lookupd;
using namespace lookupd::testing;

TEST_F(SmallIndex, DamagedFilesAreRefusedWithAReason) {
    const std::string bytes = Slurp(m_path);
    auto tryLoad = [&](const std::string& content) {
        // Loaded before: a load that fails leaves nothing of the last file, neither its names
        // nor its pieces.
        PlaceIndex idx;
        EXPECT_EQ(idx.Load(m_path), "");
        std::string err = LoadBytes(content, {&idx});
        EXPECT_EQ(idx.DistrictCount(), 0u);
        EXPECT_EQ(idx.PieceCount(), 0u);
        EXPECT_EQ(idx.Lookup(40500000, 12500000, 6000).kind, Match::kNone);
        return err;
    };
    struct {
        size_t at;  // byte to change; npos: the file as given below
        std::string content, says;
    } cases[] = {
        {8, "", "version 5, expected 6"},             // the version field: an index of the format before this one
        {84, "", "checksum mismatch in its tables"},  // the name table, right after the 72-byte header
        {std::string::npos, bytes.substr(0, bytes.size() - 9), "does not match"},
        {std::string::npos, "PK\x03\x04" + std::string(200, 'z'), "signature"},
        {std::string::npos, "", "too short"},
        {std::string::npos, bytes.substr(0, 79), "too short"},       // a header, but no room for the checksum
        {std::string::npos, bytes.substr(0, 80), "does not match"},  // both, judged by the header
    };
    for (const auto& c : cases) {
        std::string content = c.content;
        if (c.at != std::string::npos) {
            content = bytes;
            content[c.at] = c.at == 8 ? 5 : content[c.at] ^ 0x10;
        }
        EXPECT_NE(tryLoad(content).find(c.says), std::string::npos) << c.says;
    }
    // Tables that pass their checksum but contradict the file: resealed, and still refused.
    Header h;
    std::memcpy(&h, bytes.data(), sizeof h);
    const Layout l = LayoutOf(h);
    for (auto [at, says] : {std::pair<uint64_t, const char*>{l.nameOffsets, "name table does not match its blob"},
                            {l.streamOffsets, "piece table does not match its data"},
                            {l.cells + 1, "cell 0 names no district"}}) {
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
    PlaceIndex widened;
    ASSERT_EQ(LoadBytes(wide, {&widened}), "");
    EXPECT_EQ(widened.Lookup(box.minX / kSubUnits + 1, box.minY / kSubUnits + 1, 0).kind, Match::kError);

    PlaceIndex idx;
    EXPECT_NE(idx.Load(TempPath("no-such-file.idx")).find("cannot open"), std::string::npos);
    EXPECT_EQ(idx.Lookup(40500000, 12500000, 6000).kind, Match::kNone);  // nothing loaded, nothing found
}

// A vertex given as grid steps lies in its piece's box or the piece is damaged, however far
// the steps would carry it: the count is refused before it is multiplied out.
TEST(PieceBytes, StepsBeyondTheBoxAreDamage) {
    constexpr int32_t kGrid = 11250;  // the format's grid step, in fixed units
    const Box box{0, 0, kGrid * 4, kGrid * 4};
    auto varint = [](std::string& s, uint64_t v) {
        for (; v >= 0x80; v >>= 7)
            s += static_cast<char>((v & 0x7F) | 0x80);
        s += static_cast<char>(v);
    };
    // One ring of three vertices: the first x as steps from the box's corner (tag 0, zig-zag),
    // every other coordinate as the box's minimum (tag 1) or maximum (tag 2).
    auto piece = [&](uint64_t steps) {
        std::string s;
        for (uint64_t v : {uint64_t{1}, uint64_t{3}, (steps * 2) << 2, uint64_t{1}, uint64_t{2}, uint64_t{1},
                           uint64_t{2}, uint64_t{2}})
            varint(s, v);
        return s;
    };
    Decoded d;
    auto decode = [&](const std::string& s) {
        const auto* p = reinterpret_cast<const unsigned char*>(s.data());
        return DecodePiece(p, p + s.size(), box, d);
    };
    ASSERT_TRUE(decode(piece(3)));
    EXPECT_EQ(d.points[0].x, 3 * kGrid);
    EXPECT_EQ(d.RingCount(), 1u);
    EXPECT_FALSE(decode(piece(5)));
    EXPECT_FALSE(decode(piece((uint64_t(1) << 32) + 1)));
}

#ifndef _WIN32
// A service started with its standard input closed opens the index as descriptor 0.
TEST_F(SmallIndex, OpensAsDescriptorZero) {
    const int input = dup(0);
    ASSERT_GE(input, 0);
    close(0);
    PlaceIndex idx;
    const std::string err = idx.Load(m_path);
    dup2(input, 0);
    close(input);
    EXPECT_EQ(err, "");
    EXPECT_EQ(idx.DistrictCount(), 3u);
}
#endif
