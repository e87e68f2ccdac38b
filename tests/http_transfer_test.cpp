// The HTTP transfer against a scripted peer on the loopback: the exact
// request bytes, the byte-by-byte header read, the header accessors and the
// body receive, including peers that misbehave.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include "fake_http_peer.h"
#include "core/HttpTransfer.h"

namespace {

const char kRequestPath[] = "/GetTextByPos?x=40916646&y=12524901&radius=6000&service=gettext";
const char kExpectedRequest[] =
    "GET /GetTextByPos?x=40916646&y=12524901&radius=6000&service=gettext HTTP/1.1\r\nHost:127.0.0.1\r\n"
    "Accept:*/*\r\nUser-Agent:Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)\r\nConnection:Keep-Alive\r\n\r\n";
const char kShortReply[] = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n";

// Builds, connects and sends the query's request to the peer.
void Exchange(CHttpTransfer& transfer, FakeHttpPeer& peer) {
    int length = 0;
    transfer.BuildRequest("127.0.0.1", kRequestPath, length, nullptr, nullptr, 0, 0);
    ASSERT_EQ(transfer.CreateSocket(), 1);
    ASSERT_EQ(transfer.SetTimeout(FakeHttpPeer::kWaitLimitMs, 0), 1);
    ASSERT_EQ(transfer.Connect("127.0.0.1", peer.port()), 1);
    ASSERT_EQ(transfer.SendRequest(), 1);
}

std::string Header(CHttpTransfer& transfer) {
    int length = 0;
    const char* header = transfer.ReadResponseHeader(length);
    return std::string(header, static_cast<size_t>(length < 0 ? 0 : length));
}

std::string ReceiveAll(CHttpTransfer& transfer) {
    std::string body;
    char buffer[300];
    for (int n; (n = transfer.Receive(buffer, sizeof(buffer))) > 0;)
        body.append(buffer, static_cast<size_t>(n));
    return body;
}

// Before a header is read, and without a connection, nothing is reported or sent.
TEST(HttpTransferUnconnected, ReportsNothingAndSendsNothing) {
    CHttpTransfer transfer;
    char buffer[16];
    EXPECT_EQ(transfer.GetStatusCode(), -1);
    EXPECT_EQ(transfer.GetHeaderField("Content-Length", buffer, sizeof(buffer)), -1);
    EXPECT_EQ(transfer.ReadHeaderLine(buffer, sizeof(buffer)), -1);
    EXPECT_EQ(transfer.Close(), 1);
    EXPECT_EQ(transfer.SendRequest(), 0);
    EXPECT_EQ(transfer.Receive(buffer, sizeof(buffer)), 0);
    EXPECT_EQ(transfer.SetTimeout(1000, 0), 0);  // no socket to set it on
    EXPECT_EQ(transfer.Connect(nullptr, 80), 0);
    int closedPort = FreeLoopbackPort();
    ASSERT_NE(closedPort, 0);
    EXPECT_EQ(transfer.Connect("127.0.0.1", closedPort), 0);  // no socket yet
    ASSERT_EQ(transfer.CreateSocket(), 1);
    EXPECT_EQ(transfer.Connect("127.0.0.1", closedPort), 0);
    EXPECT_EQ(transfer.Connect("::1", closedPort), 0);  // a name with no IPv4 address
    EXPECT_EQ(transfer.SendRequest(), 0);
}

#ifndef _WIN32
// Socket 0 means "none", and on POSIX descriptor 0 is standard input, which can be a socket (a
// program started by inetd or a socket unit): an object without a socket must not use or close it.
TEST(HttpTransferUnconnected, LeavesDescriptorZeroAlone) {
    FakeHttpPeer peer({FakeHttpPeer::Stall()});
    const int savedInput = dup(0);
    ASSERT_GE(savedInput, 0);
    const net::socket_t tcp = net::OpenTcp();
    ASSERT_NE(tcp, net::kInvalidSocket);
    ASSERT_EQ(dup2(static_cast<int>(tcp), 0), 0);
    net::Close(tcp);
    {
        CHttpTransfer transfer;
        EXPECT_EQ(transfer.SetTimeout(1000, 0), 0);
        EXPECT_EQ(transfer.Connect("127.0.0.1", peer.port()), 0);
    }
    EXPECT_NE(fcntl(0, F_GETFD), -1);  // still open
    dup2(savedInput, 0);
    close(savedInput);
}
#endif

// The query's own request is checked byte for byte as sent (below); here the optional lines,
// in their order: the Range line, when there is one, comes last before the empty line.
TEST(HttpTransferRequest, ComposesRefererCookieAndRangeLines) {
    const struct {
        int start;
        int end;
        const char* range;
    } cases[] = {{100, 0, "Range: bytes=100-\r\n"},
                 {100, 100, "Range: bytes=100-\r\n"},
                 {100, 499, "Range: bytes=100-499\r\n"},
                 {0, 499, ""},
                 {-5, 10, ""}};
    for (const auto& c : cases) {
        CHttpTransfer transfer;
        int length = -1;
        std::string text = transfer.BuildRequest("h", "/p", length, "c=1", "http://r/", c.start, c.end);
        EXPECT_EQ(text, std::string("GET /p HTTP/1.1\r\nHost:h\r\nReferer:http://r/\r\nAccept:*/*\r\n"
                                    "User-Agent:Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)\r\n"
                                    "Connection:Keep-Alive\r\nSet Cookie:0c=1\r\n") +
                            c.range + "\r\n")
            << c.start << "-" << c.end;
        EXPECT_EQ(length, static_cast<int>(text.size()));
    }
}

// A request that does not fit the 1024-byte buffer is refused whole and never
// sent; one that fills it exactly is sent whole.
TEST(HttpTransferRequest, RefusesWhatDoesNotFit) {
    FakeHttpPeer peer({FakeHttpPeer::Send(kShortReply)});
    CHttpTransfer transfer;
    ASSERT_EQ(transfer.CreateSocket(), 1);
    ASSERT_EQ(transfer.SetTimeout(FakeHttpPeer::kWaitLimitMs, 0), 1);
    ASSERT_EQ(transfer.Connect("127.0.0.1", peer.port()), 1);
    int length = -1;
    std::string fits(1023 - (sizeof(kExpectedRequest) - 1 - std::strlen(kRequestPath)), 'p');
    std::string tooLong = fits + "p";
    EXPECT_STREQ(transfer.BuildRequest("127.0.0.1", tooLong.c_str(), length, nullptr, nullptr, 0, 0), "");
    EXPECT_EQ(length, 0);
    EXPECT_EQ(transfer.SendRequest(), 0);
    EXPECT_EQ(transfer.GetStatusCode(), -1);

    std::string request = transfer.BuildRequest("127.0.0.1", fits.c_str(), length, nullptr, nullptr, 0, 0);
    EXPECT_EQ(request.size(), 1023u);
    EXPECT_EQ(length, 1023);
    EXPECT_EQ(transfer.SendRequest(), 1);
    EXPECT_EQ(transfer.GetStatusCode(), 200);
    EXPECT_EQ(peer.request(), request);
}

// Without an empty line the header stops at 1024 bytes; the rest of it comes
// back through Receive, ahead of anything else.
TEST(HttpTransferExchange, LongHeaderStopsAt1024Bytes) {
    std::string header = "HTTP/1.1 200 OK\r\nX-Long: " + std::string(1500 - 27, 'x') + "\r\n";
    ASSERT_EQ(header.size(), 1500u);
    FakeHttpPeer peer({FakeHttpPeer::Send(header)});
    CHttpTransfer transfer;
    Exchange(transfer, peer);
    EXPECT_EQ(Header(transfer), header.substr(0, 1024));
    EXPECT_EQ(ReceiveAll(transfer), header.substr(1024));
    char value[8];
    // The value's line is cut off with the header: nothing of it is handed out.
    EXPECT_EQ(transfer.GetHeaderField("X-Long", value, sizeof(value)), 0);
    EXPECT_STREQ(value, "");
}

// A header cut short by the peer: what came is kept, its lines give it back
// byte for byte, and the status is read from its fixed place, 0 where the line
// is too short to hold one. An empty line alone is a whole header.
TEST(HttpTransferExchange, PeerClosingInsideTheHeader) {
    for (const std::string partial : {"HTTP/1.1 200 OK\r\nCon", "HTTP/1.1", "\r\n\r\n"}) {
        FakeHttpPeer peer({FakeHttpPeer::Send(partial + (partial.size() == 4 ? "body" : ""))});
        CHttpTransfer transfer;
        Exchange(transfer, peer);  // SendRequest gives 1 whatever the header read found
        EXPECT_EQ(Header(transfer), partial);
        EXPECT_EQ(transfer.GetStatusCode(), partial.size() > 8 ? 200 : 0) << partial;
        std::string lines;
        char line[64];
        for (int n; (n = transfer.ReadHeaderLine(line, sizeof(line))) != -1;)
            lines.append(line, static_cast<size_t>(n));
        EXPECT_EQ(lines, partial);
        EXPECT_EQ(ReceiveAll(transfer), partial.size() == 4 ? "body" : "");
    }
}

// A receive that times out closes the socket; so does the destructor.
TEST(HttpTransferExchange, TimeOutAndDestructorClose) {
    FakeHttpPeer timedOut({FakeHttpPeer::Send(kShortReply), FakeHttpPeer::Stall()});
    FakeHttpPeer destroyed({FakeHttpPeer::Send(kShortReply), FakeHttpPeer::Stall()});
    CHttpTransfer transfer;
    Exchange(transfer, timedOut);
    ASSERT_EQ(transfer.SetTimeout(1000, 1), 1);  // whole seconds, for sending
    ASSERT_EQ(transfer.SetTimeout(1, 0), 1);     // the shortest there is
    char buffer[8];
    EXPECT_EQ(transfer.Receive(buffer, sizeof(buffer)), -1);
    EXPECT_EQ(transfer.Receive(buffer, sizeof(buffer)), 0);
    EXPECT_TRUE(timedOut.clientClosed());
    {
        CHttpTransfer other;
        Exchange(other, destroyed);
    }
    EXPECT_TRUE(destroyed.clientClosed());
}

// One object used again: a second CreateSocket replaces the first socket, and
// Connect on a connected object starts over on a fresh socket.
TEST(HttpTransferConnect, ReuseReconnects) {
    FakeHttpPeer first({FakeHttpPeer::Stall()});
    FakeHttpPeer second({FakeHttpPeer::Send(std::string(kShortReply) + "again")});
    CHttpTransfer transfer;
    ASSERT_EQ(transfer.CreateSocket(), 1);
    ASSERT_EQ(transfer.CreateSocket(), 1);
    ASSERT_EQ(transfer.Connect("127.0.0.1", first.port()), 1);
    EXPECT_EQ(transfer.CreateSocket(), 0);  // connected: nothing is created
    ASSERT_EQ(transfer.Connect("127.0.0.1", second.port()), 1);
    EXPECT_TRUE(first.clientClosed());
    int length = 0;
    transfer.BuildRequest("127.0.0.1", "/", length, nullptr, nullptr, 0, 0);
    // Bytes of the caller's own, their length counted here, instead of the built request.
    ASSERT_EQ(transfer.SendRequest("GET /again HTTP/1.0\r\n\r\n", 0), 1);
    EXPECT_EQ(ReceiveAll(transfer), "again");
    EXPECT_EQ(second.connections(), 1);
    EXPECT_EQ(second.request(), "GET /again HTTP/1.0\r\n\r\n");
}

// The receive time-out also bounds connecting. A listener whose queue is full
// leaves a new connection unanswered; Connect gives up after the time-out
// instead of the system's minutes.
TEST(HttpTransferConnect, ReceiveTimeOutBoundsConnecting) {
    struct Sockets {
        std::vector<net::socket_t> all;
        ~Sockets() {
            for (net::socket_t s : all)
                net::Close(s);
        }
    } sockets;
    int port = 0;
    sockets.all.push_back(net::ListenLoopback(0, &port));
    ASSERT_NE(sockets.all.back(), net::kInvalidSocket);
    const unsigned char loopback[4] = {127, 0, 0, 1};
    // Nothing accepts: connections queue up until the first one left unanswered.
    for (bool answered = true; answered && sockets.all.size() < 64;) {
        sockets.all.push_back(net::OpenTcp());
        ASSERT_NE(sockets.all.back(), net::kInvalidSocket);
        answered = net::Connect(sockets.all.back(), loopback, port, 200) == 0;
    }

    CHttpTransfer transfer;
    ASSERT_EQ(transfer.CreateSocket(), 1);
    ASSERT_EQ(transfer.SetTimeout(300, 0), 1);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(transfer.Connect("127.0.0.1", port), 0);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(250));  // it did wait: the queue was full
    EXPECT_LT(waited, std::chrono::milliseconds(FakeHttpPeer::kWaitLimitMs));
}

