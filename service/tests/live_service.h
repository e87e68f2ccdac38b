// What the service's tests share: the service started as its own process on the real index,
// and a client that talks HTTP over loopback exactly as the program does.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace lookupd::testing {

// A connected socket to 127.0.0.1:port, its reads and writes bounded by timeoutMs; -1 if refused.
int Connect(int port, int timeoutMs = 5000);
bool SendAll(int s, const std::string& data);

struct Reply {
    std::string header;  // up to and including the empty line
    std::string body;
    bool ok = false;  // a whole header and as many body bytes as it announced
};

// Reads the way the program does: the header up to CR LF CR LF (at most 1024 bytes),
// "Content-Length" found anywhere in it with its value two characters after the name.
Reply ReadReply(int s);
// One request on a connection of its own.
Reply Exchange(int port, const std::string& request);
// The reply's status code, -1 without one.
int Status(const Reply& r);

// The request the program sends, keep-alive as it asks.
std::string ProgramRequest(const std::string& target);
std::string Target(long long x, long long y, long long radius = 6000);
// The program's target for a WGS84 position in degrees.
std::string Degrees(double lon, double lat, long long radius = 6000);
// The program's example position (Zhengzhou), and its answer.
std::string ExampleTarget();
extern const char kExampleAnswer[];
std::string Utf8(const std::string& gbk);

// One service process: started with the given options on a port the system picks (the log
// says which), stopped by a signal.
class Service {
public:
    // maxFiles: where not 0, the most descriptors the process may have open. bin: the service's
    // executable (LOOKUPD_BIN in the environment, else the native build's).
    explicit Service(std::vector<std::string> args,
                     std::string data = LOOKUPD_INDEX,
                     int port = 0,
                     rlim_t maxFiles = 0,
                     std::string bin = std::string());
    ~Service();
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    // Waits (at most 10 s) until the log says where the service listens, or the process has ended.
    bool WaitReady();
    void Signal(int sig);
    // Waits up to 10 s for a process that is expected to end by itself: its wait status, or -1.
    int WaitExit();
    std::string Log() const;  // with plain line ends, whatever the build's
    int Port() const { return m_port; }
    pid_t Pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
    int m_port = 0;
    int m_status = -1;
    std::string m_log;
};

// Waits up to 10 s until pred() holds; whether it did.
template <typename Pred>
bool WaitFor(Pred pred) {
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
         std::chrono::steady_clock::now() < end;) {
        if (pred())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return pred();
}

}  // namespace lookupd::testing
