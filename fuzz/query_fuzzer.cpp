// The location query's receive path: the fuzzer's bytes are the lookup
// service's whole answer (status line, fields and body), played over the
// loopback while RequestLocationText runs one exchange. The body buffer must
// never be overrun (ASan watches it on the stack), line 1 must always be a
// terminated text of at most 4095 bytes taken from the body, and the lines
// move only on success.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "http/HttpTransfer.h"
#include "loopback_peer.h"
#include "lookup/LocationQuery.h"

namespace {

constexpr int kWaitMs = 2000;
constexpr size_t kMaxLine = CLocationQuery::kBodyBufferSize - 1;

class FuzzQuery : public CLocationQuery {
public:
    explicit FuzzQuery(int port) : CLocationQuery(("127.0.0.1:" + std::to_string(port)).c_str()) {
        m_nReceiveTimeoutMs = kWaitMs;
        m_strResult1 = WaitText();
        m_strResult2 = "line 2";
        m_strResult3 = "line 3";
        m_strSavedResult = "saved line 1";
    }
    const CString& Line(int n) const { return n == 1 ? m_strResult1 : n == 2 ? m_strResult2 : m_strResult3; }

protected:
    int UpdateData(int) override { return 1; }
};

// Where the body starts in what the peer sent: after the first empty line,
// or after 1024 header bytes when none came before.
size_t BodyStart(const std::string& stream) {
    size_t end = stream.find("\r\n\r\n");
    size_t length = end == std::string::npos ? stream.size() : end + 4;
    return length < CHttpTransfer::kHeaderSize ? length : CHttpTransfer::kHeaderSize;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static LoopbackPeerThread peer(kWaitMs);
    const std::string stream(reinterpret_cast<const char*>(data), size);

    FuzzQuery query(peer.port());
    peer.Serve(stream);
    const int code = query.RequestLocationText(40916646, 12524901);
    peer.Wait();

    FUZZ_CHECK(code >= CLocationQuery::kRequestOk && code <= CLocationQuery::kRequestFailed);
    const CString& line1 = query.Line(1);
    if (code != CLocationQuery::kRequestOk) {
        FUZZ_CHECK(line1 == CLocationQuery::WaitText());
        FUZZ_CHECK(query.Line(2) == "line 2");
        FUZZ_CHECK(query.Line(3) == "line 3");
        return 0;
    }
    FUZZ_CHECK(query.Line(2) == "saved line 1");
    FUZZ_CHECK(query.Line(3) == "line 2");
    // Line 1 is a terminated text of at most 4095 bytes, and it is the
    // start of the body the peer sent, up to a zero byte if one came.
    const size_t length = static_cast<size_t>(line1.GetLength());
    FUZZ_CHECK(length <= kMaxLine);
    FUZZ_CHECK(std::strlen(line1.GetString()) == length);
    const size_t bodyStart = BodyStart(stream);
    FUZZ_CHECK(bodyStart + length <= stream.size());
    FUZZ_CHECK(stream.compare(bodyStart, length, line1.GetString()) == 0);
    // Success means at least one body byte came, so an empty line 1 means
    // the body began with a zero byte.
    FUZZ_CHECK(length > 0 || (bodyStart < stream.size() && stream[bodyStart] == '\0'));
    return 0;
}
