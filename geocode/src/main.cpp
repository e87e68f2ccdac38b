// lumeno-geocode: positions from tables and track logs in, the districts they lie in out.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "run.h"

namespace {

const char kUsage[] =
    "usage: lumeno-geocode [options] [FILE...]\n"
    "Names the province, prefecture and district of every point, offline, one output row per input\n"
    "point in input order. Without FILE, or with -, reads standard input.\n"
    "\n"
    "Input (format from the file's ending, else --from):\n"
    "  --from FORMAT    csv, tsv (.csv, .tsv/.tab), gpx (.gpx), nmea (.nmea/.nma), plain (.txt)\n"
    "                   csv/tsv: a header row; the longitude and latitude columns are found by\n"
    "                     name (lon, lng, long, longitude, x, 经度 / lat, latitude, y, 纬度; any case)\n"
    "  --lon COL        the longitude column: its header name or its number (1 = first)\n"
    "  --lat COL        the latitude column\n"
    "                   gpx: wpt, trkpt and rtept, with their ele, time and name\n"
    "                   nmea: GGA, RMC and GLL of any talker; checksums checked; sentences without\n"
    "                     a fix are reported and skipped\n"
    "                   plain: one 'LON LAT' per line; # starts a comment\n"
    "\n"
    "Output (standard output unless -o):\n"
    "  -o FILE          write FILE: written beside it and put in its place when the run ends with\n"
    "                   status 0 or 1; a run that fails or is interrupted leaves FILE as it was\n"
    "  --jsonl          JSON Lines instead of CSV (UTF-8)\n"
    "  --geojson        one GeoJSON FeatureCollection (RFC 7946, UTF-8), written as it streams\n"
    "  --geojsonseq     GeoJSON text sequence (RFC 8142): one Feature a line\n"
    "                   GeoJSON: each point in WGS-84 (converted from --crs), the input's fields,\n"
    "                   line, the names, code, distance_m and error as properties; a refused row is\n"
    "                   a Feature with \"geometry\": null and its error\n"
    "  --bom            start UTF-8 output with a byte-order mark, for spreadsheet programs\n"
    "  --encoding ENC   utf-8 (default) or gbk: the tables' text, in and out\n"
    "                   CSV output: the input's columns (a table's rows as written; TSV stays TSV),\n"
    "                   then province, prefecture, district, code, distance_m, error. distance_m is\n"
    "                   set for a point outside every district but within about 1.85 km (a sixtieth\n"
    "                   of a degree) of one: whole metres below 1 km, else rounded to 100 m.\n"
    "                   code: the district's 6-digit division code (none for Taiwan, Hong Kong, Macau).\n"
    "\n"
    "Engine:\n"
    "  --data INDEX     the district index (default: lookupd.idx beside this program)\n"
    "  --service H:P    ask a running lumeno-lookupd (or nginx before replicas) over HTTP instead\n"
    "  --timeout-ms MS  service: bound of each connect, send and receive (default 5000); a failed\n"
    "                   try is made again on a new connection, 3 tries in all\n"
    "  --threads N      lookup threads (default: one per core)\n"
    "\n"
    "  --strict         stop at the first row that cannot be answered\n"
    "  --quiet          no progress bar (it is shown only on a terminal anyway)\n"
    "\n"
    "  --crs NAME       the coordinate system of every input position: wgs84 (default; GPS, GPX,\n"
    "                   NMEA), gcj02 (also amap, tencent: picked on Amap's or Tencent's map), bd09\n"
    "                   (also baidu: picked on Baidu's map)\n"
    "\n"
    "Positions: table cells and plain lines are read by the same parser as the Lumeno window, in\n"
    "its three notations: 113.65735, 113.39'26.46\" (degrees.minutes'seconds\") and 113.39'441\n"
    "(degrees.minutes'decimals of the minute); both values of a point in one notation. Where that\n"
    "parser's arithmetic differs from exact decimals, so does this program, as the window does:\n"
    "  - the value is computed in binary floating point and cut (not rounded) to map units of\n"
    "    1/360000 degree, so a value just under a unit boundary (e.g. 34.79139166666) lands one\n"
    "    unit lower than its exact decimal might suggest;\n"
    "  - minutes and seconds are multiplied by 1/60 and 1/3600 as doubles, not divided exactly;\n"
    "  - digits beyond the 51st character of a piece are ignored.\n"
    "Minutes and seconds of 60 or more, and signs in the minute notations, are refused. GPX and\n"
    "NMEA values are decimal numbers read exactly (then cut to map units the same way). Points\n"
    "outside the service region (73.45-135.09 E, 3.41-53.56 N) are refused.\n"
    "\n"
    "Rows that cannot be answered keep their place with empty names and the reason in the error\n"
    "column, and are reported on standard error as FILE:LINE: reason.\n"
    "Exit status: 0 every row answered, 1 some rows refused (counted on standard error), 2 usage\n"
    "or I/O error (unreadable input, missing index, unreachable service, output not writable).\n";

int Usage(const char* why) {
    std::fprintf(stderr, "lumeno-geocode: %s\n(lumeno-geocode --help describes the options)\n", why);
    return geocode::kUsageOrIo;
}

}  // namespace

