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

#ifdef __linux__
#include <dirent.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <arpa/inet.h>
#include <unistd.h>
#endif

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

#ifdef __linux__
// Time-outs bound each read, not a whole request: a client that sends one byte
// just before every time-out would hold its worker for ever. The watchdog
// gives each request a deadline, counted from the moment the connection
// appeared or its previous response went out, and shuts down the sockets
// that overrun it, which ends the worker's read at once.
class Watchdog {
public:
    explicit Watchdog(int deadlineMs) : m_deadline(std::chrono::milliseconds(deadlineMs)) {}

    void Start() {
        m_thread = std::thread([this] { Run(); });
    }

    void Stop() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_all();
        if (m_thread.joinable())
            m_thread.join();
    }

    // Called after each response: the connection's next request starts its clock now.
    void Responded(const std::string& addr, int port) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lastResponse[addr + ":" + std::to_string(port)] = Clock::now();
    }

private:
    struct Seen {
        ino_t inode;
        std::string peer;
        Clock::time_point first;
    };

    static std::string PeerOf(int fd) {
        sockaddr_storage ss{};
        socklen_t len = sizeof ss;
        if (getpeername(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0)
            return "";
        char buf[INET6_ADDRSTRLEN] = "";
        int port = 0;
        if (ss.ss_family == AF_INET) {
            auto* a = reinterpret_cast<sockaddr_in*>(&ss);
            inet_ntop(AF_INET, &a->sin_addr, buf, sizeof buf);
            port = ntohs(a->sin_port);
        } else if (ss.ss_family == AF_INET6) {
            auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
            inet_ntop(AF_INET6, &a->sin6_addr, buf, sizeof buf);
            port = ntohs(a->sin6_port);
        } else {
            return "";
        }
        return std::string(buf) + ":" + std::to_string(port);
    }

    void Scan() {
        DIR* dir = opendir("/proc/self/fd");
        if (!dir)
            return;
        auto now = Clock::now();
        std::map<int, Seen> next;
        while (dirent* e = readdir(dir)) {
            char* end = nullptr;
            long fd = std::strtol(e->d_name, &end, 10);
            if (*end || end == e->d_name)
                continue;
            struct stat st;
            if (fstat(static_cast<int>(fd), &st) != 0 || !S_ISSOCK(st.st_mode))
                continue;
            auto old = m_seen.find(static_cast<int>(fd));
            if (old != m_seen.end() && old->second.inode == st.st_ino) {
                next[static_cast<int>(fd)] = old->second;
                continue;
            }
            std::string peer = PeerOf(static_cast<int>(fd));
            if (!peer.empty())  // the listening socket has no peer
                next[static_cast<int>(fd)] = Seen{st.st_ino, peer, now};
        }
        closedir(dir);
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto& [fd, s] : next) {
            Clock::time_point start = s.first;
            auto r = m_lastResponse.find(s.peer);
            if (r != m_lastResponse.end() && r->second > start)
                start = r->second;
            struct stat st;
            if (now - start > m_deadline && fstat(fd, &st) == 0 && st.st_ino == s.inode)
                ::shutdown(fd, SHUT_RDWR);
        }
        // Forget peers whose connections are gone.
        for (auto it = m_lastResponse.begin(); it != m_lastResponse.end();) {
            bool live = false;
            for (auto& [fd, s] : next)
                live = live || s.peer == it->first;
            it = live ? std::next(it) : m_lastResponse.erase(it);
        }
        m_seen = std::move(next);
    }

    void Run() {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_stop) {
            m_wake.wait_for(lock, std::chrono::milliseconds(100));
            if (m_stop)
                break;
            lock.unlock();
            Scan();
            lock.lock();
        }
    }

    Clock::duration m_deadline;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::thread m_thread;
    bool m_stop = false;
    std::map<int, Seen> m_seen;
    std::map<std::string, Clock::time_point> m_lastResponse;
};
#endif

thread_local Clock::time_point t_requestStart;

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

    httplib::Server svr;
    const size_t threads = opt.threads;
    svr.new_task_queue = [threads] { return new BoundedPool(threads, threads * 4); };
    svr.set_tcp_nodelay(true);
    svr.set_read_timeout(opt.readTimeoutMs / 1000, (opt.readTimeoutMs % 1000) * 1000);
    svr.set_write_timeout(opt.readTimeoutMs / 1000, (opt.readTimeoutMs % 1000) * 1000);
    svr.set_keep_alive_timeout(std::max(1, opt.readTimeoutMs / 1000));
    svr.set_keep_alive_max_count(1000);
    svr.set_payload_max_length(4096);

#ifdef __linux__
    Watchdog watchdog(opt.deadlineMs);
#endif

    svr.set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
        t_requestStart = Clock::now();
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
#ifdef __linux__
        watchdog.Responded(req.remote_addr, req.remote_port);
#endif
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
#ifdef __linux__
    watchdog.Start();
#endif
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
#ifdef __linux__
    watchdog.Stop();
#endif
    std::fprintf(stderr, "lumeno-lookupd: stopped\n");
    return ok ? 0 : 1;
}