// The exact request sent, the header split from the body, and the accessors on
// it: field lookup is a plain case-sensitive search that skips two characters
// after the name.
TEST(HttpTransferHeader, FieldLookup) {
    // 75 bytes: a header of odd length must not take the body's first byte.
    FakeHttpPeer peer({FakeHttpPeer::Send(
        "HTTP/1.1 200 OK\r\nX-A:5\r\ncontent-length: 7\r\nX-Big: 0123456789\r\nX-Empty: \r\n\r\ntail")});
    CHttpTransfer transfer;
    Exchange(transfer, peer);
    EXPECT_EQ(peer.request(), kExpectedRequest);
    EXPECT_EQ(ReceiveAll(transfer), "tail");
    EXPECT_EQ(transfer.GetStatusCode(), 200);  // still there with the socket closed
    const struct {
        const char* name;
        int size;
        int result;
        const char* value;            // nullptr: not looked at; nothing may be written past the size given
    } cases[] = {{"X-A", 30, 0, ""},  // no blank after the colon: loses "5"
                 {"Content-Length", 30, -1, nullptr},
                 {"content-length", 30, 1, "7"},
                 {"X-Empty", 30, 0, ""},
                 {"X-Big", 10, 9, "012345678"},  // exactly as long as the buffer: cut by one for the terminator
                 {"X-Big", 5, 4, "0123"},
                 {"X-Big", 1, 0, ""},
                 {"X-Big", 0, -1, nullptr}};  // the last: no room even for the terminator
    for (const auto& c : cases) {
        char value[31];
        std::memset(value, '#', sizeof(value));
        EXPECT_EQ(transfer.GetHeaderField(c.name, value, c.size), c.result) << c.name << " " << c.size;
        if (c.value) {
            EXPECT_STREQ(value, c.value) << c.name << " " << c.size;
        }
        EXPECT_EQ(value[c.size], '#') << c.name << " " << c.size;
    }
}

TEST(HttpTransferHeader, LinesComeInPiecesAndCycle) {
    FakeHttpPeer peer({FakeHttpPeer::Send("HTTP/1.1 200 OK\r\nA: b\r\n\r\n")});
    CHttpTransfer transfer;
    Exchange(transfer, peer);
    char line[4];
    EXPECT_EQ(transfer.ReadHeaderLine(line, 0), 0);  // no room: nothing taken
    for (int n : {4, 4, 4, 4, 1, 4, 2, 2})
        EXPECT_EQ(transfer.ReadHeaderLine(line, sizeof(line)), n);
    EXPECT_EQ(std::string(line, 2), "\r\n");
    EXPECT_EQ(transfer.ReadHeaderLine(line, sizeof(line)), -1);
    EXPECT_EQ(transfer.ReadHeaderLine(line, 1), 1);  // room for one byte: one byte
    EXPECT_EQ(line[0], 'H');
}

}  // namespace
