#include "divisions.h"

#include <iconv.h>

#include <fstream>
#include <map>
#include <sstream>

#include <opencc.h>

namespace lookupd {

namespace {

std::vector<std::string> SplitTabs(const std::string& line) {
    std::vector<std::string> cells;
    std::string cell;
    std::istringstream in(line);
    while (std::getline(in, cell, '\t'))
        cells.push_back(cell);
    return cells;
}

// "-" stands for an empty part, so that a row never has an empty cell.
std::string Part(const std::string& cell) {
    return cell == "-" ? std::string() : cell;
}

// Text that the simplified character set encodes is taken as simplified already: some of its
// characters are also traditional forms (乾 in 乾安县 is not 干), so it must not be converted.
bool InSimplifiedCharset(const std::string& utf8) {
    iconv_t cd = iconv_open("GB2312", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1))
        return false;
    std::string in = utf8;
    std::string out(in.size() * 2 + 4, '\0');
    char* src = in.data();
    char* dst = out.data();
    size_t srcLeft = in.size(), dstLeft = out.size();
    bool ok = iconv(cd, &src, &srcLeft, &dst, &dstLeft) != static_cast<size_t>(-1) && srcLeft == 0;
    iconv_close(cd);
    return ok;
}

// A row whose county is * stands for every county of its prefecture (a prefecture renamed or moved).
bool Matches(const DivisionName& name, const DivisionName& from) {
    return name.province == from.province && name.prefecture == from.prefecture &&
           (from.county == "*" || name.county == from.county);
}

}  // namespace

std::string ReadDivisionChanges(const std::string& path, std::vector<DivisionChange>& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return "cannot open " + path;
    std::string line;
    for (int n = 1; std::getline(in, line); ++n) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line[0] == '#')
            continue;
        std::vector<std::string> c = SplitTabs(line);
        std::string where = path + ":" + std::to_string(n);
        // old province, prefecture, county; new province, prefecture, county; year; announcement
        if (c.size() != 8)
            return where + ": expected 8 tab-separated columns, found " + std::to_string(c.size());
        for (const std::string& cell : c)
            if (cell.empty())
                return where + ": empty column (write - for an absent part)";
        if (c[0] == "-" || c[3] == "-")
            return where + ": the province is required";
        if ((c[2] == "*") != (c[5] == "*"))
            return where + ": * must stand for the county on both sides or on neither";
        if (c[6].size() != 4 || c[6].find_first_not_of("0123456789") != std::string::npos)
            return where + ": the year must be four digits";
        out.push_back({where, {c[0], Part(c[1]), Part(c[2])}, {c[3], Part(c[4]), Part(c[5])}});
    }
    return {};
}

std::string ApplyDivisionChanges(const std::vector<DivisionChange>& changes,
                                 std::vector<DivisionName>& names,
                                 std::vector<District>& districts,
                                 size_t& changed) {
    std::vector<bool> touched(names.size(), false);
    for (const DivisionChange& ch : changes) {
        bool matched = false;
        for (size_t i = 0; i < names.size(); ++i) {
            if (!Matches(names[i], ch.from))
                continue;
            std::string county = ch.to.county == "*" ? names[i].county : ch.to.county;
            names[i] = ch.to;
            names[i].county = county;
            touched[i] = true;
            matched = true;
        }
        if (!matched)
            return ch.where + ": no district named " + ch.from.Full();
    }
    changed = 0;
    for (bool t : touched)
        changed += t ? 1 : 0;

    // Districts that were joined into one keep the place of the first, so that where districts
    // overlap the earlier one still wins.
    std::map<std::string, size_t> first;
    std::vector<DivisionName> keptNames;
    std::vector<District> kept;
    for (size_t i = 0; i < names.size(); ++i) {
        std::string full = names[i].Full();
        auto f = first.find(full);
        if (touched[i] && f != first.end()) {
            auto& pieces = kept[f->second].pieces;
            pieces.insert(pieces.end(), std::make_move_iterator(districts[i].pieces.begin()),
                          std::make_move_iterator(districts[i].pieces.end()));
            continue;
        }
        first.emplace(full, kept.size());
        keptNames.push_back(std::move(names[i]));
        kept.push_back(std::move(districts[i]));
    }
    names = std::move(keptNames);
    districts = std::move(kept);
    return {};
}

Simplifier::Simplifier() {
    opencc_t h = opencc_open(OPENCC_DEFAULT_CONFIG_TRAD_TO_SIMP);
    if (h == reinterpret_cast<opencc_t>(-1)) {
        m_error = std::string("cannot open the OpenCC configuration " OPENCC_DEFAULT_CONFIG_TRAD_TO_SIMP ": ") +
                  opencc_error();
        return;
    }
    m_handle = h;
}

Simplifier::~Simplifier() {
    if (m_handle)
        opencc_close(static_cast<opencc_t>(m_handle));
}

std::string Simplifier::Convert(const std::string& utf8) const {
    if (!m_handle || utf8.empty() || InSimplifiedCharset(utf8))
        return utf8;
    char* out = opencc_convert_utf8(static_cast<opencc_t>(m_handle), utf8.data(), utf8.size());
    if (!out)
        return utf8;
    std::string result(out);
    opencc_convert_utf8_free(out);
    return result;
}

}  // namespace lookupd
