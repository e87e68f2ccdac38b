// lumeno-lookupd: the offline lookup service that answers the program's place queries.
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#include <unistd.h>
#endif

#include "answer.h"
#include "place_index.h"
#include "routes.h"

#ifndef LUMENO_DEFAULT_INDEX
#define LUMENO_DEFAULT_INDEX "lookupd.idx"
#endif

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;
using namespace lookupd;

namespace {

// The default index: on Windows the file beside the executable, as the release ships it.
std::string DefaultIndex() {
#ifdef _WIN32
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string exe(path, n < MAX_PATH ? n : 0);
    size_t slash = exe.find_last_of("\\/");
    if (slash != std::string::npos)
        return exe.substr(0, slash + 1) + LUMENO_DEFAULT_INDEX;
#endif
    return LUMENO_DEFAULT_INDEX;
}

struct Options {
    std::string host = "127.0.0.1";
    int port = 18360;
    std::string data = DefaultIndex();
    size_t threads = std::max(1u, std::thread::hardware_concurrency());
    int readTimeoutMs = 5000;
    int deadlineMs = 10000;
    bool quiet = false;
};

int Usage() {
    std::fprintf(stderr,
                 "usage: lumeno-lookupd [--listen HOST:PORT] [--data INDEX] [--threads N]\n"
                 "                      [--read-timeout-ms MS] [--deadline-ms MS] [--quiet]\n"
                 "defaults: --listen 127.0.0.1:18360 --data %s --threads (one per core)\n"
                 "          --read-timeout-ms 5000 --deadline-ms 10000\n",
                 DefaultIndex().c_str());
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
                o.threads = static_cast<size_t>(std::min(n, 256L));
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

struct Limits {
    Clock::duration readTimeout;  // each read and write, and the wait for the next request
    Clock::duration deadline;     // a whole request, from its first byte to the last of the answer
    unsigned keepAliveMax = 1000;
    std::uint32_t headerBytes = kHeaderBytes;
    std::uint64_t bodyBytes = kBodyBytes;
};

class Server;
class Session;

// One event loop and the thread that runs it. Sessions stay on the loop that accepted them,
// so nothing of a session is ever touched by two threads and no locking is needed.
struct Loop {
    net::io_context ioc{1};
    std::optional<tcp::acceptor> acceptor;
    std::unordered_set<Session*> sessions;
    // Keeps a loop without an acceptor of its own (on Windows) running until the stop.
    std::optional<net::executor_work_guard<net::io_context::executor_type>> work;
    // Time-outs are checked by one tick per loop rather than a timer per read and write:
    // re-arming a timer for every operation costs more system calls than the answer itself.
    std::optional<net::steady_timer> tick;
};

constexpr auto kTick = std::chrono::milliseconds(50);

// One connection: reads a request, answers it, and reads the next while the client keeps it
// alive. Lives exactly as long as its pending operation.
class Session : public std::enable_shared_from_this<Session> {
public:
    Session(tcp::socket&& socket, Server& server, Loop& loop);
    ~Session();

    void Start();
    // On the session's loop, every tick: cuts the connection once its wait has run out.
    void Check(Clock::time_point now);
    // On the session's loop, when the service stops: a connection waiting for its next
    // request is closed; one in the middle of a request finishes it first.
    void Stop();

private:
    void NextRequest();
    void Read();
    void OnRead(beast::error_code ec, std::size_t n);
    void Parse();
    void Refuse(int status, const char* body);
    void Send(http::status status, std::string body, const char* contentType, bool keepAlive);
    void OnWrite(bool keepAlive, beast::error_code ec, std::size_t);
    void Close();
    void Log(const std::string& method, const std::string& target, int status);
    void Arm();

    tcp::socket m_socket;
    Clock::time_point m_expiry = Clock::time_point::max();  // of the pending read or write
    Server& m_server;
    Loop& m_loop;
    beast::flat_buffer m_buffer;
    std::optional<http::request_parser<http::string_body>> m_parser;
    http::response<http::string_body> m_response;
    std::optional<Clock::time_point> m_started;  // set once the request's first byte is in
    unsigned m_served = 0;
    bool m_stopping = false;
};

class Server {
public:
    Server(size_t threads, const Answerer& answerer, const Limits& limits, bool quiet)
        : m_answerer(answerer), m_limits(limits), m_quiet(quiet) {
        for (size_t i = 0; i < threads; ++i)
            m_loops.push_back(std::make_unique<Loop>());
    }

    // Returns an empty string, or why the address cannot be listened on.
    std::string Listen(const std::string& host, int port) {
        beast::error_code ec;
        auto address = net::ip::make_address(host, ec);
        if (ec)
            return "not an address";
        tcp::endpoint ep(address, static_cast<unsigned short>(port));
        tcp::acceptor& first = m_loops[0]->acceptor.emplace(m_loops[0]->ioc);
        first.open(ep.protocol(), ec);
#ifdef _WIN32
        // Nobody else may take the port while the service holds it.
        BOOL yes = TRUE;
        if (!ec)
            setsockopt(first.native_handle(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&yes),
                       sizeof yes);
#else
        if (!ec)
            first.set_option(net::socket_base::reuse_address(true), ec);
#endif
        if (!ec)
            first.bind(ep, ec);
        if (!ec)
            first.listen(1024, ec);  // the program opens a connection per query: take bursts
#ifndef _WIN32
        // Every loop accepts from the same listening socket (a copy of its descriptor each), so
        // new connections are spread over the loops by whichever is free to take one.
        for (size_t i = 1; i < m_loops.size() && !ec; ++i) {
            int fd = ::dup(first.native_handle());
            if (fd < 0)
                return "cannot copy the listening socket";
            m_loops[i]->acceptor.emplace(m_loops[i]->ioc).assign(ep.protocol(), fd, ec);
        }
#endif
        return ec ? ec.message() : std::string();
    }

    // Runs every loop, the last on the calling thread, until the service has stopped and drained.
    void Run() {
        for (auto& loop : m_loops) {
            loop->work.emplace(loop->ioc.get_executor());
            loop->tick.emplace(loop->ioc);
            Tick(*loop);
            if (loop->acceptor)
                Accept(*loop);
        }
        std::vector<std::thread> threads;
        for (size_t i = 1; i < m_loops.size(); ++i)
            threads.emplace_back([this, i] { m_loops[i]->ioc.run(); });
        m_loops[0]->ioc.run();
        for (std::thread& t : threads)
            t.join();
    }

    // Thread-safe: closes the acceptors and lets the sessions drain.
    void RequestStop() {
        if (m_stopping.exchange(true))
            return;
        for (auto& loop : m_loops) {
            net::post(loop->ioc, [l = loop.get()] {
                beast::error_code ec;
                if (l->acceptor)
                    l->acceptor->close(ec);
                l->work.reset();
                std::vector<Session*> live(l->sessions.begin(), l->sessions.end());
                for (Session* s : live)
                    s->Stop();
            });
        }
        if (m_onStop)
            m_onStop();
    }

    net::io_context& MainContext() {
        return m_loops[0]->ioc;
    }
    void OnStop(std::function<void()> fn) {
        m_onStop = std::move(fn);
    }
    bool Stopping() const {
        return m_stopping;
    }
    const Answerer& GetAnswerer() const {
        return m_answerer;
    }
    const Limits& GetLimits() const {
        return m_limits;
    }
    bool Quiet() const {
        return m_quiet;
    }

private:
    // Where a new connection lives: its acceptor's loop, or on Windows (one acceptor) the loops in turn.
    Loop& LoopFor(Loop& accepting) {
#ifdef _WIN32
        (void)accepting;
        return *m_loops[m_next++ % m_loops.size()];
#else
        return accepting;
#endif
    }

    // Runs while the service is up, and afterwards while sessions drain.
    void Tick(Loop& loop) {
        loop.tick->expires_after(kTick);
        loop.tick->async_wait([this, &loop](beast::error_code) {
            auto now = Clock::now();
            std::vector<Session*> live(loop.sessions.begin(), loop.sessions.end());
            for (Session* s : live)
                s->Check(now);
            if (!m_stopping || !loop.sessions.empty())
                Tick(loop);
        });
    }

    void Accept(Loop& loop) {
        Loop& target = LoopFor(loop);
        loop.acceptor->async_accept(target.ioc, [this, &loop, &target](beast::error_code ec, tcp::socket socket) {
            if (m_stopping || !loop.acceptor->is_open())
                return;
            if (!ec) {
                socket.set_option(tcp::no_delay(true), ec);
                auto session = std::make_shared<Session>(std::move(socket), *this, target);
                if (&target == &loop)
                    session->Start();
                else
                    net::post(target.ioc, [session] { session->Start(); });
                Accept(loop);
                return;
            }
            // Out of descriptors or a connection reset before it was taken: try again shortly
            // rather than spin.
            auto timer = std::make_shared<net::steady_timer>(loop.ioc, std::chrono::milliseconds(10));
            timer->async_wait([this, &loop, timer](beast::error_code) {
                if (!m_stopping)
                    Accept(loop);
            });
        });
    }

    const Answerer& m_answerer;
    Limits m_limits;
    bool m_quiet;
    std::vector<std::unique_ptr<Loop>> m_loops;
    size_t m_next = 0;
    std::atomic<bool> m_stopping{false};
    std::function<void()> m_onStop;
};

Session::Session(tcp::socket&& socket, Server& server, Loop& loop)
    : m_socket(std::move(socket)), m_server(server), m_loop(loop) {}

Session::~Session() {
    m_loop.sessions.erase(this);
}

void Session::Start() {
    m_loop.sessions.insert(this);
    NextRequest();
}

void Session::Stop() {
    m_stopping = true;
    if (!m_started)
        m_socket.cancel();  // idle between requests: nothing to finish
}

void Session::Check(Clock::time_point now) {
    if (now >= m_expiry) {
        m_expiry = Clock::time_point::max();
        m_socket.cancel();  // the pending operation ends with an error and the session closes
    }
}

void Session::NextRequest() {
    if (m_stopping || m_server.Stopping() || m_served >= m_server.GetLimits().keepAliveMax)
        return Close();
    m_parser.emplace();
    m_parser->header_limit(m_server.GetLimits().headerBytes);
    m_parser->body_limit(m_server.GetLimits().bodyBytes);
    m_started.reset();
    if (m_buffer.size() == 0)
        return Read();
    m_started = Clock::now();  // the next request came with the last one
    Parse();
}

// Each read and write waits at most the read time-out, and never past the request's deadline.
void Session::Arm() {
    const Limits& l = m_server.GetLimits();
    Clock::time_point expiry = Clock::now() + l.readTimeout;
    if (m_started)
        expiry = std::min(expiry, *m_started + l.deadline);
    m_expiry = expiry;
}

// The socket is read here and the bytes handed to the parser, so that every read gets its own
// time-out and the request's clock starts with its first byte.
void Session::Read() {
    Arm();
    m_socket.async_read_some(m_buffer.prepare(4096), beast::bind_front_handler(&Session::OnRead, shared_from_this()));
}

void Session::OnRead(beast::error_code ec, std::size_t n) {
    if (ec)
        return Close();  // time-out, reset, or the client closed
    m_buffer.commit(n);
    if (!m_started)
        m_started = Clock::now();
    Parse();
}

void Session::Parse() {
    beast::error_code ec;
    while (m_buffer.size() > 0 && !m_parser->is_done()) {
        std::size_t used = m_parser->put(m_buffer.data(), ec);
        m_buffer.consume(used);
        if (ec == http::error::need_more) {
            ec = {};
            break;
        }
        if (ec || used == 0)
            break;
    }
    if (ec == http::error::header_limit) {
        // A request line that alone overruns the budget is a target too long; anything else is
        // a header without end.
        auto data = m_buffer.cdata();
        std::string_view head(static_cast<const char*>(data.data()), std::min<size_t>(data.size(), kMaxTarget + 64));
        return head.find('\n') == std::string_view::npos ? Refuse(414, "414 URI Too Long")
                                                         : Refuse(400, "400 Bad Request");
    }
    if (ec == http::error::body_limit)
        return Refuse(413, "413 Payload Too Large");
    if (ec)
        return Refuse(400, "400 Bad Request");
    if (!m_parser->is_done())
        return Read();

    const auto& req = m_parser->get();
    std::string method(req.method_string());
    std::string target(req.target());
    HttpReply r = Route(m_server.GetAnswerer(), method, target, !m_server.Stopping());
    Log(method, target, r.status);
    ++m_served;
    bool keepAlive =
        req.keep_alive() && m_served < m_server.GetLimits().keepAliveMax && !m_stopping && !m_server.Stopping();
    Send(static_cast<http::status>(r.status), std::move(r.body), r.contentType, keepAlive);
}

void Session::Refuse(int status, const char* body) {
    Log("-", "-", status);
    Send(static_cast<http::status>(status), body, "text/plain", false);
}

// The response object is kept from one request to the next: its header fields are replaced,
// not rebuilt, which saves their allocations on a kept-alive connection.
void Session::Send(http::status status, std::string body, const char* contentType, bool keepAlive) {
    m_response.version(11);
    m_response.result(status);
    m_response.set(http::field::content_type, contentType);
    m_response.body() = std::move(body);
    m_response.keep_alive(keepAlive);
    m_response.prepare_payload();
    Arm();
    http::async_write(m_socket, m_response,
                      beast::bind_front_handler(&Session::OnWrite, shared_from_this(), keepAlive));
}

void Session::OnWrite(bool keepAlive, beast::error_code ec, std::size_t) {
    if (ec || !keepAlive)
        return Close();
    NextRequest();
}

void Session::Close() {
    beast::error_code ec;
    m_expiry = Clock::time_point::max();
    m_socket.shutdown(tcp::socket::shutdown_send, ec);
    m_socket.close(ec);
}

void Session::Log(const std::string& method, const std::string& target, int status) {
    if (m_server.Quiet())
        return;
    long long us =
        m_started ? std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - *m_started).count() : -1;
    std::string shown = target.size() > 200 ? target.substr(0, 200) + "..." : target;
    std::fprintf(stderr, "%s %s %d %lldus\n", method.c_str(), shown.c_str(), status, us);
}

#ifdef _WIN32
Server* g_server = nullptr;
std::atomic<bool> g_stopped{false};

// Ctrl-C, Ctrl-Break and the console's close button: the same clean stop as a signal. For a
// close, Windows ends the process when this returns, so it waits for the drain (bounded).
BOOL WINAPI OnConsoleEvent(DWORD type) {
    if (!g_server)
        return FALSE;
    std::fprintf(stderr, "lumeno-lookupd: console event %lu, stopping\n", static_cast<unsigned long>(type));
    g_server->RequestStop();
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT)
        for (int i = 0; i < 400 && !g_stopped; ++i)
            Sleep(10);
    return TRUE;
}
#endif

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

