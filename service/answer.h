// Turns a lookup request's parameters into the status and GBK text the program shows, and
// holds the JSON route's answerer beside it.
#pragma once

#include <map>
#include <string>

#include "index/place_index.h"
#include "service/json_answer.h"
#include "service/page.h"

namespace lookupd {

struct Reply {
    int status;
    std::string body;   // GBK, at most kMaxBody bytes
    uint32_t code = 0;  // the named district's 6-digit division code, 0 for none
};

class Answerer {
public:
    // The program keeps at most this many body bytes.
    static constexpr size_t kMaxBody = 4095;

    explicit Answerer(const PlaceIndex& index) : m_index(index), m_json(index), m_page(index) {}

    // params: the decoded query parameters (first value of each key counts). An optional
    // coordtype names the system x and y are in (WGS-84 without it).
    Reply Answer(const std::multimap<std::string, std::string>& params) const;

    // The JSON route's answers, from the same index.
    const JsonAnswerer& Json() const { return m_json; }
    // The map page's files and routes.
    const PageAnswerer& Page() const { return m_page; }

private:
    const PlaceIndex& m_index;
    JsonAnswerer m_json;
    PageAnswerer m_page;
};

}  // namespace lookupd
