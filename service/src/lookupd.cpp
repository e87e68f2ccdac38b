// lumeno-lookupd: the offline lookup service that answers the program's place queries.
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "answer.h"
#include "place_index.h"

#ifndef LUMENO_DEFAULT_INDEX
#define LUMENO_DEFAULT_INDEX "lookupd.idx"
#endif

using namespace lookupd;
using Clock = std::chrono::steady_clock;

namespace {

struct Options {
    std::string host = "127.0.0.1";
    int port = 18360;
    std::string data = LUMENO_DEFAULT_INDEX;
    size_t threads = 64;
    int readTimeoutMs = 5000;
    int deadlineMs = 10000;
    bool quiet = false;
};

int Usage() {
    std::fprintf(stderr,
                 "usage: lumeno-lookupd [--listen HOST:PORT] [--data INDEX] [--threads N]\n"
                 "                      [--read-timeout-ms MS] [--deadline-ms MS] [--quiet]\n"
                 "defaults: --listen 127.0.0.1:18360 --data %s --threads 64\n"
                 "          --read-timeout-ms 5000 --deadline-ms 10000\n",
                 LUMENO_DEFAULT_INDEX);
    return 2;
}

bool ParseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--quiet") {
            o.quiet = true;
            continue;
        }
        if (i + 1 >= argc)
            return false;
        std::string v = argv[++i];
        char* end = nullptr;
        if (a == "--listen") {
            size_t colon = v.rfind(':');
            if (colon == std::string::npos || colon == 0)
                return false;
            o.host = v.substr(0, colon);
            long p = std::strtol(v.c_str() + colon + 1, &end, 10);
            if (*end || p < 0 || p > 65535)
                return false;
            o.port = static_cast<int>(p);
        } else if (a == "--data") {
            o.data = v;
        } else if (a == "--threads" || a == "--read-timeout-ms" || a == "--deadline-ms") {
            long n = std::strtol(v.c_str(), &end, 10);
            if (*end || n < 1 || n > 1000000)
                return false;
            if (a == "--threads")
                o.threads = static_cast<size_t>(std::min(n, 1024L));
            else if (a == "--read-timeout-ms")
                o.readTimeoutMs = static_cast<int>(n);
            else
                o.deadlineMs = static_cast<int>(n);
        } else {
            return false;
        }
    }
    return true;
}

// A fixed set of workers with a bounded queue. When the queue is full the
// accepting thread waits, so surplus connections wait in the kernel's backlog
// instead of piling up here.
class BoundedPool : public httplib::TaskQueue {
public:
    BoundedPool(size_t workers, size_t maxQueued) : m_max(maxQueued) {
        for (size_t i = 0; i < workers; ++i)
            m_threads.emplace_back([this] { Work(); });
    }

    void enqueue(std::function<void()> fn) override {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_room.wait(lock, [&] { return m_jobs.size() < m_max; });
        m_jobs.push_back(std::move(fn));
        m_ready.notify_one();
    }

    void shutdown() override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_ready.notify_all();
        for (std::thread& t : m_threads)
            t.join();
    }

private:
    void Work() {
        for (;;) {
            std::function<void()> fn;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_ready.wait(lock, [&] { return m_stop || !m_jobs.empty(); });
                if (m_jobs.empty())
                    return;  // stopping, and every accepted connection has been served
                fn = std::move(m_jobs.front());
                m_jobs.pop_front();
                m_room.notify_one();
            }
            fn();
        }
    }

    size_t m_max;
    std::mutex m_mutex;
    std::condition_variable m_ready, m_room;
    std::deque<std::function<void()>> m_jobs;
    std::vector<std::thread> m_threads;
    bool m_stop = false;
};

thread_local Clock::time_point t_requestStart;

struct Limits {
    int readTimeoutMs;
    int deadlineMs;
    int keepAliveMs;
    size_t keepAliveMax;
    size_t requestBytes;  // request line, headers and body together
};

// The connection as the library reads it. Each read waits at most the read time-out,
// but never past the request's deadline, and a request may not take more than its
// byte budget: a client that sends one byte just before every time-out, or headers
// without end, loses its worker all the same.
class GuardedStream : public httplib::Stream {
public:
    GuardedStream(socket_t sock, const Limits& limits) : m_sock(sock), m_limits(limits) {}

