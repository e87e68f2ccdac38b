// The lookup exchange against a scripted peer: the request it sends, its
// result code for each kind of reply, and the body text it hands back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_http_peer.h"
#include "lookup/LocationQuery.h"

namespace {

using Script = std::vector<FakeHttpPeer::Step>;

constexpr MapPoint kExample{40916646, 12524901};

LookupReply Ask(const FakeHttpPeer& peer, int timeoutMs = 300) {
    return LookupLocationText(("127.0.0.1:" + std::to_string(peer.port())).c_str(), kExample, timeoutMs);
}

std::string Header(const std::string& fields) {
    return "HTTP/1.1 200 OK\r\n" + fields + "\r\n";
}

std::string Reply(const std::string& body) {
    return Header("Content-Length: " + std::to_string(body.size()) + "\r\n") + body;
}

std::string Letters(size_t n) {
    std::string s(n, 'x');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>('a' + i % 26);
    return s;
}

TEST(LookupLocationText, SendsTheLookupRequestAndGivesTheBody) {
    FakeHttpPeer peer({FakeHttpPeer::Send(Reply("somewhere"))});
    LookupReply reply = Ask(peer);
    EXPECT_EQ(reply.nCode, kLookupOk);
    EXPECT_EQ(reply.strText, "somewhere");
    // The rest of the request is the transfer's own; the Host line names the host, never the port.
    EXPECT_EQ(peer.request().substr(0, 94),
              "GET /GetTextByPos?x=40916646&y=12524901&radius=6000&service=gettext HTTP/1.1\r\nHost:127.0.0.1\r\n");
}

struct ReplyCase {
    const char* name;
    Script script;
    int code;
    std::string text;
};

void PrintTo(const ReplyCase& c, std::ostream* os) {
    *os << c.name;
}

class LookupReplies : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(LookupReplies, GiveCodeAndText) {
    const ReplyCase& c = GetParam();
    FakeHttpPeer peer(c.script);
    LookupReply reply = Ask(peer);
    EXPECT_EQ(reply.nCode, c.code);
    EXPECT_EQ(reply.strText, c.text.c_str());
    EXPECT_EQ(peer.connections(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Codes,
    LookupReplies,
    ::testing::Values(
        ReplyCase{"NotFound", {FakeHttpPeer::Send("HTTP/1.1 404 Not Found\r\nContent-Length: 3\r\n\r\nabc")}, 1, ""},
        ReplyCase{"ServerErrorWithBody",
                  {FakeHttpPeer::Send("HTTP/1.1 500 X\r\nContent-Length: 4\r\n\r\noops")},
                  0,
                  "oops"},
        ReplyCase{"NoContentLength", {FakeHttpPeer::Send(Header("X-Other: 1\r\n") + "body")}, 4, ""},
        ReplyCase{"ZeroContentLength", {FakeHttpPeer::Send(Header("Content-Length: 0\r\n"))}, 4, ""},
        ReplyCase{"NegativeContentLength", {FakeHttpPeer::Send(Header("Content-Length: -5\r\n") + "body")}, 4, ""},
        ReplyCase{"NoBlankAfterColon", {FakeHttpPeer::Send(Header("Content-Length:4\r\n") + "body")}, 4, ""},
        ReplyCase{"ClosedInsideTheBody", {FakeHttpPeer::Send(Header("Content-Length: 10\r\n") + "part")}, 2, ""},
        ReplyCase{"SilentBody",
                  {FakeHttpPeer::Send(Header("Content-Length: 10\r\n") + "part"), FakeHttpPeer::Stall()},
                  3,
                  ""},
        ReplyCase{"SilentHeader", {FakeHttpPeer::Send("HTTP/1.1 200"), FakeHttpPeer::Stall()}, 4, ""},
        ReplyCase{"BodyUpToItsFirstZeroByte", {FakeHttpPeer::Send(Reply(std::string("ab\0cd", 5)))}, 0, "ab"},
        // Beyond the 4096-byte buffer a body is cut to 4095 bytes: never
        // overrun, always terminated.
        ReplyCase{"OversizedBody", {FakeHttpPeer::Send(Reply(Letters(6000)))}, 0, Letters(4095)}));

TEST(LookupLocationText, AssemblesABodyOfManyPieces) {
    std::string body = Letters(3000);
    Script script = {FakeHttpPeer::Send(Header("Content-Length: 3000\r\n"))};
    Script pieces = FakeHttpPeer::Trickle(body, 333);
    script.insert(script.end(), pieces.begin(), pieces.end());
    FakeHttpPeer peer(script);
    EXPECT_EQ(Ask(peer).strText, body.c_str());
}

TEST(LookupLocationText, NoServerListening) {
    int port = FreeLoopbackPort();
    ASSERT_NE(port, 0);
    LookupReply reply = LookupLocationText(("127.0.0.1:" + std::to_string(port)).c_str(), kExample, 300);
    EXPECT_EQ(reply.nCode, kLookupFailed);
}

}  // namespace
