#include "service/tests/live_service.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "index/gbk.h"

using namespace std::chrono;

namespace lookupd::testing {

int Connect(int port, int timeoutMs) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(s);
        return -1;
    }
    return s;
}

bool SendAll(int s, const std::string& data) {
    size_t off = 0;
    while (off < data.size()) {
        ssize_t n = send(s, data.data() + off, data.size() - off, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        off += static_cast<size_t>(n);
    }
    return true;
}

Reply ReadReply(int s) {
    Reply r;
    char c;
    while (r.header.size() < 1024 && recv(s, &c, 1, 0) == 1) {
        r.header += c;
        if (r.header.size() >= 4 && r.header.compare(r.header.size() - 4, 4, "\r\n\r\n") == 0)
            break;
    }
    size_t at = r.header.find("Content-Length");
    if (r.header.size() < 4 || r.header.compare(r.header.size() - 4, 4, "\r\n\r\n") != 0 || at == std::string::npos)
        return r;
    long n = std::atol(r.header.c_str() + at + 14 + 2);
    char buf[1024];
    while (static_cast<long>(r.body.size()) < n) {
        // No further than the body: a pipelined reply may follow.
        ssize_t got = recv(s, buf, std::min(sizeof buf, static_cast<size_t>(n) - r.body.size()), 0);
        if (got <= 0)
            return r;
        r.body.append(buf, static_cast<size_t>(got));
    }
    r.ok = static_cast<long>(r.body.size()) == n;
    return r;
}

Reply Exchange(int port, const std::string& request) {
    int s = Connect(port);
    if (s < 0)
        return Reply{};
    Reply r = SendAll(s, request) ? ReadReply(s) : Reply{};
    close(s);
    return r;
}

int Status(const Reply& r) {
    return r.header.size() > 12 ? std::atoi(r.header.c_str() + 9) : -1;
}

std::string ProgramRequest(const std::string& target) {
    return "GET " + target +
           " HTTP/1.1\r\nHost:127.0.0.1\r\nAccept:*/*\r\n"
           "User-Agent:Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)\r\nConnection:Keep-Alive\r\n\r\n";
}

std::string Target(long long x, long long y, long long radius) {
    return "/GetTextByPos?x=" + std::to_string(x) + "&y=" + std::to_string(y) + "&radius=" + std::to_string(radius) +
           "&service=gettext";
}

std::string Degrees(double lon, double lat, long long radius) {
    return Target(static_cast<long long>(lon * 360000.0), static_cast<long long>(lat * 360000.0), radius);
}

std::string ExampleTarget() {
    return Target(40916646, 12524901);
}

const char kExampleAnswer[] = "河南省郑州市金水区";

std::string Utf8(const std::string& gbk) {
    std::string utf8;
    return lookupd::GbkToUtf8(gbk, utf8) ? utf8 : "<not GBK>";
}

Service::Service(std::vector<std::string> args, std::string data, int port, rlim_t maxFiles, std::string bin) {
    static int started = 0;
    m_log = ::testing::TempDir() + "lookupd_log_" + std::to_string(getpid()) + "_" + std::to_string(++started);
    if (bin.empty()) {
        const char* other = std::getenv("LOOKUPD_BIN");  // another build of the service, if given
        bin = other ? other : LOOKUPD_BIN;
    }
    args.insert(args.begin(), {bin, "--listen", "127.0.0.1:" + std::to_string(port), "--data", data});
    m_pid = fork();
    if (m_pid == 0) {
        // A test run started in the background may ignore SIGINT, and a wrapper script
        // (the Windows build's) cannot catch a signal ignored when it started.
        signal(SIGINT, SIG_DFL);
        const int log = open(m_log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (log < 0 || dup2(log, 2) < 0)
            _exit(126);
        // Only the standard three, so that a limit on descriptors means the same in every run.
        close_range(3, ~0U, 0);
        if (maxFiles) {
            const rlimit limit{maxFiles, maxFiles};
            setrlimit(RLIMIT_NOFILE, &limit);
        }
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(&a[0]);
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
}

Service::~Service() {
    // A polite stop first: a wrapper that runs another build must get to stop it too.
    if (m_pid > 0 && (kill(m_pid, SIGTERM), WaitExit() == -1)) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
    std::remove(m_log.c_str());
}

bool Service::WaitReady() {
    const std::string said = "listening on 127.0.0.1:";
    for (auto end = steady_clock::now() + seconds(10); steady_clock::now() < end;) {
        std::string log = Log();
        size_t at = log.find(said);
        if (at != std::string::npos && log.find(' ', at + said.size()) != std::string::npos) {
            m_port = std::atoi(log.c_str() + at + said.size());
            return m_port > 0;
        }
        int st;
        if (waitpid(m_pid, &st, WNOHANG) == m_pid) {
            m_pid = -1;
            m_status = st;
            return false;
        }
        std::this_thread::sleep_for(milliseconds(20));
    }
    return false;
}

void Service::Signal(int sig) {
    if (m_pid > 0)  // never -1: that would signal every process there is
        kill(m_pid, sig);
}

int Service::WaitExit() {
    for (auto end = steady_clock::now() + seconds(10); m_pid > 0 && steady_clock::now() < end;) {
        int st;
        if (waitpid(m_pid, &st, WNOHANG) == m_pid) {
            m_pid = -1;
            m_status = st;
        }
        std::this_thread::sleep_for(milliseconds(10));
    }
    return m_status;
}

std::string Service::Log() const {
    std::ifstream in(m_log);
    std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    log.erase(std::remove(log.begin(), log.end(), '\r'), log.end());
    return log;
}

}  // namespace lookupd::testing
