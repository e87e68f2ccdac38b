// Writing the index file: the pieces in tree order, encoded and read back, and the checksums.
#include "indexer/index_writer.h"

#include "index/index_format.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>

#include <xxhash.h>

namespace lookupd {

namespace {

template <class T>
void Append(std::string& buf, const T& v) {
    buf.append(reinterpret_cast<const char*>(&v), sizeof v);
}

void Pad(std::string& buf) {
    buf.resize(Aligned(buf.size()), '\0');
}

// Sort-tile-recursive order: pieces near each other end up in the same leaves.
std::vector<uint32_t> TreeOrder(const std::vector<Box>& boxes) {
    std::vector<uint32_t> order(boxes.size());
    for (uint32_t i = 0; i < order.size(); ++i)
        order[i] = i;
    auto cx = [&](uint32_t i) { return int64_t(boxes[i].minX) + boxes[i].maxX; };
    auto cy = [&](uint32_t i) { return int64_t(boxes[i].minY) + boxes[i].maxY; };
    std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return cx(a) < cx(b); });
    const size_t leaves = (order.size() + kFanout - 1) / kFanout;
    const size_t slices = static_cast<size_t>(std::ceil(std::sqrt(static_cast<double>(leaves))));
    const size_t perSlice = std::max<size_t>(1, slices) * kFanout;
    for (size_t s = 0; s < order.size(); s += perSlice) {
        auto e = order.begin() + static_cast<std::ptrdiff_t>(std::min(order.size(), s + perSlice));
        std::stable_sort(order.begin() + static_cast<std::ptrdiff_t>(s), e,
                         [&](uint32_t a, uint32_t b) { return cy(a) < cy(b); });
    }
    return order;
}

}  // namespace

