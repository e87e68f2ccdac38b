// Sockets for the portable core, with no platform header in sight: a socket
// is an opaque handle, and each call the HTTP code and its test peer need is
// one small function. The two implementation files hold the platform code.
#pragma once

#include <cstdint>

struct hostent;  // the socket library's own record, only ever pointed to

namespace net {

// SOCKET on Windows (an unsigned pointer-sized value), a descriptor elsewhere.
using socket_t = std::uintptr_t;
constexpr socket_t kInvalidSocket = ~socket_t(0);
constexpr int kSocketError = -1;

// A TCP stream socket, or kInvalidSocket. Never 0: callers use 0 for "no
// socket", and a POSIX process whose standard input is closed would otherwise
// get descriptor 0 back.
socket_t OpenTcp();
int Close(socket_t s);
int Send(socket_t s, const char* data, int length);
int Recv(socket_t s, char* buffer, int size);
// SO_RCVTIMEO or SO_SNDTIMEO in milliseconds. Returns 0 on success like setsockopt.
int SetTimeout(socket_t s, bool forSend, int milliseconds);

// gethostbyname: the library's record (not ours to free), or null.
const hostent* Resolve(const char* host);
// The record's first IPv4 address in network order; false when it has none.
bool FirstAddress(const hostent* entry, unsigned char address[4]);
// connect() to an IPv4 address (network order) that waits at most timeoutMs
// (<= 0: the system's own bound). Returns 0 on success, -1 otherwise.
int Connect(socket_t s, const unsigned char address[4], int port, int timeoutMs);

// A listening socket on 127.0.0.1 (port 0: a free one); *boundPort gets the
// port. kInvalidSocket when it cannot listen.
socket_t ListenLoopback(int port, int* boundPort);
// Waits up to timeoutMs for the socket to become readable (or, for a
// listener, to have a connection waiting).
bool WaitReadable(socket_t s, int timeoutMs);
socket_t Accept(socket_t listener);
// Ends our sending side: the peer sees an orderly close.
void ShutdownSend(socket_t s);

// Starts and stops the socket library for a scope (WSAStartup and
// WSACleanup on Windows; nothing elsewhere).
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
