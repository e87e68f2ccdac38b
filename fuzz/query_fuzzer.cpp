// The location query's receive path: the fuzzer's bytes are the lookup
// service's whole answer (status line, fields and body), played over the
// loopback while the lookup exchange runs. The body buffer must never be
// overrun (ASan watches it on the stack), and the text handed back must
// always be a terminated text of at most 4095 bytes taken from the body.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fake_http_peer.h"
#include "fuzz_check.h"
#include "core/HttpTransfer.h"
#include "core/LocationQuery.h"

namespace {

constexpr int kWaitMs = 2000;
constexpr size_t kMaxLine = kLookupBodyBufferSize - 1;

// Where the body starts in what the peer sent: after the first empty line,
// or after 1024 header bytes when none came before.
size_t BodyStart(const std::string& stream) {
    size_t end = stream.find("\r\n\r\n");
    size_t length = end == std::string::npos ? stream.size() : end + 4;
    return length < CHttpTransfer::kHeaderSize ? length : CHttpTransfer::kHeaderSize;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // One port for every input: a fresh one each time would use the
    // ephemeral ports up in a long run.
    static const int port = FreeLoopbackPort();
    const std::string stream(reinterpret_cast<const char*>(data), size);

    FakeHttpPeer peer({FakeHttpPeer::Send(stream)}, port);
    const LookupReply reply =
        LookupLocationText(("127.0.0.1:" + std::to_string(peer.port())).c_str(), MapPoint{40916646, 12524901}, kWaitMs);
    FUZZ_CHECK(peer.connections() == 1);

    FUZZ_CHECK(reply.nCode >= kLookupOk && reply.nCode <= kLookupFailed);
    const CString& text = reply.strText;
    if (reply.nCode != kLookupOk) {
        FUZZ_CHECK(text.GetLength() == 0);
        return 0;
    }
    // The text is a terminated string of at most 4095 bytes, and it is the
    // start of the body the peer sent, up to a zero byte if one came.
    const size_t length = static_cast<size_t>(text.GetLength());
    FUZZ_CHECK(length <= kMaxLine);
    FUZZ_CHECK(std::strlen(text.GetString()) == length);
    const size_t bodyStart = BodyStart(stream);
    FUZZ_CHECK(bodyStart + length <= stream.size());
    FUZZ_CHECK(stream.compare(bodyStart, length, text.GetString()) == 0);
    // Success means at least one body byte came, so an empty text means the
    // body began with a zero byte.
    FUZZ_CHECK(length > 0 || (bodyStart < stream.size() && stream[bodyStart] == '\0'));
    return 0;
}
