// The query as the dialog runs it: controls read, point tested, one exchange
// with a scripted lookup peer, and the three location lines moved only on
// success.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_http_peer.h"
#include "lookup/LocationQuery.h"

namespace {

using Script = std::vector<FakeHttpPeer::Step>;

// Stands in for the dialog: five "controls" that UpdateData copies to and
// from, and a record of what line 1 showed at each refresh.
class QueryDialog : public CLocationQuery {
public:
    explicit QueryDialog(int port) : CLocationQuery(("127.0.0.1:" + std::to_string(port)).c_str()) {
        m_nReceiveTimeoutMs = 300;
    }

    void Type(const char* lon, const char* lat) {
        m_controls[0] = lon;
        m_controls[1] = lat;
    }
    void AskExample() {
        Type("113.65735", "34.79139167");
        OnOK();
    }
    std::string Line(int n) const { return m_controls[1 + n]; }
    std::string Saved() const { return m_strSavedResult.GetString(); }
    std::string Result1() const { return m_strResult1.GetString(); }
    std::vector<std::string> shownOnLine1;

protected:
    int UpdateData(int bSaveAndValidate) override {
        CString* strings[] = {&m_strLongitude, &m_strLatitude, &m_strResult1, &m_strResult2, &m_strResult3};
        for (int i = 0; i < 5; ++i) {
            if (bSaveAndValidate)
                *strings[i] = m_controls[i].c_str();
            else
                m_controls[i] = strings[i]->GetString();
        }
        if (!bSaveAndValidate)
            shownOnLine1.push_back(m_controls[2]);
        return 1;
    }

private:
    std::string m_controls[5];
};

std::string Reply(const std::string& body, const char* status = "200 OK") {
    return std::string("HTTP/1.1 ") + status + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

Script Answer(const std::string& body) {
    return {FakeHttpPeer::Send(Reply(body))};
}

const std::string kWait = CLocationQuery::WaitText();
const std::string kOutside = CLocationQuery::OutOfRegionText();

TEST(LocationQuery, SendsTheLookupRequest) {
    FakeHttpPeer peer(Answer("somewhere"));
    QueryDialog dlg(peer.port());
    dlg.AskExample();
    // The Host line names the host only, never the port.
    EXPECT_EQ(peer.request(),
              "GET /GetTextByPos?x=40916646&y=12524901&radius=6000&service=gettext HTTP/1.1\r\n"
              "Host:127.0.0.1\r\nAccept:*/*\r\nUser-Agent:Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)\r\n"
              "Connection:Keep-Alive\r\n\r\n");
    // The wait text reaches the control before the exchange, the reply after it.
    EXPECT_EQ(dlg.shownOnLine1, (std::vector<std::string>{kWait, "somewhere"}));
}

TEST(LocationQuery, KeepsTheNewestThreeAnswers) {
    FakeHttpPeer peer({Answer("first"), Answer("second"), Answer("third"), Answer("fourth")});
    QueryDialog dlg(peer.port());
    const char* expected[][3] = {
        {"first", "", ""}, {"second", "first", ""}, {"third", "second", "first"}, {"fourth", "third", "second"}};
    for (const auto& lines : expected) {
        dlg.AskExample();
        EXPECT_EQ(dlg.Line(1), lines[0]);
        EXPECT_EQ(dlg.Line(2), lines[1]);
        EXPECT_EQ(dlg.Line(3), lines[2]);
    }
    EXPECT_EQ(peer.connections(), 4);
}

// Outside the region nothing is sent and only line 1 changes; the next
// query inside saves that text, and its success moves it to line 2.
TEST(LocationQuery, OutsideTheRegionSendsNothing) {
    FakeHttpPeer peer({Answer("first"), Answer("second")});
    QueryDialog dlg(peer.port());
    dlg.AskExample();
    dlg.Type("", "");
    dlg.OnOK();
    EXPECT_EQ(dlg.Line(1), kOutside);
    EXPECT_EQ(dlg.Line(2), "");
    dlg.Type("12004", "30");  // wraps to x = 26472704: inside
    dlg.OnOK();
    EXPECT_EQ(dlg.Line(1), "second");
    EXPECT_EQ(dlg.Line(2), kOutside);
    EXPECT_EQ(dlg.Line(3), "");  // "first" was lost when line 1 was overwritten
    EXPECT_EQ(peer.connections(), 2);
}

TEST(LocationQuery, OutsideTheRegionMakesNoConnection) {
    FakeHttpPeer peer(Answer("never"));
    QueryDialog dlg(peer.port());
    dlg.Type("73.44695833", "34.5");
    dlg.OnOK();
    EXPECT_EQ(dlg.Line(1), kOutside);
    EXPECT_EQ(peer.connections(), 0);
}

// A failure leaves the wait text on line 1; the next query saves the wait
// text itself, so a success after a failure shows it on line 2.
TEST(LocationQuery, SuccessAfterFailureShowsTheWaitTextOnLine2) {
    FakeHttpPeer peer({Answer("first"), {FakeHttpPeer::Send("HTTP/1.1 404 Not Found\r\n\r\n")}, Answer("third")});
    QueryDialog dlg(peer.port());
    dlg.AskExample();
    dlg.AskExample();
    EXPECT_EQ(dlg.Line(1), kWait);
    EXPECT_EQ(dlg.Line(2), "");
    EXPECT_EQ(dlg.Saved(), "first");
    dlg.AskExample();
    EXPECT_EQ(dlg.Line(1), "third");
    EXPECT_EQ(dlg.Line(2), kWait);
    EXPECT_EQ(dlg.Line(3), "");
}

struct ReplyCase {
    const char* name;
    Script script;
    int code;
    std::string line1;  // after the exchange; "" when nothing was written
};

void PrintTo(const ReplyCase& c, std::ostream* os) {
    *os << c.name;
}

class LocationQueryReplies : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(LocationQueryReplies, GiveCodeAndLine) {
    const ReplyCase& c = GetParam();
    FakeHttpPeer peer(c.script);
    QueryDialog dlg(peer.port());
    EXPECT_EQ(dlg.RequestLocationText(40916646, 12524901), c.code);
    EXPECT_EQ(dlg.Result1(), c.line1);
    EXPECT_EQ(peer.connections(), 1);
}

std::string Header(const std::string& fields) {
    return "HTTP/1.1 200 OK\r\n" + fields + "\r\n";
}

std::string Bytes(size_t n) {
    std::string s(n, 'x');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>('a' + i % 26);
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Codes,
    LocationQueryReplies,
    ::testing::Values(
        ReplyCase{"NotFound", {FakeHttpPeer::Send("HTTP/1.1 404 Not Found\r\nContent-Length: 3\r\n\r\nabc")}, 1, ""},
        ReplyCase{"ServerErrorWithBody", {FakeHttpPeer::Send(Reply("oops", "500 Internal"))}, 0, "oops"},
        ReplyCase{"NoContentLength", {FakeHttpPeer::Send(Header("X-Other: 1\r\n") + "body")}, 4, ""},
        ReplyCase{"ZeroContentLength", {FakeHttpPeer::Send(Header("Content-Length: 0\r\n"))}, 4, ""},
        ReplyCase{"NegativeContentLength", {FakeHttpPeer::Send(Header("Content-Length: -5\r\n") + "body")}, 4, ""},
        ReplyCase{"NoBlankAfterColon", {FakeHttpPeer::Send(Header("Content-Length:4\r\n") + "body")}, 4, ""},
        ReplyCase{"ClosedInsideTheBody", {FakeHttpPeer::Send(Header("Content-Length: 10\r\n") + "part")}, 2, ""},
        ReplyCase{"SilentBody",
                  {FakeHttpPeer::Send(Header("Content-Length: 10\r\n") + "part"), FakeHttpPeer::Stall()},
                  3,
                  ""},
        ReplyCase{"SilentHeader", {FakeHttpPeer::Send("HTTP/1.1 200"), FakeHttpPeer::Stall()}, 4, ""}));

TEST(LocationQuery, ShowsTheBodyUpToItsFirstZeroByte) {
    FakeHttpPeer peer(Answer(std::string("ab\0cd", 5)));
    QueryDialog dlg(peer.port());
    dlg.AskExample();
    EXPECT_EQ(dlg.Line(1), "ab");
}

TEST(LocationQuery, AssemblesABodyOfManyPieces) {
    std::string body = Bytes(3000);
    Script script = {FakeHttpPeer::Send(Header("Content-Length: 3000\r\n"))};
    Script pieces = FakeHttpPeer::Trickle(body, 333);
    script.insert(script.end(), pieces.begin(), pieces.end());
    FakeHttpPeer peer(script);
    QueryDialog dlg(peer.port());
    dlg.AskExample();
    EXPECT_EQ(dlg.Line(1), body);
}

// A body beyond the 4096-byte buffer is cut to 4095 bytes, so the buffer
// is never overrun and line 1 is always terminated.
TEST(LocationQuery, CutsAnOversizedBody) {
    std::string body = Bytes(6000);
    FakeHttpPeer peer({Answer(body), {FakeHttpPeer::Send(Header("Content-Length: 100\r\n") + body)}});
    QueryDialog dlg(peer.port());
    dlg.AskExample();
    EXPECT_EQ(dlg.Line(1), body.substr(0, 4095));
    // More bytes than announced, beyond the buffer: cut the same way.
    EXPECT_EQ(dlg.RequestLocationText(40916646, 12524901), CLocationQuery::kRequestOk);
}

TEST(LocationQuery, NoServerListening) {
    int port;
    {
        FakeHttpPeer gone(Script{});
        port = gone.port();
    }
    QueryDialog dlg(port);
    EXPECT_EQ(dlg.RequestLocationText(40916646, 12524901), CLocationQuery::kRequestFailed);
    dlg.AskExample();
    EXPECT_EQ(dlg.Line(1), kWait);
}

}  // namespace
