#include "core/UrlSplit.h"

#include <cstring>

namespace {

struct Scheme {
    const char* prefix;
    uint32_t service;
    uint16_t port;
};

constexpr Scheme kSchemes[] = {
    {"http://", AFX_INET_SERVICE_HTTP, 80},
    {"https://", AFX_INET_SERVICE_HTTPS, 443},
};

bool StartsWithNoCase(const char* text, const char* prefix) {
    for (; *prefix; ++text, ++prefix) {
        char c = *text;
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != *prefix)
            return false;
    }
    return true;
}

}  // namespace

bool AfxParseURL(const char* pszURL, uint32_t& dwServiceType, CString& strServer, CString& strObject, uint16_t& nPort) {
    dwServiceType = AFX_INET_SERVICE_UNK;
    strServer.Empty();
    strObject.Empty();
    nPort = 0;
    if (!pszURL)
        return false;

    const Scheme* scheme = nullptr;
    for (const Scheme& s : kSchemes) {
        if (StartsWithNoCase(pszURL, s.prefix)) {
            scheme = &s;
            break;
        }
    }
    if (!scheme)
        return false;

    const char* server = pszURL + std::strlen(scheme->prefix);
    const char* serverEnd = server + std::strcspn(server, ":/?#");
    if (serverEnd == server)
        return false;

    uint16_t port = scheme->port;
    const char* rest = serverEnd;
    if (*rest == ':') {
        unsigned long value = 0;
        const char* digit = rest + 1;
        for (; *digit >= '0' && *digit <= '9'; ++digit) {
            value = value * 10 + static_cast<unsigned long>(*digit - '0');
            if (value > 65535)
                return false;
        }
        if (digit == rest + 1 || value == 0 || (*digit && !std::strchr("/?#", *digit)))
            return false;
        port = static_cast<uint16_t>(value);
        rest = digit;
    }

    dwServiceType = scheme->service;
    strServer = CString(server, static_cast<int>(serverEnd - server));
    strObject = (*rest == '/') ? CString(rest) : CString("/") + CString(rest);
    nPort = port;
    return true;
}
