#include "lookup/LocationQuery.h"

#include <cstring>

#include "framework/AsciiNumber.h"
#include "framework/UrlSplit.h"
#include "http/HttpTransfer.h"

#ifndef LUMENO_LOOKUP_HOST
#define LUMENO_LOOKUP_HOST "127.0.0.1:18360"
#endif

namespace {

constexpr int kReceiveChunk = 1024;
constexpr int kLengthFieldSize = 30;
constexpr int kHeaderLineSize = 256;

}  // namespace

CLocationQuery::CLocationQuery(const char* pszLookupHost)
    : m_strLookupHost(pszLookupHost ? pszLookupHost : LUMENO_LOOKUP_HOST) {}

CLocationQuery::~CLocationQuery() = default;

const char* CLocationQuery::WaitText() {
    return "正在请求,请稍等...";
}

const char* CLocationQuery::OutOfRegionText() {
    return "抱歉,请求的位置不在中国境内!";
}

bool CLocationQuery::IsInServiceRegion(MapPoint point) {
    return point.x >= kRegionLeft && point.x < kRegionRight && point.y >= kRegionTop && point.y < kRegionBottom;
}

void CLocationQuery::OnOK() {
    UpdateData(1);
    MapPoint point = ParseCoordinates(m_strLongitude, m_strLatitude);
    if (IsInServiceRegion(point)) {
        m_strSavedResult = m_strResult1;
        m_strResult1 = WaitText();
        // The wait text must be on screen before the exchange blocks the window.
        UpdateData(0);
        RequestLocationText(point.x, point.y);
    } else {
        m_strResult1 = OutOfRegionText();
    }
    UpdateData(0);
}

int CLocationQuery::RequestLocationText(int32_t x, int32_t y) {
    CHttpTransfer transfer;
    char body[kBodyBufferSize];
    std::memset(body, 0, sizeof(body));

    CString url;
    url.Format("http://%s/GetTextByPos?x=%d&y=%d&radius=6000&service=gettext", m_strLookupHost.GetString(),
               static_cast<int>(x), static_cast<int>(y));
    uint32_t serviceType = 0;
    CString server;
    CString object;
    uint16_t port = 0;
    AfxParseURL(url, serviceType, server, object, port);

    int requestLength = 0;
    transfer.BuildRequest(server, object, requestLength, nullptr, nullptr, 0, 0);

    if (!transfer.CreateSocket())
        return kRequestFailed;
    // Set before connecting, the receive time-out also bounds the connection
    // attempt and the header read, so a silent server cannot hang the window.
    if (!transfer.SetTimeout(m_nReceiveTimeoutMs, 0))
        return kRequestFailed;
    if (!transfer.Connect(server, port))
        return kRequestFailed;
    if (!transfer.SendRequest(nullptr, 0))
        return kRequestFailed;
    if (!transfer.SetTimeout(m_nReceiveTimeoutMs, 0))
        return kRequestFailed;

    char line[kHeaderLineSize];
    while (transfer.ReadHeaderLine(line, kHeaderLineSize) != -1) {
    }
    if (transfer.GetStatusCode() == 404)
        return kRequestNotFound;

    char lengthText[kLengthFieldSize];
    if (transfer.GetHeaderField("Content-Length", lengthText, kLengthFieldSize) == -1)
        return kRequestFailed;
    const int expected = AsciiToInt(lengthText);
    if (expected <= 0)
        return kRequestFailed;

    // A body longer than the buffer is cut at 4095 bytes; the last byte of
    // the buffer stays zero, so line 1 always gets a terminated text.
    int total = 0;
    while (total < expected && total < kBodyBufferSize - 1) {
        int room = kBodyBufferSize - 1 - total;
        int received = transfer.Receive(body + total, room < kReceiveChunk ? room : kReceiveChunk);
        if (received == 0)
            return kRequestClosedEarly;
        if (received < 0)
            return kRequestReceiveFailed;
        total += received;
    }

    m_strResult3 = m_strResult2;
    m_strResult2 = m_strSavedResult;
    m_strResult1 = body;
    return kRequestOk;
}
