// The location query's plain parts: the service region and the one exchange
// with the lookup service, from the request to the body text. The main
// window runs the steps around them (its lines, the wait text, the history).
#pragma once

#include <cstdint>

#include "core/String.h"
#include "core/MapPoint.h"
#include "core/ServiceRegion.h"

// Result codes of one lookup exchange.
enum : int {
    kLookupOk = 0,
    kLookupNotFound = 1,       // status 404
    kLookupClosedEarly = 2,    // the peer closed before Content-Length bytes arrived
    kLookupReceiveFailed = 3,  // a receive failed or timed out
    kLookupFailed = 4,         // no socket, no connection, not sent, no usable Content-Length
};

constexpr int kLookupReceiveTimeoutMs = 100000;
constexpr int kLookupBodyBufferSize = 4096;  // a body holds at most 4095 bytes

inline constexpr char kWaitText[] = "正在请求,请稍等...";
inline constexpr char kOutOfRegionText[] = "抱歉,请求的位置不在中国境内!";

struct LookupReply {
    int nCode;        // one of the kLookup codes
    CString strText;  // the body up to its first zero byte; empty unless nCode is kLookupOk
};

// One GET of the point's description from pszHost ("host" or "host:port"),
// each receive after the header bounded by nReceiveTimeoutMs.
LookupReply LookupLocationText(const char* pszHost, MapPoint point, int nReceiveTimeoutMs);
