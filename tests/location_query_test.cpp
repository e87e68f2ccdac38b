// The lookup exchange against a scripted peer: the request it sends, its
// result code for each kind of reply, and the body text it hands back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

#include "fake_http_peer.h"
#include "core/LocationQuery.h"

namespace {

using Script = std::vector<FakeHttpPeer::Step>;

constexpr MapPoint kExample{40916646, 12524901};

LookupReply Ask(int port) {
    return LookupLocationText(("127.0.0.1:" + std::to_string(port)).c_str(), kExample, 300);
}

std::string Header(const std::string& fields) {
    return "HTTP/1.1 200 OK\r\n" + fields + "\r\n";
}

// The result code for each kind of reply, text only with code 0, and the request
// sent: no optional line, and a Host line that names the host, never the port.
TEST(LookupLocationText, SendsTheRequestAndGivesCodeAndText) {
    const struct {
        const char* name;
        Script script;
        int code;
        std::string text;
    } cases[] = {
        {"found", {FakeHttpPeer::Send(Reply("somewhere"))}, 0, "somewhere"},
        {"one byte", {FakeHttpPeer::Send(Reply("x"))}, 0, "x"},
        {"not found", {FakeHttpPeer::Send(Reply("abc", "404 Not Found"))}, 1, ""},
        {"500 with a body", {FakeHttpPeer::Send(Reply("oops", "500 X"))}, 0, "oops"},
        {"no Content-Length", {FakeHttpPeer::Send(Header("X-Other: 1\r\n") + "body")}, 4, ""},
        {"zero Content-Length", {FakeHttpPeer::Send(Header("Content-Length: 0\r\n"))}, 4, ""},
        {"negative Content-Length", {FakeHttpPeer::Send(Header("Content-Length: -5\r\n") + "body")}, 4, ""},
        {"closed inside the body", {FakeHttpPeer::Send(Header("Content-Length: 10\r\n") + "part")}, 2, ""},
        {"silent body", {FakeHttpPeer::Send(Header("Content-Length: 10\r\n") + "part"), FakeHttpPeer::Stall()}, 3, ""},
        {"silent header", {FakeHttpPeer::Send("HTTP/1.1 200"), FakeHttpPeer::Stall()}, 4, ""},
        {"body up to its first zero byte", {FakeHttpPeer::Send(Reply(std::string("ab\0cd", 5)))}, 0, "ab"},
        // Beyond the 4096-byte buffer a body is cut to 4095 bytes: never
        // overrun, always terminated.
        {"oversized body", {FakeHttpPeer::Send(Reply(Letters(6000)))}, 0, Letters(4095)}};
    for (const auto& c : cases) {
        FakeHttpPeer peer(c.script);
        LookupReply reply = Ask(peer.port());
        EXPECT_EQ(reply.nCode, c.code) << c.name;
        EXPECT_EQ(reply.strText, c.text.c_str()) << c.name;
        EXPECT_EQ(peer.connections(), 1) << c.name;
        // A silent peer is left by the client's time-out, long before the peer's own.
        if (c.script.back().kind == FakeHttpPeer::Step::StallUntilClientCloses) {
            EXPECT_TRUE(peer.clientClosed()) << c.name;
        }
        EXPECT_EQ(peer.request(),
                  "GET /GetTextByPos?x=40916646&y=12524901&radius=6000&service=gettext HTTP/1.1\r\nHost:127.0.0.1\r\n"
                  "Accept:*/*\r\nUser-Agent:Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)\r\n"
                  "Connection:Keep-Alive\r\n\r\n");
    }
}

// A header that arrives one byte per write must be read to its empty line,
// and the body pieces after it assembled in order, up to the cut at 4095
// bytes. The body pauses one byte short of the cut, so that a receive ends there.
TEST(LookupLocationText, AssemblesAReplyOfManyPieces) {
    std::string body = Letters(5000);
    Script script = FakeHttpPeer::Trickle(Header("Content-Length: 5000\r\n"), 1);
    Script pieces = FakeHttpPeer::Trickle(body.substr(0, 4094), 178);
    script.insert(script.end(), pieces.begin(), pieces.end());
    script.push_back(FakeHttpPeer::Pause(100));
    script.push_back(FakeHttpPeer::Send(body.substr(4094)));
    FakeHttpPeer peer(script);
    EXPECT_EQ(Ask(peer.port()).strText, body.substr(0, 4095).c_str());
}

// Each of these fails before a request is sent, with no reply taken for one.
TEST(LookupLocationText, FailsWithoutAnExchange) {
    FakeHttpPeer peer({FakeHttpPeer::Send(Reply("somewhere"))});
    const std::string host = "127.0.0.1:" + std::to_string(peer.port());
#ifndef _WIN32
    // No descriptor left for a socket, as in a long batch run; a Windows
    // process has no such limit to lower.
    rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int lowestFree = open("/dev/null", O_RDONLY);
    ASSERT_GE(lowestFree, 0);
    close(lowestFree);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(lowestFree);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    const int code = LookupLocationText(host.c_str(), kExample, 300).nCode;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_EQ(code, kLookupFailed);
#endif
    EXPECT_EQ(peer.connections(), 0);

    int closedPort = FreeLoopbackPort();
    ASSERT_NE(closedPort, 0);
    EXPECT_EQ(Ask(closedPort).nCode, kLookupFailed);
}

}  // namespace
