// The HTTP transfer's response side: the fuzzer's bytes are the peer's whole
// answer, played over the loopback through SendRequest, then read back with
// ReadResponseHeader, ReadHeaderLine, GetHeaderField, GetStatusCode and
// Receive. Every input must keep the header invariants the callers rely on.
//
// Input layout: five parameter bytes, then the peer's bytes.
//   0: value buffer size for GetHeaderField, 1 to 64
//   1: line buffer size for ReadHeaderLine, 1 to 64
//   2: receive size, 1 to 2033
//   3: field name: below 128 one of kNames; otherwise a piece of the peer's
//      bytes (length 0 to 31), so names that do occur are tried often
//   4: where that piece starts, in steps of 4 bytes
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "fake_http_peer.h"
#include "fuzz_check.h"
#include "core/HttpTransfer.h"

namespace {

constexpr int kWaitMs = 2000;
constexpr size_t kParameters = 5;
constexpr const char* kNames[] = {
    "Content-Length", "Content-Type", "Connection", "Server", "HTTP/1.1", "200", ":", "\r\n", " ", ""};

std::string FieldName(const uint8_t* p, const std::string& stream) {
    if (p[3] < 128)
        return kNames[p[3] % (sizeof(kNames) / sizeof(kNames[0]))];
    size_t start = (static_cast<size_t>(p[4]) * 4) % (stream.size() + 1);
    return stream.substr(start, p[3] & 31);
}

// The header the transfer must have stored: everything up to and including
// the first empty line, at most 1024 bytes, or all there was.
size_t ExpectedHeaderLength(const std::string& stream) {
    size_t end = stream.find("\r\n\r\n");
    size_t length = end == std::string::npos ? stream.size() : end + 4;
    return length < CHttpTransfer::kHeaderSize ? length : CHttpTransfer::kHeaderSize;
}

void CheckLines(CHttpTransfer& transfer, const std::string& header, int maxLength) {
    // Exactly maxLength bytes, so ASan sees any byte written past it.
    std::unique_ptr<char[]> line(new char[maxLength]);
    std::string joined;
    std::string first;
    int copied;
    while ((copied = transfer.ReadHeaderLine(line.get(), maxLength)) != -1) {
        FUZZ_CHECK(copied >= 1 && copied <= maxLength);
        std::string_view piece(line.get(), static_cast<size_t>(copied));
        // A piece ends at its LF, at the buffer's size or at the header's end.
        size_t lf = piece.find('\n');
        FUZZ_CHECK(lf == std::string_view::npos || lf == piece.size() - 1);
        joined.append(piece);
        FUZZ_CHECK(joined.size() <= header.size());
        FUZZ_CHECK(lf != std::string_view::npos || copied == maxLength || joined.size() == header.size());
        if (first.empty())
            first.assign(piece);
    }
    FUZZ_CHECK(joined == header);
    // After the -1 the reader starts again at the status line.
    copied = transfer.ReadHeaderLine(line.get(), maxLength);
    if (header.empty()) {
        FUZZ_CHECK(copied == -1);
    } else {
        FUZZ_CHECK(copied == static_cast<int>(first.size()));
        FUZZ_CHECK(std::memcmp(line.get(), first.data(), first.size()) == 0);
    }
}

void CheckField(CHttpTransfer& transfer, const std::string& header, const std::string& name, int valueSize) {
    std::unique_ptr<char[]> value(new char[valueSize]);
    std::memset(value.get(), '#', static_cast<size_t>(valueSize));
    const int length = transfer.GetHeaderField(name.c_str(), value.get(), valueSize);
    // The header is searched as text: up to its first zero byte.
    const std::string text = header.substr(0, std::strlen(header.c_str()));
    const std::string searched = name.substr(0, std::strlen(name.c_str()));
    const size_t found = text.find(searched);
    if (found == std::string::npos) {
        FUZZ_CHECK(length == -1);
        return;
    }
    FUZZ_CHECK(length >= 0 && length < valueSize);
    FUZZ_CHECK(value[length] == '\0');
    FUZZ_CHECK(std::strlen(value.get()) == static_cast<size_t>(length));
    // The value is taken from the line of the name, two bytes after it.
    const std::string_view copied(value.get(), static_cast<size_t>(length));
    FUZZ_CHECK(copied.find("\r\n") == std::string_view::npos);
    if (length > 0)
        FUZZ_CHECK(text.compare(found + searched.size() + 2, copied.size(), copied) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // One port for every input: a fresh one each time would use the
    // ephemeral ports up in a long run.
    static const int port = FreeLoopbackPort();
    if (size < kParameters)
        return 0;
    const int valueSize = 1 + data[0] % 64;
    const int lineSize = 1 + data[1] % 64;
    const int receiveSize = 1 + data[2] * data[2] / 32;
    const std::string stream(reinterpret_cast<const char*>(data) + kParameters, size - kParameters);
    const std::string name = FieldName(data, stream);

    FakeHttpPeer peer({FakeHttpPeer::Send(stream)}, port);
    CHttpTransfer transfer;
    FUZZ_CHECK(transfer.GetStatusCode() == -1);
    int requestLength = 0;
    transfer.BuildRequest("127.0.0.1", "/GetTextByPos?x=1&y=2", requestLength, nullptr, nullptr, 0, 0);
    FUZZ_CHECK(transfer.CreateSocket() == 1);
    // Set before connecting: it bounds the connection, the header and the body.
    FUZZ_CHECK(transfer.SetTimeout(kWaitMs, 0) == 1);
    FUZZ_CHECK(transfer.Connect("127.0.0.1", peer.port()) == 1);
    FUZZ_CHECK(transfer.SendRequest() == 1);

    int headerLength = -2;
    const char* stored = transfer.ReadResponseHeader(headerLength);
    FUZZ_CHECK(headerLength >= 0 && headerLength <= CHttpTransfer::kHeaderSize);
    FUZZ_CHECK(static_cast<size_t>(headerLength) == ExpectedHeaderLength(stream));
    FUZZ_CHECK(std::memcmp(stored, stream.data(), static_cast<size_t>(headerLength)) == 0);
    for (int i = headerLength; i < CHttpTransfer::kHeaderSize; ++i)
        FUZZ_CHECK(stored[i] == '\0');
    const std::string header(stored, static_cast<size_t>(headerLength));

    const int status = transfer.GetStatusCode();
    FUZZ_CHECK(status >= -99 && status <= 999);
    CheckLines(transfer, header, lineSize);
    CheckField(transfer, header, name, valueSize);
    CheckField(transfer, header, "Content-Length", 30);

    // The body is every byte after the stored header, in order, then an
    // orderly close; nothing of it was taken by the header read.
    std::unique_ptr<char[]> buffer(new char[receiveSize]);
    std::string body;
    int received;
    while ((received = transfer.Receive(buffer.get(), receiveSize)) > 0) {
        FUZZ_CHECK(received <= receiveSize);
        body.append(buffer.get(), static_cast<size_t>(received));
        FUZZ_CHECK(body.size() <= stream.size());
    }
    FUZZ_CHECK(received == 0);
    FUZZ_CHECK(body == stream.substr(static_cast<size_t>(headerLength)));
    FUZZ_CHECK(transfer.Receive(buffer.get(), receiveSize) == 0);
    // Closing keeps the header.
    FUZZ_CHECK(transfer.GetStatusCode() == status);
    int lengthAfter = -2;
    transfer.ReadResponseHeader(lengthAfter);
    FUZZ_CHECK(lengthAfter == headerLength);
    FUZZ_CHECK(peer.connections() == 1);
    return 0;
}