    // Waits for the first byte of the next request, at most the keep-alive time, and
    // gives up early when the server is stopping.
    bool WaitForRequest(const std::atomic<socket_t>& listening) {
        if (m_off < m_len)
            return true;
        auto end = Clock::now() + std::chrono::milliseconds(m_limits.keepAliveMs);
        while (listening != INVALID_SOCKET) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
            if (left <= 0)
                return false;
            pollfd p{m_sock, POLLIN, 0};
            int r = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 100)));
            if (r > 0)
                return true;
            if (r < 0 && errno != EINTR)
                return false;
        }
        return false;
    }

    void BeginRequest() {
        t_requestStart = Clock::now();
        m_deadline = t_requestStart + std::chrono::milliseconds(m_limits.deadlineMs);
        m_used = 0;
    }

    bool is_readable() const override { return m_off < m_len || Wait(POLLIN); }
    bool is_writable() const override { return Wait(POLLOUT); }

    ssize_t read(char* ptr, size_t size) override {
        if (m_used >= m_limits.requestBytes)
            return -1;
        size = std::min(size, m_limits.requestBytes - m_used);
        if (m_off == m_len) {
            if (!Wait(POLLIN))
                return -1;
            ssize_t r;
            do {
                r = ::recv(m_sock, m_buf, sizeof m_buf, 0);
            } while (r < 0 && errno == EINTR);
            if (r <= 0)
                return r;
            m_off = 0;
            m_len = static_cast<size_t>(r);
        }
        size_t n = std::min(size, m_len - m_off);
        std::memcpy(ptr, m_buf + m_off, n);
        m_off += n;
        m_used += n;
        return static_cast<ssize_t>(n);
    }

    ssize_t write(const char* ptr, size_t size) override {
        if (!Wait(POLLOUT))
            return -1;
        ssize_t r;
        do {
            r = ::send(m_sock, ptr, size, MSG_NOSIGNAL);
        } while (r < 0 && errno == EINTR);
        return r;
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override { Address(true, ip, port); }
    void get_local_ip_and_port(std::string& ip, int& port) const override { Address(false, ip, port); }
    socket_t socket() const override { return m_sock; }

private:
    bool Wait(short events) const {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(m_deadline - Clock::now()).count();
        int ms = static_cast<int>(std::min<long long>(left, m_limits.readTimeoutMs));
        if (ms <= 0)
            return false;
        pollfd p{m_sock, events, 0};
        int r;
        do {
            r = ::poll(&p, 1, ms);  // an interrupted wait starts again; rare enough to ignore the drift
        } while (r < 0 && errno == EINTR);
        return r > 0;
    }

    void Address(bool peer, std::string& ip, int& port) const {
        sockaddr_storage ss{};
        socklen_t len = sizeof ss;
        int rc = peer ? getpeername(m_sock, reinterpret_cast<sockaddr*>(&ss), &len)
                      : getsockname(m_sock, reinterpret_cast<sockaddr*>(&ss), &len);
        char buf[INET6_ADDRSTRLEN] = "";
        port = -1;
        if (rc == 0 && ss.ss_family == AF_INET) {
            auto* a = reinterpret_cast<sockaddr_in*>(&ss);
            inet_ntop(AF_INET, &a->sin_addr, buf, sizeof buf);
            port = ntohs(a->sin_port);
        } else if (rc == 0 && ss.ss_family == AF_INET6) {
            auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
            inet_ntop(AF_INET6, &a->sin6_addr, buf, sizeof buf);
            port = ntohs(a->sin6_port);
        }
        ip = buf;
    }

    socket_t m_sock;
    const Limits& m_limits;
    Clock::time_point m_deadline = Clock::now();
    size_t m_used = 0;
    char m_buf[4096];
    size_t m_off = 0, m_len = 0;
};

// The library's server with our own connection loop around its request parser.
class GuardedServer : public httplib::Server {
public:
    explicit GuardedServer(const Limits& limits) : m_limits(limits) {}

private:
    bool process_and_close_socket(socket_t sock) override {
        int one = 1;
        setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
        bool ret = false;
        {
            GuardedStream strm(sock, m_limits);
            for (size_t left = m_limits.keepAliveMax; left > 0 && strm.WaitForRequest(svr_sock_); --left) {
                strm.BeginRequest();
                bool closed = false;
                ret = process_request(strm, left == 1, closed, nullptr);
                if (!ret || closed)
                    break;
            }
        }
        ::shutdown(sock, SHUT_RDWR);
        ::close(sock);
        return ret;
    }