int main(int argc, char** argv) {
    geocode::Options opt;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc)
                return false;
            out = argv[++i];
            return true;
        };
        std::string v;
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "-" || a.empty() || a[0] != '-') {
            opt.inputs.push_back(a);
        } else if (a == "--from") {
            if (!value(v))
                return Usage("--from needs a format");
            static const std::pair<const char*, geocode::Format> kFormats[] = {
                {"csv", geocode::Format::kCsv},   {"tsv", geocode::Format::kTsv},     {"gpx", geocode::Format::kGpx},
                {"nmea", geocode::Format::kNmea}, {"plain", geocode::Format::kPlain},
            };
            opt.formatGiven = false;
            for (auto& [name, f] : kFormats)
                if (v == name) {
                    opt.from = f;
                    opt.formatGiven = true;
                }
            if (!opt.formatGiven)
                return Usage(("unknown format '" + v + "' (csv, tsv, gpx, nmea, plain)").c_str());
        } else if (a == "--lon" || a == "--lat") {
            if (!value(a == "--lon" ? opt.reader.lonColumn : opt.reader.latColumn))
                return Usage((a + " needs a column").c_str());
        } else if (a == "-o") {
            if (!value(opt.output))
                return Usage("-o needs a file");
        } else if (a == "--jsonl" || a == "--geojson" || a == "--geojsonseq") {
            if (opt.rows != geocode::RowKind::kDelimited)
                return Usage("--jsonl, --geojson and --geojsonseq exclude each other");
            opt.rows = a == "--jsonl"     ? geocode::RowKind::kJsonLines
                       : a == "--geojson" ? geocode::RowKind::kGeoJson
                                          : geocode::RowKind::kGeoJsonSeq;
        } else if (a == "--crs") {
            std::string v;
            if (!value(v) || !lookupd::ParseCrs(v, opt.crs))
                return Usage(("--crs takes one of " + std::string(lookupd::KnownCrsNames())).c_str());
        } else if (a == "--bom") {
            opt.bom = true;
        } else if (a == "--encoding") {
            if (!value(v) || (v != "utf-8" && v != "utf8" && v != "gbk" && v != "GBK" && v != "UTF-8"))
                return Usage("--encoding takes utf-8 or gbk");
            opt.gbk = v == "gbk" || v == "GBK";
        } else if (a == "--strict") {
            opt.strict = true;
        } else if (a == "--quiet" || a == "-q") {
            opt.quiet = true;
        } else if (a == "--threads") {
            char* end = nullptr;
            long n = value(v) ? std::strtol(v.c_str(), &end, 10) : 0;
            if (v.empty() || *end != '\0' || n < 1 || n > 256)
                return Usage("--threads takes a number from 1 to 256");
            opt.threads = static_cast<unsigned>(n);
        } else if (a == "--data") {
            if (!value(opt.data))
                return Usage("--data needs an index file");
        } else if (a == "--service") {
            if (!value(opt.service) || opt.service.find(':') == std::string::npos ||
                opt.service.rfind(':') + 1 == opt.service.size())
                return Usage("--service takes HOST:PORT");
        } else if (a == "--timeout-ms") {
            char* end = nullptr;
            long n = value(v) ? std::strtol(v.c_str(), &end, 10) : 0;
            if (v.empty() || *end != '\0' || n < 1 || n > 600000)
                return Usage("--timeout-ms takes a number of milliseconds from 1 to 600000");
            opt.timeoutMs = static_cast<int>(n);
        } else {
            return Usage(("unknown option " + a).c_str());
        }
    }
    if (opt.rows != geocode::RowKind::kDelimited && opt.gbk)
        return Usage("JSON Lines and GeoJSON are UTF-8: --encoding gbk is for CSV output");
    if (opt.rows != geocode::RowKind::kDelimited && opt.bom)
        return Usage("--bom is for CSV output");
    if (!opt.service.empty() && !opt.data.empty())
        return Usage("--data and --service exclude each other");
    return geocode::Run(opt, argv[0]);
}
