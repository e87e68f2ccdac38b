// The one place that includes the platform's socket headers. Everything the
// rest of the code needs from sockets goes through the small set of names
// below, so the HTTP code reads the same on Windows and on POSIX systems.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

namespace net {

#ifdef _WIN32
using socket_t = SOCKET;
using hostent_t = HOSTENT;
constexpr socket_t kInvalidSocket = INVALID_SOCKET;
#else
using socket_t = int;
using hostent_t = struct hostent;
constexpr socket_t kInvalidSocket = -1;
#endif
constexpr int kSocketError = -1;

// The last socket error of this thread (WSAGetLastError or errno).
int SockError();
// Creates a TCP stream socket. The handle is never 0: callers use 0 for
// "no socket", and a POSIX process whose standard input is closed would
// otherwise get descriptor 0 back.
socket_t SockOpenTcp(int protocol);
int SockClose(socket_t s);
int SockSend(socket_t s, const char* data, int length);
int SockRecv(socket_t s, char* buffer, int size);
// SO_RCVTIMEO or SO_SNDTIMEO in milliseconds (a DWORD on Windows, a timeval
// on POSIX). 0 means no time-out. Returns 0 on success like setsockopt.
int SockSetTimeout(socket_t s, bool forSend, int milliseconds);
// connect() that waits at most timeoutMs (<= 0: the system's own bound).
// Returns 0 on success, -1 on failure or time-out.
int SockConnect(socket_t s, const sockaddr_in& address, int timeoutMs);

// Starts and stops the socket library for a scope (WSAStartup and
// WSACleanup on Windows; nothing elsewhere). Used by tests and tools.
class NetStartup {
public:
    NetStartup();
    ~NetStartup();
    NetStartup(const NetStartup&) = delete;
    NetStartup& operator=(const NetStartup&) = delete;
    bool ok() const { return m_ok; }

private:
    bool m_ok;
};

}  // namespace net
