#include "indexer/divisions.h"

#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include <opencc.h>

#include "index/gbk.h"

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
    std::string gbk;
    return Utf8ToGbk(utf8, gbk) && InGb2312(gbk);
}

// A row whose county is * stands for every county of its prefecture (a prefecture renamed or moved).
bool Matches(const DivisionName& name, const DivisionName& from) {
    return name.province == from.province && name.prefecture == from.prefecture &&
           (from.county == "*" || name.county == from.county) && (from.code.empty() || name.code == from.code);
}

bool IsCode(const std::string& cell) {
    return cell.size() == 6 && cell.find_first_not_of("0123456789") == std::string::npos;
}

// Reads a tab-separated file, skipping blank and # lines; `row` gets each row and its "file:line".
template <class Row>
std::string ReadTable(const std::string& path, Row row) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return "cannot open " + path;
    std::string line;
    for (int n = 1; std::getline(in, line); ++n) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line[0] == '#')
            continue;
        std::string err = row(path + ":" + std::to_string(n), SplitTabs(line));
        if (!err.empty())
            return err;
    }
    return {};
}

// One line of the list's CSV files: numbers bare, names in double quotes without commas.
std::vector<std::string> SplitCsv(const std::string& line) {
    std::vector<std::string> cells;
    std::string cell;
    std::istringstream in(line);
    while (std::getline(in, cell, ',')) {
        if (!cell.empty() && cell.back() == '\r')
            cell.pop_back();
        if (cell.size() >= 2 && cell.front() == '"' && cell.back() == '"')
            cell = cell.substr(1, cell.size() - 2);
        cells.push_back(cell);
    }
    return cells;
}

std::string ReadCsv(const std::string& path, size_t columns, std::vector<std::vector<std::string>>& rows) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return "cannot open " + path + " (run scripts/setup.sh to install the division list)";
    std::string line;
    for (int n = 1; std::getline(in, line); ++n) {
        if (n == 1 || line.empty() || line == "\r")
            continue;  // the header
        rows.push_back(SplitCsv(line));
        if (rows.back().size() != columns)
            return path + ":" + std::to_string(n) + ": expected " + std::to_string(columns) + " columns";
    }
    return {};
}

std::vector<std::string> SplitNames(const std::string& cell) {
    std::vector<std::string> out;
    size_t at = 0;
    for (size_t next; (next = cell.find(" / ", at)) != std::string::npos; at = next + 3)
        out.push_back(cell.substr(at, next - at));
    out.push_back(cell.substr(at));
    return out;
}

}  // namespace

