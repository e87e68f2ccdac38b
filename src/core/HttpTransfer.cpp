#include "core/HttpTransfer.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "core/AsciiNumber.h"

namespace {

// Appends to a fixed, zero-terminated buffer; once a piece does not fit, the
// whole composition is marked as failed and nothing more is written.
class FixedText {
public:
    FixedText(char* buffer, int size) : m_buffer(buffer), m_size(size) { std::memset(m_buffer, 0, m_size); }

    void Append(const char* text) { AppendBytes(text, static_cast<int>(std::strlen(text))); }
    void AppendNumber(int value) {
        char digits[16];
        std::snprintf(digits, sizeof(digits), "%d", value);
        Append(digits);
    }
    bool ok() const { return m_ok; }
    int length() const { return m_length; }

private:
    void AppendBytes(const char* text, int count) {
        if (!m_ok || count > m_size - 1 - m_length) {
            m_ok = false;
            return;
        }
        std::memcpy(m_buffer + m_length, text, count);
        m_length += count;
    }

    char* m_buffer;
    int m_size;
    int m_length = 0;
    bool m_ok = true;
};

}  // namespace

CHttpTransfer::CHttpTransfer()
    : m_szRequest(),
      m_szHeader(),
      m_nPort(kDefaultPort),
      m_szServerAddr(),
      m_bConnected(0),
      m_hSocket(0),
      m_pHostEnt(nullptr),
      m_nLinePos(0),
      m_bHeaderRead(0),
      m_nHeaderLen(-1),
      m_nRecvTimeoutMs(0) {}

CHttpTransfer::~CHttpTransfer() {
    Close();
}

int CHttpTransfer::CreateSocket() {
    if (m_bConnected)
        return 0;
    // A socket created earlier and never connected would otherwise leak.
    if (m_hSocket != 0 && Close() == 0)
        return 0;
    m_hSocket = net::OpenTcp();
    return m_hSocket != net::kInvalidSocket ? 1 : 0;
}

int CHttpTransfer::Connect(const char* pszHost, int nPort) {
    if (!pszHost)
        return 0;
    if (m_bConnected) {
        // Closing discards the socket, so reconnecting needs a fresh one.
        Close();
        if (!CreateSocket())
            return 0;
    }
    if (m_hSocket == 0 || m_hSocket == net::kInvalidSocket)
        return 0;
    m_nPort = nPort;
    m_pHostEnt = net::Resolve(pszHost);
    unsigned char bytes[4];
    if (!net::FirstAddress(m_pHostEnt, bytes))
        return 0;
    std::snprintf(m_szServerAddr, sizeof(m_szServerAddr), "%d.%d.%d.%d", bytes[0], bytes[1], bytes[2], bytes[3]);

    // A silent peer must not block the caller for ever: the receive time-out,
    // when one is set, bounds the connection attempt too.
    int bound = m_nRecvTimeoutMs > 0 ? m_nRecvTimeoutMs : kDefaultConnectTimeoutMs;
    if (net::Connect(m_hSocket, bytes, nPort, bound) != 0)
        return 0;
    m_bConnected = 1;
    return 1;
}

const char* CHttpTransfer::BuildRequest(const char* pszHost,
                                        const char* pszPath,
                                        int& nLength,
                                        const char* pszCookie,
                                        const char* pszReferer,
                                        int nRangeStart,
                                        int nRangeEnd) {
    // Field lines carry no blank after the colon (except Range), and the Host
    // line never carries a port: peers of this program expect exactly this.
    FixedText text(m_szRequest, kRequestSize);
    text.Append("GET ");
    text.Append(pszPath);
    text.Append(" HTTP/1.1\r\n");
    text.Append("Host:");
    text.Append(pszHost);
    text.Append("\r\n");
    if (pszReferer) {
        text.Append("Referer:");
        text.Append(pszReferer);
        text.Append("\r\n");
    }
    text.Append("Accept:*/*\r\n");
    text.Append("User-Agent:Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)\r\n");
    text.Append("Connection:Keep-Alive\r\n");
    if (pszCookie) {
        text.Append("Set Cookie:0");
        text.Append(pszCookie);
        text.Append("\r\n");
    }
    if (nRangeStart > 0) {
        text.Append("Range: bytes=");
        text.AppendNumber(nRangeStart);
        text.Append("-");
        if (nRangeEnd > nRangeStart)
            text.AppendNumber(nRangeEnd);
        text.Append("\r\n");
    }
    text.Append("\r\n");

    if (!text.ok()) {
        std::memset(m_szRequest, 0, sizeof(m_szRequest));
        nLength = 0;
        return m_szRequest;
    }
    nLength = text.length();
    return m_szRequest;
}

