// The reader of index version 4 (one flat table of vertices, the search tree built at load),
// for comparing its answers with today's index. See lookupd_compare.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "place_index.h"

namespace lookupd {

class IndexV4 {
public:
    IndexV4();
    ~IndexV4();
    IndexV4(const IndexV4&) = delete;
    IndexV4& operator=(const IndexV4&) = delete;

    std::string Load(const std::string& path);
    Match Lookup(int64_t x, int64_t y, int64_t radius) const;
    std::string_view Name(uint32_t district) const { return m_names[district]; }
    size_t DistrictCount() const { return m_names.size(); }
    size_t PieceCount() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
    std::vector<std::string_view> m_names;
    const uint32_t* m_codes = nullptr;
    Datum m_datum = Datum::kWgs84;
};

}  // namespace lookupd
