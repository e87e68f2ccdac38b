// NMEA 0183 logs: the fixes of RMC, GGA and GLL sentences under their checksums.
#include "sources.h"

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "positions.h"

namespace geocode {

namespace {

int Hex(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

class NmeaSource : public Source {
public:
    explicit NmeaSource(ByteInput& in) : m_in(in) {}
    std::vector<std::string> Columns() const override { return {"sentence", "date", "time", "lat", "lon"}; }

    bool Next(Record& r) override {
        std::string line;
        for (;;) {
            r = Record();
            if (!m_in.Line(line))
                return false;
            r.line = ++m_lineNo;
            if (!Trim(line).empty() && Read(Trim(line), r))
                return true;
        }
    }

private:
    // False for a line that is no position sentence (GSV, GSA, ...), which has no row.
    bool Read(std::string_view line, Record& r) {
        r.cells.assign(5, "");
        size_t dollar = line.find('$');
        if (dollar == std::string_view::npos) {
            r.cells[0] = std::string(line.substr(0, 16));
            r.error = "not an NMEA sentence (no $)";
            return true;
        }
        std::string_view s = line.substr(dollar + 1);
        size_t star = s.find('*');
        std::string_view body = s.substr(0, star);
        std::vector<std::string_view> f;
        for (size_t at = 0;;) {
            size_t comma = body.find(',', at);
            f.push_back(body.substr(at, comma == std::string_view::npos ? std::string_view::npos : comma - at));
            if (comma == std::string_view::npos)
                break;
            at = comma + 1;
        }
        std::string_view address = f[0];
        std::string_view type = address.size() == 5 ? address.substr(2) : std::string_view();
        if (type != "GGA" && type != "RMC" && type != "GLL")
            return false;
        r.cells[0] = std::string(address);
        if (star == std::string_view::npos) {
            r.error = "no checksum";
            return true;
        }
        unsigned sum = 0;
        for (char c : body)
            sum ^= static_cast<unsigned char>(c);
        std::string_view given = Trim(s.substr(star + 1));
        if (given.size() != 2 || Hex(given[0]) < 0 || Hex(given[1]) < 0) {
            r.error = "checksum '" + std::string(given) + "' is not two hex digits";
            return true;
        }
        if (static_cast<unsigned>(Hex(given[0]) * 16 + Hex(given[1])) != sum) {
            char buf[64];
            std::snprintf(buf, sizeof buf, "bad checksum: the sentence says %.2s, its text sums to %02X", given.data(),
                          sum);
            r.error = buf;
            return true;
        }
        auto at = [&](size_t i) { return i < f.size() ? f[i] : std::string_view(); };
        size_t latAt = 0;
        bool fix = true;
        if (type == "GGA") {
            r.cells[2] = std::string(at(1));
            latAt = 2;
            fix = !at(6).empty() && at(6) != "0";
        } else if (type == "RMC") {
            r.cells[2] = std::string(at(1));
            r.cells[1] = std::string(at(9));
            latAt = 3;
            fix = at(2) == "A" && at(12) != "N";
        } else {
            r.cells[2] = std::string(at(5));
            latAt = 1;
            fix = at(6) == "A" && at(7) != "N";
        }
        r.cells[3] = std::string(at(latAt)) + std::string(at(latAt + 1));
        r.cells[4] = std::string(at(latAt + 2)) + std::string(at(latAt + 3));
        if (!fix || at(latAt).empty() || at(latAt + 2).empty()) {
            r.noRow = true;
            r.note = std::string(address) + " without a fix, skipped";
            return true;
        }
        r.exact = true;
        r.error = NmeaAngle(at(latAt), at(latAt + 1), 2, r.y);
        if (r.error.empty())
            r.error = NmeaAngle(at(latAt + 2), at(latAt + 3), 3, r.x);
        return true;
    }

    ByteInput& m_in;
    uint64_t m_lineNo = 0;
};

}  // namespace

std::unique_ptr<Source> MakeNmeaSource(ByteInput& in) {
    return std::make_unique<NmeaSource>(in);
}

}  // namespace geocode
