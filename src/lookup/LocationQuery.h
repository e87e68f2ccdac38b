// The location query: two typed coordinates become a MapPoint, points outside
// the service region are turned away, and a point inside it becomes one HTTP
// GET to the lookup service whose reply is shown as the newest of three
// location lines. The main dialog derives from this class and binds the five
// strings to its controls; the query sees the controls only through
// UpdateData, so it runs the same without a window.
#pragma once

#include <cstdint>

#include "framework/String.h"
#include "lookup/MapPoint.h"

class CLocationQuery {
public:
    // Results of RequestLocationText.
    enum : int {
        kRequestOk = 0,
        kRequestNotFound = 1,       // status 404
        kRequestClosedEarly = 2,    // the peer closed before Content-Length bytes arrived
        kRequestReceiveFailed = 3,  // a receive failed or timed out
        kRequestFailed = 4,         // no socket, no connection, not sent, no usable Content-Length
    };

    // Service region in map units: left and top inside, right and bottom outside.
    static constexpr int32_t kRegionLeft = 26440905;
    static constexpr int32_t kRegionRight = 48630898;
    static constexpr int32_t kRegionTop = 1227051;
    static constexpr int32_t kRegionBottom = 19280853;

    static constexpr int kReceiveTimeoutMs = 100000;
    static constexpr int kBodyBufferSize = 4096;  // a body holds at most 4095 bytes

    // pszLookupHost: "host" or "host:port"; null means the host compiled in.
    explicit CLocationQuery(const char* pszLookupHost = nullptr);
    virtual ~CLocationQuery();

    // The query button: read the controls, parse, test, ask, show.
    virtual void OnOK();

    // Never fails: pieces without a number read as 0, a malformed pair gives (0, 0).
    static MapPoint ParseCoordinates(CString strLongitude, CString strLatitude);
    static bool IsInServiceRegion(MapPoint point);
    // One exchange with the lookup service; on success rotates the location
    // lines, on failure writes nothing. Returns one of the kRequest codes.
    int RequestLocationText(int32_t x, int32_t y);

    static const char* WaitText();
    static const char* OutOfRegionText();

protected:
    // TRUE: controls into the five strings; FALSE: the strings into the controls.
    virtual int UpdateData(int bSaveAndValidate) = 0;

    CString m_strLongitude;
    CString m_strLatitude;
    CString m_strResult1;  // newest
    CString m_strResult2;
    CString m_strResult3;      // oldest
    CString m_strSavedResult;  // line 1 as it stood before the wait text replaced it

    int m_nReceiveTimeoutMs = kReceiveTimeoutMs;

private:
    CString m_strLookupHost;
};
