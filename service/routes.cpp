#include "service/routes.h"

#include <cstdio>

namespace lookupd {

namespace {

const char kNotFound[] = "404 Not Found: served are GET /GetTextByPos, /reverse, /healthz and the map page at /";

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
std::string Decode(std::string_view s, size_t b, size_t e) {
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

std::multimap<std::string, std::string> ParseQuery(std::string_view query) {
    std::multimap<std::string, std::string> params;
    size_t b = 0;
    while (b <= query.size()) {
        size_t e = query.find('&', b);
        if (e == std::string_view::npos)
            e = query.size();
        if (e > b) {
            size_t eq = query.find('=', b);
            if (eq == std::string_view::npos || eq > e)
                eq = e;
            params.emplace(Decode(query, b, eq), eq < e ? Decode(query, eq + 1, e) : std::string());
        }
        b = e + 1;
    }
    return params;
}

void RequestReader::Reset() {
    m_parser.emplace();
    m_parser->header_limit(kHeaderBytes);
    m_parser->body_limit(kBodyBytes);
}

RequestReader::State RequestReader::Feed(std::string_view bytes, size_t& used) {
    namespace http = boost::beast::http;
    boost::beast::error_code ec;
    used = 0;
    while (used < bytes.size() && !m_parser->is_done()) {
        size_t n = m_parser->put(boost::asio::buffer(bytes.data() + used, bytes.size() - used), ec);
        used += n;
        if (ec == http::error::need_more) {
            ec = {};
            break;
        }
        if (ec || n == 0)
            break;
    }
    if (!ec)
        return m_parser->is_done() ? State::kDone : State::kNeedMore;
    if (ec == http::error::header_limit) {
        // A request line that alone overruns the budget is a target too long; anything else
        // is a header without end.
        std::string_view head = bytes.substr(used, kMaxTarget + 64);
        m_refusal = head.find('\n') == std::string_view::npos ? HttpReply{414, "414 URI Too Long", "text/plain"}
                                                              : HttpReply{400, "400 Bad Request", "text/plain"};
    } else if (ec == http::error::body_limit) {
        m_refusal = HttpReply{413, "413 Payload Too Large", "text/plain"};
    } else {
        m_refusal = HttpReply{400, "400 Bad Request", "text/plain"};
    }
    return State::kRefused;
}

// Views into the request, so that a query costs no copies of its target.
HttpReply Route(const Answerer& answerer, std::string_view method, std::string_view target, bool ready) {
    if (target.size() > kMaxTarget)
        return HttpReply{414, "414 URI Too Long", "text/plain"};
    size_t q = target.find('?');
    std::string_view path = target.substr(0, q);
    if (method != "GET")
        return HttpReply{404, kNotFound, "text/plain"};
    if (path == "/healthz")
        return ready ? HttpReply{200, "ready", "text/plain"} : HttpReply{503, "stopping", "text/plain"};
    const std::string_view query = q == std::string_view::npos ? std::string_view() : target.substr(q + 1);
    if (path == "/reverse") {
        JsonReply r = answerer.Json().Answer(ParseQuery(query));
        HttpReply reply{r.status, std::move(r.body), "application/json; charset=utf-8"};
        reply.anyOrigin = true;
        return reply;
    }
    if (path != "/GetTextByPos") {
        std::optional<PageReply> page = answerer.Page().Answer(path, ParseQuery(query));
        if (!page)
            return HttpReply{404, kNotFound, "text/plain"};
        HttpReply reply{page->status, std::move(page->body), page->contentType};
        reply.policy = kPagePolicy;
        return reply;
    }
    Reply r = answerer.Answer(ParseQuery(query));
    return HttpReply{r.status, std::move(r.body), "text/plain; charset=GBK", r.code};
}

void PutReplyHead(std::string& out, const HttpReply& reply, bool keepAlive) {
    out.assign("HTTP/1.1 ");
    out += std::to_string(reply.status);
    out += ' ';
    const boost::beast::string_view reason =
        boost::beast::http::obsolete_reason(static_cast<boost::beast::http::status>(reply.status));
    out.append(reason.data(), reason.size());
    out += "\r\nContent-Type: ";
    out += reply.contentType;
    if (reply.anyOrigin)
        out += "\r\nAccess-Control-Allow-Origin: *";
    if (reply.policy) {
        out += "\r\nContent-Security-Policy: ";
        out += reply.policy;
        out += "\r\nX-Content-Type-Options: nosniff";
    }
    if (reply.districtCode) {
        out += "\r\nX-District-Code: ";
        out += std::to_string(reply.districtCode);
    }
    if (!keepAlive)
        out += "\r\nConnection: close";
    out += "\r\nContent-Length: ";
    out += std::to_string(reply.body.size());
    out += "\r\n\r\n";
}

void LogRequest(std::string_view method, std::string_view target, int status, long long us) {
    const std::string shown = target.size() > 200 ? std::string(target.substr(0, 200)) + "..." : std::string(target);
    std::fprintf(stderr, "%.*s %s %d %lldus\n", static_cast<int>(method.size()), method.data(), shown.c_str(), status,
                 us);
}

}  // namespace lookupd
