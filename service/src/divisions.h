// District names: traditional characters to simplified, and the table of later division changes.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "place_index.h"

namespace lookupd {

struct DivisionName {
    std::string province;    // full form, e.g. 山东省
    std::string prefecture;  // full form; empty under a municipality or region without prefectures
    std::string county;      // empty where the prefecture is listed without counties
    std::string Full() const { return province + prefecture + county; }
};

// One row of the change table: the district as the data names it and what it is today.
struct DivisionChange {
    std::string where;  // "file:line", for messages
    DivisionName from, to;
};

// Reads the tab-separated change table; returns an empty string or the first fault, naming the line.
std::string ReadDivisionChanges(const std::string& path, std::vector<DivisionChange>& out);

// Renames names[i] (which names districts[i]) row by row. Districts that end up with one name are
// merged into the first of them. A row that matches no district is an error naming the row.
// `changed` gets the number of districts whose name changed.
std::string ApplyDivisionChanges(const std::vector<DivisionChange>& changes,
                                 std::vector<DivisionName>& names,
                                 std::vector<District>& districts,
                                 size_t& changed);

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