std::string ReadDivisionChanges(const std::string& path, std::vector<DivisionChange>& out) {
    return ReadTable(path, [&](const std::string& where, const std::vector<std::string>& c) -> std::string {
        // old province, prefecture, county, code; new province, prefecture, county, code; year;
        // announcement
        if (c.size() != 10)
            return where + ": expected 10 tab-separated columns, found " + std::to_string(c.size());
        for (const std::string& cell : c)
            if (cell.empty())
                return where + ": empty column (write - for an absent part)";
        if (c[0] == "-" || c[4] == "-")
            return where + ": the province is required";
        if ((c[2] == "*") != (c[6] == "*"))
            return where + ": * must stand for the county on both sides or on neither";
        for (int i : {3, 7})
            if (c[i] != "-" && !IsCode(c[i]))
                return where + ": a code is six digits or -, not " + c[i];
        if (c[2] == "*" && (c[3] != "-" || c[7] != "-"))
            return where + ": a row for every county of a prefecture cannot give codes";
        if (c[8].size() != 4 || c[8].find_first_not_of("0123456789") != std::string::npos)
            return where + ": the year must be four digits";
        out.push_back({where, {c[0], Part(c[1]), Part(c[2]), Part(c[3])}, {c[4], Part(c[5]), Part(c[6]), Part(c[7])}});
        return {};
    });
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
            std::string code = ch.to.code.empty() ? names[i].code : ch.to.code;
            names[i] = ch.to;
            names[i].county = county;
            names[i].code = code;
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
            // A join that left two codes would keep one of them silently: the table is wrong.
            if (keptNames[f->second].code != names[i].code)
                return "the change table joins districts with codes " + keptNames[f->second].code + " and " +
                       names[i].code + " into " + full;
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

std::string ReadDivisionList(const std::string& dir, std::vector<ListedDivision>& out) {
    std::vector<std::vector<std::string>> provinces, cities, areas;
    std::string err = ReadCsv(dir + "/provinces.csv", 2, provinces);
    if (err.empty())
        err = ReadCsv(dir + "/cities.csv", 3, cities);
    if (err.empty())
        err = ReadCsv(dir + "/areas.csv", 4, areas);
    if (!err.empty())
        return err;
    std::map<std::string, std::string> province, city;
    for (const auto& p : provinces)
        province[p[0]] = p[1];
    for (const auto& c : cities)
        city[c[0]] = c[1];
    std::set<std::string> codes;
    for (const auto& a : areas) {
        if (!IsCode(a[0]) || !city.count(a[2]) || !province.count(a[3]))
            return dir + "/areas.csv: " + a[0] + " " + a[1] + " has no known code, prefecture or province";
        if (a[0][4] == '7')
            continue;  // development zones and the like: not divisions
        const std::string& p = province[a[3]];
        const std::string& c = city[a[2]];
        DivisionName n;
        if (c == "市辖区" || c == "县")
            n = {p, "", a[1], a[0]};  // under a municipality
        else if (c.find("直辖县级") != std::string::npos || c == a[1])
            n = {p, a[1], "", a[0]};  // named once, as the index names it
        else
            n = {p, c, a[1], a[0]};
        codes.insert(a[0]);
        out.push_back({n, false});
    }
    // Prefectures, so that a district the data has as a whole prefecture (三沙市) checks too.
    for (const auto& c : cities) {
        std::string code = c[0] + "00";
        if (c[1] == "市辖区" || c[1] == "县" || c[1].find("直辖县级") != std::string::npos || codes.count(code))
            continue;
        out.push_back({{province[c[2]], c[1], "", code}, true});
    }
    return {};
}

std::string ReadDivisionExceptions(const std::string& path, std::vector<DivisionException>& out) {
    return ReadTable(path, [&](const std::string& where, const std::vector<std::string>& c) -> std::string {
        if (c.size() != 2 || c[0].empty() || c[1].empty())
            return where + ": expected a district name and a reason, tab-separated";
        out.push_back({where, c[0], c[1]});
        return {};
    });
}

std::string ReadDivisionGaps(const std::string& path, std::vector<DivisionGap>& out) {
    static const std::map<std::string, DivisionGap::Kind> kinds = {
        {"covered", DivisionGap::kCovered}, {"carved", DivisionGap::kCarved}, {"no-shape", DivisionGap::kNoShape}};
    return ReadTable(path, [&](const std::string& where, const std::vector<std::string>& c) -> std::string {
        if (c.size() != 4)
            return where + ": expected code, kind, answered as, note: found " + std::to_string(c.size()) + " columns";
        auto k = kinds.find(c[1]);
        if (!IsCode(c[0]) || k == kinds.end() || c[2].empty() || c[3].empty())
            return where +
                   ": expected a 6-digit code, covered / carved / no-shape, the districts answered "
                   "there (- for none) and a note";
        if ((k->second == DivisionGap::kNoShape) != (c[2] == "-"))
            return where + ": only a division with no shape has no district answered there (-)";
        out.push_back({k->second, where, c[0], Part(c[2]), c[3]});
        return {};
    });
}

std::string CheckDivisions(const std::vector<ListedDivision>& list,
                           const std::vector<DivisionException>& exceptions,
                           const std::vector<DivisionGap>& gaps,
                           std::vector<DivisionName>& names,
                           DivisionReport& report) {
    std::map<std::string, const DivisionName*> byCode, byName;
    for (const ListedDivision& l : list) {
        byCode[l.name.code] = &l.name;
        byName[l.name.Full()] = &l.name;
    }
    auto excepted = [&](const std::string& full) {
        for (const DivisionException& e : exceptions) {
            bool prefix = e.name.back() == '*';
            std::string n = prefix ? e.name.substr(0, e.name.size() - 1) : e.name;
            if (prefix ? full.compare(0, n.size(), n) == 0 : full == n)
                return true;
        }
        return false;
    };
    std::string faults;
    std::set<std::string> carried, answered;
    for (DivisionName& n : names) {
        std::string full = n.Full();
        answered.insert(full);
        if (excepted(full)) {
            n.code.clear();  // Taiwan's town codes and the two regions' own are no national codes
            report.excepted++;
            continue;
        }
        report.checked++;
        if (n.code.empty()) {
            auto named = byName.find(full);
            if (named == byName.end()) {
                faults += full + ": no code, and the list has no division of that name\n";
                continue;
            }
            n.code = named->second->code;
            report.codesFilled++;
        }
        auto listed = byCode.find(n.code);
        if (listed == byCode.end())
            faults += full + " (" + n.code + "): the list has no such code\n";
        else if (listed->second->Full() != full)
            faults += full + " (" + n.code + "): the list has " + listed->second->Full() + " under that code\n";
        else
            carried.insert(n.code);
    }

    std::map<std::string, const DivisionGap*> gapOf;
    for (const DivisionGap& g : gaps) {
        gapOf[g.code] = &g;
        auto listed = byCode.find(g.code);
        if (listed == byCode.end() || carried.count(g.code))
            faults += g.where + ": " + g.code + " is not a listed division that no district carries\n";
        for (const std::string& a : SplitNames(g.answeredAs))
            if (!a.empty() && !answered.count(a))
                faults += g.where + ": no district named " + a + "\n";
    }
    std::vector<std::string> byKind[3];
    static const char* const kTitles[3] = {"covered under another name", "carved out of a district the data still has",
                                           "new, with no shape"};
    for (const ListedDivision& l : list) {
        if (l.prefecture || carried.count(l.name.code))
            continue;
        auto g = gapOf.find(l.name.code);
        if (g == gapOf.end()) {
            faults +=
                l.name.Full() + " (" + l.name.code + "): listed, but no district carries it and no gap row says why\n";
            continue;
        }
        const DivisionGap& gap = *g->second;
        report.counts[gap.kind]++;
        byKind[gap.kind].push_back(l.name.code + " " + l.name.Full() +
                                   (gap.answeredAs.empty() ? "" : ": answered as " + gap.answeredAs) + " (" + gap.note +
                                   ")");
    }
    for (int k = 0; k < 3; ++k) {
        report.lines.push_back(std::string(kTitles[k]) + ": " + std::to_string(byKind[k].size()));
        for (std::string& line : byKind[k])
            report.lines.push_back("  " + line);
    }
    return faults;
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
