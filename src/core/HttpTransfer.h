// One HTTP GET exchange over a blocking TCP socket: the request text is
// composed here, the response header is read byte by byte into a fixed
// buffer, and the caller then reads status, fields, header lines and the body.
// One object serves one exchange; failures are result values, never thrown.
#pragma once

#include "core/socket_compat.h"

class CHttpTransfer {
public:
    static constexpr int kRequestSize = 1024;
    static constexpr int kHeaderSize = 1024;
    static constexpr int kAddressSize = 256;
    static constexpr int kDefaultPort = 80;
    // Bound on connecting when no receive time-out has been set.
    static constexpr int kDefaultConnectTimeoutMs = 100000;

    CHttpTransfer();
    virtual ~CHttpTransfer();
    CHttpTransfer(const CHttpTransfer&) = delete;
    CHttpTransfer& operator=(const CHttpTransfer&) = delete;

    // 1: socket created; 0: already connected, or creation failed.
    int CreateSocket();
    // 1: connected; 0: no host name, name lookup failed, or connection failed.
    int Connect(const char* pszHost, int nPort);
    // Composes the GET request into the object's request buffer and returns
    // it; nLength receives its byte count. A request that would not fit the
    // buffer is refused: the text is empty and nLength is 0.
    const char* BuildRequest(const char* pszHost,
                             const char* pszPath,
                             int& nLength,
                             const char* pszCookie,
                             const char* pszReferer,
                             int nRangeStart,
                             int nRangeEnd);
    // Sends the data (default: the composed request) and reads the response
    // header. 1: sent; 0: not connected, nothing to send, or the send failed.
    int SendRequest(const char* pData = nullptr, int nLength = 0);
    // Reads the response header once per object; returns the header buffer.
    const char* ReadResponseHeader(int& nLength);
    // > 0: bytes received; 0: not connected or the peer closed; -1: failure or
    // time-out. 0 and -1 also close the socket.
    int Receive(char* pBuffer, int nSize);
    // 1: closed, or there was no socket; 0: the library refused to close it.
    int Close();
    // Receive (bForSend 0) or send time-out in milliseconds. 1: set.
    int SetTimeout(int nMilliseconds, int bForSend);
    // Hands out the header line by line (pieces of at most nMaxLength bytes,
    // no terminator written); -1 after the last line, and the next call
    // starts again at the status line.
    int ReadHeaderLine(char* pLine, int nMaxLength);
    // Copies the value that follows the first occurrence of pszName (skipping
    // the colon and one blank) into pValue, terminated; returns its length,
    // or -1 when there is no header yet or no such name.
    int GetHeaderField(const char* pszName, char* pValue, int nValueSize);
    // The three characters after the protocol version, read as a number;
    // -1 when no header has been read.
    int GetStatusCode() const;

private:
    char m_szRequest[kRequestSize];
    char m_szHeader[kHeaderSize];
    int m_nPort;
    char m_szServerAddr[kAddressSize];
    int m_bConnected;
    net::socket_t m_hSocket;    // 0: no socket
    const hostent* m_pHostEnt;  // the socket library's, never freed
    int m_nLinePos;
    int m_bHeaderRead;
    int m_nHeaderLen;
    int m_nRecvTimeoutMs;  // 0 until SetTimeout sets a receive time-out
};
