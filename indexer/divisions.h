// District names: traditional characters to simplified, and the table of later division changes.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "indexer/index_writer.h"

namespace lookupd {

struct DivisionName {
    std::string province;    // full form, e.g. 山东省
    std::string prefecture;  // full form; empty under a municipality or region without prefectures
    std::string county;      // empty where the prefecture is listed without counties
    std::string code;        // 6 digits; empty where the data has none
    std::string Full() const { return province + prefecture + county; }
};

// One row of the change table: the district as the data names it and what it is today. An
// empty code in `from` matches any; in `to` it keeps the district's code.
struct DivisionChange {
    std::string where;  // "file:line", for messages
    DivisionName from, to;
};

// Reads the tab-separated change table; returns an empty string or the first fault, naming the line.
std::string ReadDivisionChanges(const std::string& path, std::vector<DivisionChange>& out);

// Renames names[i] (which names districts[i]) row by row. Districts that end up with one name are
// merged into the first of them; they must end up with one code too. A row that matches no
// district is an error naming the row. `changed` gets the number of districts whose name changed.
std::string ApplyDivisionChanges(const std::vector<DivisionChange>& changes,
                                 std::vector<DivisionName>& names,
                                 std::vector<District>& districts,
                                 size_t& changed);

// Today's divisions as the official code list gives them, named as the index names districts.
struct ListedDivision {
    DivisionName name;
    bool prefecture = false;  // a prefecture itself (code ending 00), not a county-level division
};

// Reads provinces.csv, cities.csv and areas.csv of the installed china-division package's dist/.
// Development zones (fifth digit 7) are not divisions and are left out.
std::string ReadDivisionList(const std::string& dir, std::vector<ListedDivision>& out);

// A district answered although the list does not have it, with the reason.
struct DivisionException {
    std::string where, name, reason;  // name: a full name, or a prefix of one ending in *
};
std::string ReadDivisionExceptions(const std::string& path, std::vector<DivisionException>& out);

// A listed county-level division that no district of the index carries, and what is answered there.
struct DivisionGap {
    enum Kind { kCovered, kCarved, kNoShape } kind = kNoShape;
    std::string where, code, answeredAs, note;  // answeredAs: full district names, ' / ' between
};
std::string ReadDivisionGaps(const std::string& path, std::vector<DivisionGap>& out);

struct DivisionReport {
    size_t checked = 0, excepted = 0, codesFilled = 0;
    size_t counts[3] = {0, 0, 0};    // gaps by kind
    std::vector<std::string> lines;  // the gaps, one per line, grouped by kind
};

// Checks every named district against the list: its code must name it there, with its prefecture
// and province, unless an exception covers it. A district without a code takes the list's code for
// its full name. Every listed county-level division that no district carries must have a gap row,
// and every gap row must name such a division and districts that exist. Returns the faults, one
// per line, each naming its district or row; empty when the check passes.
std::string CheckDivisions(const std::vector<ListedDivision>& list,
                           const std::vector<DivisionException>& exceptions,
                           const std::vector<DivisionGap>& gaps,
                           std::vector<DivisionName>& names,
                           DivisionReport& report);

// Traditional to simplified characters, leaving simplified text as it is.
class Simplifier {
public:
    Simplifier();
    ~Simplifier();
    Simplifier(const Simplifier&) = delete;
    Simplifier& operator=(const Simplifier&) = delete;

    // Empty when the converter is ready, otherwise why it is not.
    const std::string& Error() const { return m_error; }
    std::string Convert(const std::string& utf8) const;

private:
    void* m_handle = nullptr;
    std::string m_error;
};

}  // namespace lookupd
