#include "service/tests/live_service.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "index/gbk.h"

namespace lookupd::testing {

int Connect(int port, int timeoutMs) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(s);
        return -1;
    }
    return s;
}

bool SendAll(int s, const std::string& data) {
    size_t off = 0;
    while (off < data.size()) {
        ssize_t n = send(s, data.data() + off, data.size() - off, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        off += static_cast<size_t>(n);
    }
    return true;
}

Reply ReadReply(int s) {
    Reply r;
    const auto whole = [&r] {
        return r.header.size() >= 4 && r.header.compare(r.header.size() - 4, 4, "\r\n\r\n") == 0;
    };
    for (char c; !whole() && r.header.size() < 1024 && recv(s, &c, 1, 0) == 1;)
        r.header += c;
    size_t at = r.header.find("Content-Length");
    if (!whole() || at == std::string::npos)
        return r;
    long n = std::atol(r.header.c_str() + at + 14 + 2);
    char buf[1024];
    while (static_cast<long>(r.body.size()) < n) {
        // No further than the body: a pipelined reply may follow.
        ssize_t got = recv(s, buf, std::min(sizeof buf, static_cast<size_t>(n) - r.body.size()), 0);
        if (got <= 0)
            return r;
        r.body.append(buf, static_cast<size_t>(got));
    }
    r.ok = static_cast<long>(r.body.size()) == n;
    return r;
}

Reply Exchange(int port, const std::string& request) {
    const int s = Connect(port);
    Reply r = s >= 0 && SendAll(s, request) ? ReadReply(s) : Reply{};
    close(s);  // harmless where it was refused
    return r;
}

int Status(const Reply& r) {
    return r.header.size() > 12 ? std::atoi(r.header.c_str() + 9) : -1;
}

std::string ProgramRequest(const std::string& target) {
    return "GET " + target +
           " HTTP/1.1\r\nHost:127.0.0.1\r\nAccept:*/*\r\n"
           "User-Agent:Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)\r\nConnection:Keep-Alive\r\n\r\n";
}

std::string Target(long long x, long long y, long long radius) {
    return "/GetTextByPos?x=" + std::to_string(x) + "&y=" + std::to_string(y) + "&radius=" + std::to_string(radius) +
           "&service=gettext";
}

std::string Degrees(double lon, double lat, long long radius) {
    return Target(static_cast<long long>(lon * 360000.0), static_cast<long long>(lat * 360000.0), radius);
}

std::string ExampleTarget() {
    return Target(40916646, 12524901);
}

std::string Utf8(const std::string& gbk) {
    std::string utf8;
    return lookupd::GbkToUtf8(gbk, utf8) ? utf8 : "<not GBK>";
}

}  // namespace lookupd::testing
