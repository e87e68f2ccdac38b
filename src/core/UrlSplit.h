// Splits an absolute URL into its service, server, object (path and query)
// and port, the way the classic AfxParseURL does for the schemes we use.
#pragma once

#include <cstdint>

#include "core/String.h"

enum : uint32_t {
    AFX_INET_SERVICE_UNK = 0x1000,
    AFX_INET_SERVICE_HTTP = 3,
    AFX_INET_SERVICE_HTTPS = 0x1009,
};

// "http://host[:port][/object]" or https. The object is everything from the
// first "/" after the server on ("/" when there is none); the port defaults
// to the scheme's. Returns false (and sets the service to unknown) for other
// schemes, an empty server or a port that is not a number from 1 to 65535.
bool AfxParseURL(const char* pszURL, uint32_t& dwServiceType, CString& strServer, CString& strObject, uint16_t& nPort);