#ifndef _WIN32
    // Every idle keep-alive connection holds a descriptor; take what the system allows.
    rlimit rl{};
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
#endif

    Limits limits{std::chrono::milliseconds(opt.readTimeoutMs), std::chrono::milliseconds(opt.deadlineMs)};
    Server server(opt.threads, answerer, limits, opt.quiet);
    std::string why = server.Listen(opt.host, opt.port);
    if (!why.empty()) {
        std::fprintf(stderr, "lumeno-lookupd: cannot listen on %s:%d (in use, or not an address of this machine)\n",
                     opt.host.c_str(), opt.port);
        return 1;
    }

    net::signal_set signals(server.MainContext(), SIGINT, SIGTERM);
    server.OnStop([&] { net::post(server.MainContext(), [&] { signals.cancel(); }); });
    signals.async_wait([&](beast::error_code ec, int sig) {
        if (ec)
            return;
        std::fprintf(stderr, "lumeno-lookupd: signal %d, stopping\n", sig);
        server.RequestStop();
    });
#ifdef _WIN32
    g_server = &server;
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
#endif

    double ms = std::chrono::duration<double, std::milli>(Clock::now() - started).count();
    std::fprintf(stderr, "lumeno-lookupd: listening on %s:%d (%zu districts, %zu pieces, ready in %.0f ms)\n",
                 opt.host.c_str(), opt.port, index.DistrictCount(), index.PieceCount(), ms);
    std::fflush(stderr);

    // Returns once stopping, when nothing but the draining sessions was left to run.
    server.Run();
#ifdef _WIN32
    g_stopped = true;
#endif
    std::fprintf(stderr, "lumeno-lookupd: stopped\n");
    return 0;
}
