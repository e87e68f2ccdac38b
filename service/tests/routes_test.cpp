// The front ends' shared request handling, without a network: query parameters, the request
// reader's budget and its pipelining, and the answer's head.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "service/routes.h"

using namespace lookupd;

TEST(Query, ParametersAreSplitAndDecoded) {
    using Params = std::vector<std::pair<std::string, std::string>>;
    auto parse = [](std::string_view q) {
        auto m = ParseQuery(q);
        return Params(m.begin(), m.end());
    };
    EXPECT_EQ(parse("x=1&y=2"), (Params{{"x", "1"}, {"y", "2"}}));
    // A key without '=' has an empty value, even where a later parameter has one.
    EXPECT_EQ(parse("flag&y=2"), (Params{{"flag", ""}, {"y", "2"}}));
    EXPECT_EQ(parse("&&x=&=v&"), (Params{{"", "v"}, {"x", ""}}));
    // '+' is a blank and %XX a byte; an escape cut short or not hexadecimal stays as it is.
    EXPECT_EQ(parse("k=a+b%20c%2fd%2Fe"), (Params{{"k", "a b c/d/e"}}));
    EXPECT_EQ(parse("k=%4g%4&j=%"), (Params{{"j", "%"}, {"k", "%4g%4"}}));
    // A key given again keeps its values in order.
    EXPECT_EQ(parse("x=1&x=2"), (Params{{"x", "1"}, {"x", "2"}}));
}

TEST(Reader, RequestsAreReadWithinTheirBudget) {
    RequestReader r;
    size_t used = 0;
    const std::string first = "GET /a HTTP/1.1\r\nHost: h\r\n\r\n", second = "GET /b HTTP/1.1\r\n\r\n";
    EXPECT_EQ(r.Feed(first.substr(0, 10), used), RequestReader::State::kNeedMore);
    EXPECT_EQ(used, 0u);
    // Two requests in one read: the first is taken, the second waits for the next Reset.
    ASSERT_EQ(r.Feed(first + second, used), RequestReader::State::kDone);
    EXPECT_EQ(used, first.size());
    EXPECT_EQ(r.Get().target(), "/a");
    r.Reset();
    ASSERT_EQ(r.Feed(second, used), RequestReader::State::kDone);
    EXPECT_EQ(r.Get().target(), "/b");

    std::string filler;
    while (filler.size() <= kHeaderBytes)
        filler += "X-Filler: 0123456789\r\n";
    // The budget: a request line longer than it is a target too long (414); short header
    // lines without end are a bad request (400); a body beyond 4 KiB is too large (413).
    struct {
        std::string bytes;
        int status;
    } refused[] = {
        {"GET /" + std::string(kHeaderBytes, 'a') + " HTTP/1.1\r\n", 414},
        {"GET / HTTP/1.1\r\n" + filler, 400},
        {"POST / HTTP/1.1\r\nContent-Length: " + std::to_string(kBodyBytes + 1) + "\r\n\r\n", 413},
        {"GET / HTTP/1.1\r\nContent-Length: x\r\n\r\n", 400},
    };
    for (const auto& c : refused) {
        r.Reset();
        ASSERT_EQ(r.Feed(c.bytes, used), RequestReader::State::kRefused) << c.status;
        EXPECT_EQ(r.Refusal().status, c.status);
    }
}

TEST(ReplyHead, FieldsInTheProgramsOrderAndTheOriginsAllowed) {
    std::string head = "left over";
    PutReplyHead(head, HttpReply{200, "ab", "text/plain; charset=GBK", 110101}, true);
    EXPECT_EQ(head,
              "HTTP/1.1 200 OK\r\nContent-Type: text/plain; charset=GBK\r\nX-District-Code: 110101\r\n"
              "Content-Length: 2\r\n\r\n");
    PutReplyHead(head, HttpReply{503, "stopping", "text/plain"}, false);
    EXPECT_EQ(head,
              "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain\r\nConnection: close\r\n"
              "Content-Length: 8\r\n\r\n");
    // Only the JSON route's answers allow any origin.
    PutReplyHead(head, HttpReply{200, "{}", "application/json; charset=utf-8", 0, true}, true);
    EXPECT_NE(head.find("\r\nAccess-Control-Allow-Origin: *\r\n"), std::string::npos) << head;
}
