// What the service's tests share: the service started as its own process on the real index,
// and a client that talks HTTP over loopback exactly as the program does. The batch tool's
// tests start their service, and their program, with the same helpers.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
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
// The program's example position (Zhengzhou).
std::string ExampleTarget();
std::string Utf8(const std::string& gbk);

// Runs args[0] with its standard error into errPath, its standard input from stdinFd where that
// is not -1, and `limit` on `resource` where that is not 0; no other descriptor of ours goes with
// it. The child's pid.
inline pid_t Spawn(std::vector<std::string> args,
                   const std::string& errPath,
                   int stdinFd = -1,
                   int resource = RLIMIT_NOFILE,
                   rlim_t limit = 0) {
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    // A test run started in the background may ignore SIGINT, and a wrapper script (the
    // Windows build's) or the program cannot catch a signal ignored when it started.
    signal(SIGINT, SIG_DFL);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (err < 0 || dup2(err, 2) < 0 || (stdinFd >= 0 && dup2(stdinFd, 0) < 0))
        _exit(126);
    // Only the standard three, so that a limit on descriptors means the same in every run.
    close_range(3, ~0U, 0);
    const rlimit bound{limit, limit};
    if (limit && setrlimit(resource, &bound) != 0)
        _exit(126);
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
}

// The whole file, empty where it cannot be read.
inline std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Waits up to `seconds` (10 s unless told) until pred() holds; whether it did.
template <typename Pred>
bool WaitFor(Pred pred, int seconds = 10) {
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
         std::chrono::steady_clock::now() < end;) {
        if (pred())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return pred();
}

// Waits up to `seconds` for the child to end: its wait status, or -1 while it still runs.
inline int WaitExit(pid_t pid, int seconds = 10) {
    int st = -1;
    return WaitFor([&] { return waitpid(pid, &st, WNOHANG) == pid; }, seconds) ? st : -1;
}

// Entries of /proc/PID/DIR; with skipComm, those (threads) whose name does not start with it.
inline size_t Entries(pid_t pid, const char* dir, const std::string& skipComm = std::string()) {
    size_t n = 0;
    std::error_code gone;  // the process has ended: none
    for (const auto& e : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/" + dir, gone)) {
        std::string comm;
        if (!skipComm.empty())
            std::getline(std::ifstream(e.path() / "comm"), comm);
        n += skipComm.empty() || comm.rfind(skipComm, 0) != 0;
    }
    return n;
}

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
                     std::string bin = std::string()) {
        static int started = 0;
        m_log = ::testing::TempDir() + "lookupd_log_" + std::to_string(getpid()) + "_" + std::to_string(++started);
        const char* other = std::getenv("LOOKUPD_BIN");  // another build of the service, if given
        bin = !bin.empty() ? bin : other ? other : LOOKUPD_BIN;
        args.insert(args.begin(), {bin, "--listen", "127.0.0.1:" + std::to_string(port), "--data", data});
        m_pid = Spawn(args, m_log, -1, RLIMIT_NOFILE, maxFiles);
    }
    ~Service() {
        // A polite stop first: a wrapper that runs another build must get to stop it too.
        if (m_pid > 0 && (kill(m_pid, SIGTERM), WaitExit() == -1)) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        std::remove(m_log.c_str());
    }
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    // Waits (at most 10 s) until the log says where the service listens, or the process has ended.
    bool WaitReady() {
        const std::string said = "listening on 127.0.0.1:";
        WaitFor([&] {
            const std::string log = Log();
            const size_t at = log.find(said);
            if (at != std::string::npos && log.find(' ', at + said.size()) != std::string::npos)
                m_port = std::atoi(log.c_str() + at + said.size());
            return m_port > 0 || WaitExit(0) != -1;
        });
        return m_port > 0;
    }
    void Signal(int sig) {
        if (m_pid > 0)  // never -1: that would signal every process there is
            kill(m_pid, sig);
    }
    // Waits up to `seconds` for a process that is expected to end by itself: its wait status, or -1.
    int WaitExit(int seconds = 10) {
        if (m_pid > 0 && (m_status = lookupd::testing::WaitExit(m_pid, seconds)) != -1)
            m_pid = -1;
        return m_status;
    }
    std::string Log() const {  // with plain line ends, whatever the build's
        std::string log = Slurp(m_log);
        log.erase(std::remove(log.begin(), log.end(), '\r'), log.end());
        return log;
    }
    int Port() const { return m_port; }
    std::string Address() const { return "127.0.0.1:" + std::to_string(m_port); }
    pid_t Pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
    int m_port = 0;
    int m_status = -1;
    std::string m_log;
};

// One service for the whole suite; a suite whose service does not start fails each of its cases.
class SharedService : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_service = new Service({"--quiet"});
        ASSERT_TRUE(s_service->WaitReady()) << s_service->Log();
    }
    static void TearDownTestSuite() {
        delete s_service;
        s_service = nullptr;
    }
    static inline Service* s_service = nullptr;
};

}  // namespace lookupd::testing
