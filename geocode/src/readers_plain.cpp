// Plain lines of LON LAT, apart by white space, a comma or a semicolon.
#include "sources.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "positions.h"

namespace geocode {

namespace {

class PlainSource : public Source {
public:
    explicit PlainSource(ByteInput& in) : m_in(in) {}
    std::vector<std::string> Columns() const override { return {"lon", "lat"}; }

    bool Next(Record& r) override {
        std::string line;
        for (;;) {
            r = Record();
            if (!m_in.Line(line))
                return false;
            r.line = ++m_lineNo;
            std::string_view t = Trim(line);
            if (!t.empty() && t[0] != '#')
                break;
        }
        // Values apart by white space or a comma.
        std::vector<std::string> values;
        std::string cur;
        for (char c : line) {
            if (c == ' ' || c == '\t' || c == ',' || c == ';') {
                if (!cur.empty())
                    values.push_back(std::move(cur));
                cur.clear();
            } else {
                cur += c;
            }
        }
        if (!cur.empty())
            values.push_back(std::move(cur));
        r.cells = values;
        r.cells.resize(2);
        if (values.size() != 2) {
            r.error = "expected LON LAT, found " + std::to_string(values.size()) + " values";
            r.cells = {line, ""};
            return true;
        }
        r.lon = values[0];
        r.lat = values[1];
        return true;
    }

private:
    ByteInput& m_in;
    uint64_t m_lineNo = 0;
};

}  // namespace

std::unique_ptr<Source> MakePlainSource(ByteInput& in) {
    return std::make_unique<PlainSource>(in);
}

}  // namespace geocode