    Limits m_limits;
};

}  // namespace

int main(int argc, char** argv) {
    auto started = Clock::now();
    Options opt;
    if (!ParseOptions(argc, argv, opt))
        return Usage();

    PlaceIndex index;
    std::string err = index.Load(opt.data);
    if (!err.empty()) {
        std::fprintf(stderr, "lumeno-lookupd: %s\n", err.c_str());
        return 1;
    }
    Answerer answerer(index);
    if (!answerer.Error().empty()) {
        std::fprintf(stderr, "lumeno-lookupd: %s\n", answerer.Error().c_str());
        return 1;
    }

#ifndef _WIN32
    // SIGINT and SIGTERM are taken by one thread with sigwait; every other thread blocks them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
#endif

    GuardedServer svr(Limits{opt.readTimeoutMs, opt.deadlineMs, opt.readTimeoutMs, 1000, 16384});
    const size_t threads = opt.threads;
    svr.new_task_queue = [threads] { return new BoundedPool(threads, threads * 4); };
    svr.set_payload_max_length(4096);

    svr.set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
        if (req.method != "GET") {
            res.status = 404;
            res.set_content("404 Not Found: only GET /GetTextByPos is served", "text/plain");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    svr.Get("/GetTextByPos", [&answerer](const httplib::Request& req, httplib::Response& res) {
        Reply r = answerer.Answer(req.params);
        res.status = r.status;
        res.set_content(r.body, "text/plain; charset=GBK");
    });
    svr.set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (res.body.empty() && res.status == 404)
            res.set_content("404 Not Found: only GET /GetTextByPos is served", "text/plain");
        else if (res.body.empty())
            res.set_content(std::to_string(res.status) + " " + (res.status == 414 ? "URI Too Long" : "Bad Request"),
                            "text/plain");
    });
    const bool quiet = opt.quiet;
    svr.set_logger([&](const httplib::Request& req, const httplib::Response& res) {
        if (quiet)
            return;
        long long us = -1;
        if (t_requestStart != Clock::time_point())
            us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t_requestStart).count();
        t_requestStart = Clock::time_point();
        std::string target = req.target.size() > 200 ? req.target.substr(0, 200) + "..." : req.target;
        std::fprintf(stderr, "%s %s %d %lldus\n", req.method.c_str(), target.c_str(), res.status, us);
    });

    // The library listens with a backlog of 5, which drops bursts of new connections (the
    // program opens one per query); the socket is caught here and given a deeper queue.
    int listenSocket = -1;
    svr.set_socket_options([&listenSocket](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&yes), sizeof yes);
        listenSocket = static_cast<int>(sock);
    });
    if (!svr.bind_to_port(opt.host, opt.port)) {
        std::fprintf(stderr, "lumeno-lookupd: cannot listen on %s:%d (in use, or not an address of this machine)\n",
                     opt.host.c_str(), opt.port);
        return 1;
    }
    if (listenSocket >= 0)
        ::listen(listenSocket, 1024);
#ifndef _WIN32
    std::thread stopper([&svr, stopSignals] {
        int sig = 0;
        sigwait(&stopSignals, &sig);
        if (sig != 0)
            std::fprintf(stderr, "lumeno-lookupd: signal %d, stopping\n", sig);
        svr.stop();
    });
#endif
    double ms = std::chrono::duration<double, std::milli>(Clock::now() - started).count();
    std::fprintf(stderr, "lumeno-lookupd: listening on %s:%d (%zu districts, %zu pieces, ready in %.0f ms)\n",
                 opt.host.c_str(), opt.port, index.DistrictCount(), index.PieceCount(), ms);
    std::fflush(stderr);
    bool ok = svr.listen_after_bind();
#ifndef _WIN32
    // A stop that did not come from a signal still has to release the signal thread.
    pthread_kill(stopper.native_handle(), SIGTERM);
    stopper.join();
#endif
    std::fprintf(stderr, "lumeno-lookupd: stopped\n");
    return ok ? 0 : 1;
}