std::string WriteIndex(const std::string& path,
                       Datum datum,
                       const std::vector<District>& districts,
                       double cellsPerPiece) {
    if (districts.size() > 0xFFFF)
        return "too many districts for the index (" + std::to_string(districts.size()) + ")";
    struct Item {
        const Piece* piece;
        uint16_t district;
        Box box;
    };
    std::vector<Item> items;
    std::vector<Box> boxes;
    for (size_t d = 0; d < districts.size(); ++d)
        for (const Piece& p : districts[d].pieces) {
            if (p.rings.empty())
                return "a piece of " + districts[d].name + " has no outline";
            const Box b = Bounds(p.rings);
            items.push_back(Item{&p, static_cast<uint16_t>(d), Box{b.minX, b.minY, b.maxX, b.maxY}});
            boxes.push_back(items.back().box);
        }
    const std::vector<uint32_t> order = TreeOrder(boxes);

    Header h{};
    std::memcpy(h.magic, kMagic, sizeof kMagic);
    h.version = kVersion;
    h.datum = static_cast<uint32_t>(datum);
    h.districts = static_cast<uint32_t>(districts.size());
    h.pieces = static_cast<uint32_t>(items.size());
    h.fanout = kFanout;

    std::string nameOffsets, codes, nameBlob, pieceDistricts, streamOffsets, pieceSums, stream;
    for (const District& d : districts) {
        Append(nameOffsets, static_cast<uint32_t>(nameBlob.size()));
        nameBlob += d.name;
        Append(codes, d.code);
    }
    Append(nameOffsets, static_cast<uint32_t>(nameBlob.size()));
    std::vector<Box> leaves;
    Decoded check;
    for (uint32_t i : order) {
        const Item& it = items[i];
        std::string bytes = EncodePiece(*it.piece, it.box);
        // The builder reads back what it wrote: a piece that does not decode to itself
        // would answer wrongly for good.
        bool same = DecodePiece(reinterpret_cast<const unsigned char*>(bytes.data()),
                                reinterpret_cast<const unsigned char*>(bytes.data() + bytes.size()), it.box, check) &&
                    check.RingCount() == it.piece->rings.size();
        for (size_t r = 0; same && r < check.RingCount(); ++r) {
            RingView v = check.Ring(r);
            const FixedRing& want = it.piece->rings[r];
            same = v.size() == want.size() + 1 && std::equal(want.begin(), want.end(), v.b);
        }
        if (!same)
            return "a piece of " + districts[it.district].name + " does not read back as written";
        Append(pieceDistricts, it.district);
        Append(streamOffsets, static_cast<uint32_t>(stream.size()));
        Append(pieceSums, PieceSum(bytes.data(), bytes.size()));
        stream += bytes;
        leaves.push_back(it.box);
        if (stream.size() > UINT32_MAX)
            return "the pieces take more than 4 GiB";
    }
    Append(streamOffsets, static_cast<uint32_t>(stream.size()));
    h.nameBytes = static_cast<uint32_t>(nameBlob.size());
    h.streamBytes = stream.size();

    // The tree, leaves first: node j of a level covers nodes [j*kFanout, (j+1)*kFanout) below.
    std::string tree;
    std::vector<Box> level = leaves;
    for (;;) {
        for (const Box& b : level)
            Append(tree, b);
        if (level.size() <= kFanout)
            break;
        std::vector<Box> up;
        for (size_t i = 0; i < level.size(); i += kFanout) {
            Box b = level[i];
            for (size_t k = i + 1; k < std::min(level.size(), i + kFanout); ++k) {
                b.minX = std::min(b.minX, level[k].minX);
                b.minY = std::min(b.minY, level[k].minY);
                b.maxX = std::max(b.maxX, level[k].maxX);
                b.maxY = std::max(b.maxY, level[k].maxY);
            }
            up.push_back(b);
        }
        level = std::move(up);
    }

    // The file without a cell grid first; then the grid, classified by the reader's own rules
    // from that very file, and the file again with it.
    auto assemble = [&](const PlaceIndex::CellStates& grid, std::string& all) {
        h.cellX0 = grid.x0;
        h.cellY0 = grid.y0;
        h.cellShift = grid.shift;
        h.cellsX = grid.states.empty() ? 0 : grid.cellsX;
        h.cellsY = grid.states.empty() ? 0 : grid.cellsY;
        std::string cells;
        for (uint32_t s : grid.states)
            Append(cells, static_cast<uint16_t>(s));
        std::string tables;
        for (std::string* t :
             {&nameOffsets, &codes, &pieceDistricts, &streamOffsets, &pieceSums, &tree, &cells, &nameBlob}) {
            tables += *t;
            Pad(tables);
        }
        h.tablesSum = TablesSum(h, tables.data(), tables.size());
        all.clear();
        Append(all, h);
        all += tables;
        all += stream;
        Pad(all);
        if (all.size() != LayoutOf(h).sum)
            return false;
        Append(all, XXH3_64bits(all.data(), all.size()));
        return true;
    };
    // Written aside and renamed over the old file: a service that has the old one mapped
    // keeps it, and a failed build never leaves half an index.
    const std::string tmp = path + ".part";
    auto write = [&](const std::string& all) {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out)
            return "cannot create " + tmp;
        out.write(all.data(), static_cast<std::streamsize>(all.size()));
        out.close();
        return out ? std::string() : "cannot write " + tmp;
    };
    std::string all, err;
    if (!assemble(PlaceIndex::CellStates(), all))
        return "internal error: the tables do not follow their layout";
    if (!(err = write(all)).empty())
        return err;
    // The grid's cells are 16 bits: kCellWhole + the last district must fit.
    if (cellsPerPiece > 0 && districts.size() + kCellWhole <= 0xFFFF) {
        PlaceIndex::CellStates grid;
        {
            PlaceIndex index;
            if (!(err = index.Load(tmp)).empty()) {
                std::remove(tmp.c_str());
                return "internal error: the new index does not load: " + err;
            }
            grid = index.ClassifyCells(cellsPerPiece);
        }
        if (!assemble(grid, all))
            return "internal error: the tables do not follow their layout";
        if (!(err = write(all)).empty())
            return err;
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0)
        return "cannot rename " + tmp + " to " + path;
    return "";
}

bool ResealIndex(std::string& bytes) {
    Header h;
    if (bytes.size() < sizeof h + sizeof(uint64_t))
        return false;
    std::memcpy(&h, bytes.data(), sizeof h);
    if (h.streamBytes > UINT32_MAX)
        return false;
    const Layout l = LayoutOf(h);
    if (l.end != bytes.size())
        return false;
    char* base = &bytes[0];
    for (uint64_t i = 0; i < h.pieces; ++i) {
        uint32_t b, e;
        std::memcpy(&b, base + l.streamOffsets + 4 * i, 4);
        std::memcpy(&e, base + l.streamOffsets + 4 * (i + 1), 4);
        if (b <= e && e <= h.streamBytes) {
            uint32_t sum = PieceSum(base + l.stream + b, e - b);
            std::memcpy(base + l.pieceSums + 4 * i, &sum, 4);
        }
    }
    h.tablesSum = TablesSum(h, base + sizeof(Header), l.stream - sizeof(Header));
    std::memcpy(base, &h, sizeof h);
    const uint64_t sum = XXH3_64bits(base, l.sum);
    std::memcpy(base + l.sum, &sum, sizeof sum);
    return true;
}

}  // namespace lookupd
