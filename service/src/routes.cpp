#include "routes.h"

namespace lookupd {

namespace {

const char kNotFound[] = "404 Not Found: only GET /GetTextByPos is served";

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// A malformed escape is kept as it is, so that it reaches the parameter check and gets its 400.
std::string Decode(const std::string& s, size_t b, size_t e) {
    std::string out;
    out.reserve(e - b);
    for (size_t i = b; i < e; ++i) {
        int hi, lo;
        if (s[i] == '%' && i + 2 < e && (hi = HexDigit(s[i + 1])) >= 0 && (lo = HexDigit(s[i + 2])) >= 0) {
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else {
            out += s[i] == '+' ? ' ' : s[i];
        }
    }
    return out;
}

}  // namespace

std::multimap<std::string, std::string> ParseQuery(const std::string& query) {
    std::multimap<std::string, std::string> params;
    size_t b = 0;
    while (b <= query.size()) {
        size_t e = query.find('&', b);
        if (e == std::string::npos)
            e = query.size();
        if (e > b) {
            size_t eq = query.find('=', b);
            if (eq == std::string::npos || eq > e)
                eq = e;
            params.emplace(Decode(query, b, eq), eq < e ? Decode(query, eq + 1, e) : std::string());
        }
        b = e + 1;
    }
    return params;
}

HttpReply Route(const Answerer& answerer, const std::string& method, const std::string& target, bool ready) {
    if (target.size() > kMaxTarget)
        return HttpReply{414, "414 URI Too Long", "text/plain"};
    size_t q = target.find('?');
    std::string path = target.substr(0, q);
    if (method != "GET")
        return HttpReply{404, kNotFound, "text/plain"};
    if (path == "/healthz")
        return ready ? HttpReply{200, "ready", "text/plain"} : HttpReply{503, "stopping", "text/plain"};
    if (path != "/GetTextByPos")
        return HttpReply{404, kNotFound, "text/plain"};
    Reply r = answerer.Answer(ParseQuery(q == std::string::npos ? std::string() : target.substr(q + 1)));
    return HttpReply{r.status, std::move(r.body), "text/plain; charset=GBK"};
}

}  // namespace lookupd
