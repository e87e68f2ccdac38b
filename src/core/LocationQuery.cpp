#include "core/LocationQuery.h"

#include <cstring>

#include "core/AsciiNumber.h"
#include "core/UrlSplit.h"
#include "core/HttpTransfer.h"

namespace {

constexpr int kReceiveChunk = 1024;
constexpr int kLengthFieldSize = 30;
constexpr int kHeaderLineSize = 256;

// The exchange itself; the body is received into the caller's zeroed buffer.
int Exchange(const char* pszHost, MapPoint point, int nReceiveTimeoutMs, char (&body)[kLookupBodyBufferSize]) {
    CString url;
    url.Format("http://%s/GetTextByPos?x=%d&y=%d&radius=6000&service=gettext", pszHost, static_cast<int>(point.x),
               static_cast<int>(point.y));
    uint32_t serviceType = 0;
    CString server;
    CString object;
    uint16_t port = 0;
    AfxParseURL(url, serviceType, server, object, port);

    CHttpTransfer transfer;
    int requestLength = 0;
    transfer.BuildRequest(server, object, requestLength, nullptr, nullptr, 0, 0);

    if (!transfer.CreateSocket())
        return kLookupFailed;
    // Set once, before connecting: the receive time-out then also bounds the
    // connection attempt and the header read, not only the body, so a silent
    // server cannot hang the window.
    if (!transfer.SetTimeout(nReceiveTimeoutMs, 0))
        return kLookupFailed;
    if (!transfer.Connect(server, port))
        return kLookupFailed;
    if (!transfer.SendRequest(nullptr, 0))
        return kLookupFailed;

    char line[kHeaderLineSize];
    while (transfer.ReadHeaderLine(line, kHeaderLineSize) != -1) {
    }
    if (transfer.GetStatusCode() == 404)
        return kLookupNotFound;

    char lengthText[kLengthFieldSize];
    if (transfer.GetHeaderField("Content-Length", lengthText, kLengthFieldSize) == -1)
        return kLookupFailed;
    const int expected = AsciiToInt(lengthText);
    if (expected <= 0)
        return kLookupFailed;

    // A body longer than the buffer is cut at 4095 bytes; the last byte of
    // the buffer stays zero, so the text is always terminated.
    int total = 0;
    while (total < expected && total < kLookupBodyBufferSize - 1) {
        int room = kLookupBodyBufferSize - 1 - total;
        int received = transfer.Receive(body + total, room < kReceiveChunk ? room : kReceiveChunk);
        if (received == 0)
            return kLookupClosedEarly;
        if (received < 0)
            return kLookupReceiveFailed;
        total += received;
    }
    return kLookupOk;
}

}  // namespace

LookupReply LookupLocationText(const char* pszHost, MapPoint point, int nReceiveTimeoutMs) {
    char body[kLookupBodyBufferSize];
    std::memset(body, 0, sizeof(body));
    LookupReply reply{Exchange(pszHost, point, nReceiveTimeoutMs, body), CString()};
    if (reply.nCode == kLookupOk)
        reply.strText = body;
    return reply;
}