int CHttpTransfer::SendRequest(const char* pData, int nLength) {
    if (!m_bConnected)
        return 0;
    if (!pData)
        pData = m_szRequest;
    if (nLength == 0)
        nLength =
            static_cast<int>(pData == m_szRequest ? strnlen(m_szRequest, sizeof(m_szRequest) - 1) : std::strlen(pData));
    // A refused (empty) request is not sent: a peer would wait for it forever.
    if (nLength <= 0)
        return 0;
    if (net::Send(m_hSocket, pData, nLength) == net::kSocketError)
        return 0;
    int headerLength = 0;
    ReadResponseHeader(headerLength);
    return 1;
}

const char* CHttpTransfer::ReadResponseHeader(int& nLength) {
    if (!m_bHeaderRead && m_bConnected) {
        // One byte per receive, so that not a single body byte is taken from
        // the connection: the next Receive starts exactly at the body.
        int stored = 0;
        while (stored < kHeaderSize) {
            char byte;
            if (net::Recv(m_hSocket, &byte, 1) <= 0)
                break;
            m_szHeader[stored++] = byte;
            if (stored >= 4 && std::memcmp(m_szHeader + stored - 4, "\r\n\r\n", 4) == 0)
                break;
        }
        m_nHeaderLen = stored;
        m_bHeaderRead = 1;
    }
    nLength = m_nHeaderLen;
    return m_szHeader;
}

int CHttpTransfer::Receive(char* pBuffer, int nSize) {
    if (!m_bConnected)
        return 0;
    int received = net::Recv(m_hSocket, pBuffer, nSize);
    if (received <= 0) {
        Close();
        return received < 0 ? net::kSocketError : 0;
    }
    return received;
}

int CHttpTransfer::Close() {
    if (m_hSocket != 0 && net::Close(m_hSocket) == net::kSocketError)
        return 0;
    m_hSocket = 0;
    m_bConnected = 0;
    return 1;
}

int CHttpTransfer::SetTimeout(int nMilliseconds, int bForSend) {
    if (m_hSocket == 0 || m_hSocket == net::kInvalidSocket)
        return 0;
    if (net::SetTimeout(m_hSocket, bForSend != 0, nMilliseconds) != 0)
        return 0;
    if (!bForSend)
        m_nRecvTimeoutMs = nMilliseconds;
    return 1;
}

int CHttpTransfer::ReadHeaderLine(char* pLine, int nMaxLength) {
    if (m_nLinePos >= m_nHeaderLen) {
        m_nLinePos = 0;
        return -1;
    }
    if (nMaxLength < 1)
        return 0;
    int copied = 0;
    do {
        char byte = m_szHeader[m_nLinePos++];
        pLine[copied++] = byte;
        if (byte == '\n')
            break;
    } while (m_nLinePos < m_nHeaderLen && copied < nMaxLength);
    return copied;
}

int CHttpTransfer::GetHeaderField(const char* pszName, char* pValue, int nValueSize) {
    if (!m_bHeaderRead || !pszName || !pValue || nValueSize < 1)
        return -1;
    // The header is searched as text: up to its first zero byte, never past
    // the bytes stored (a full 1024-byte header has no terminator).
    const std::string_view text(m_szHeader, strnlen(m_szHeader, static_cast<size_t>(m_nHeaderLen)));
    const size_t found = text.find(pszName);
    if (found == std::string_view::npos)
        return -1;

    // The value starts after the colon and one blank, without looking at them.
    const size_t start = found + std::strlen(pszName) + 2;
    const size_t lineEnd = start < text.size() ? text.find("\r\n", start) : std::string_view::npos;
    // A header cut short before the end of this line: the value is
    // incomplete, so none of it is handed out.
    if (lineEnd == std::string_view::npos) {
        pValue[0] = '\0';
        return 0;
    }
    // A value longer than the caller's buffer is cut to fit, terminator included.
    size_t length = lineEnd - start;
    if (length > static_cast<size_t>(nValueSize - 1))
        length = static_cast<size_t>(nValueSize - 1);
    std::memcpy(pValue, m_szHeader + start, length);
    pValue[length] = '\0';
    return static_cast<int>(length);
}

int CHttpTransfer::GetStatusCode() const {
    if (!m_bHeaderRead)
        return -1;
    const char code[4] = {m_szHeader[9], m_szHeader[10], m_szHeader[11], '\0'};
    return AsciiToInt(code);
}
