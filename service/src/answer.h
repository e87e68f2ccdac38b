// Turns a lookup request's parameters into the status and GBK text the program shows.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "place_index.h"

namespace lookupd {

// UTF-8 to GBK (code page 936) through iconv; returns false when a character has no GBK form.
bool Utf8ToGbk(const std::string& utf8, std::string& gbk);

struct Reply {
    int status;
    std::string body;  // GBK, at most kMaxBody bytes
};

class Answerer {
public:
    // The program keeps at most this many body bytes.
    static constexpr size_t kMaxBody = 4095;

    explicit Answerer(const PlaceIndex& index);

    // Empty, or why the texts could not be prepared (a name without a GBK form).
    const std::string& Error() const { return m_error; }

    // params: the decoded query parameters (first value of each key counts).
    Reply Answer(const std::multimap<std::string, std::string>& params) const;

    // The texts as UTF-8, for tests and logs.
    static std::string InsideText(const std::string& name);
    static std::string NearText(const std::string& name, double metres);
    static std::string UnknownText();

private:
    Reply Gbk(int status, const std::string& utf8) const;

    const PlaceIndex& m_index;
    std::vector<std::string> m_gbkNames;
    std::string m_error;
};

}  // namespace lookupd
