// lumeno-lookupd: the offline lookup service that answers the program's place queries.
#include <boost/asio/dispatch.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
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
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
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
    // 16 KiB per request: the header and a body (which no route reads).
    std::uint32_t headerBytes = 12 * 1024;
    std::uint64_t bodyBytes = 4 * 1024;
};

class Server;

// One connection: reads a request, answers it, and reads the next while the client keeps it
// alive. Lives exactly as long as its pending operation.
class Session : public std::enable_shared_from_this<Session> {
public:
    Session(tcp::socket&& socket, Server& server);
    ~Session();

    void Start();
    // Called from any thread when the service stops: a connection waiting for its next
    // request is closed; one in the middle of a request finishes it first.
    void Stop();

private:
    void NextRequest();
    void Read();
    void OnRead(beast::error_code ec, std::size_t n);
    void Parse();
    void Refuse(int status, const char* body);
    void Send(http::status status, const std::string& body, const char* contentType, bool keepAlive);
    void OnWrite(bool keepAlive, beast::error_code ec, std::size_t);
    void Close();
    void Log(const std::string& method, const std::string& target, int status);
    void Arm();

    beast::tcp_stream m_stream;
    Server& m_server;
    beast::flat_buffer m_buffer;
    std::optional<http::request_parser<http::string_body>> m_parser;
    http::response<http::string_body> m_response;
    std::optional<Clock::time_point> m_started;  // set once the request's first byte is in
    unsigned m_served = 0;
    bool m_stopping = false;
};

class Server {
public:
    Server(net::io_context& ioc, const Answerer& answerer, const Limits& limits, bool quiet)
        : m_ioc(ioc), m_answerer(answerer), m_limits(limits), m_quiet(quiet), m_acceptor(net::make_strand(ioc)) {}

    // Returns an empty string or why the address cannot be listened on.
    std::string Listen(const std::string& host, int port) {
        beast::error_code ec;
        auto address = net::ip::make_address(host, ec);
        if (ec)
            return "not an address";
        tcp::endpoint ep(address, static_cast<unsigned short>(port));
        m_acceptor.open(ep.protocol(), ec);
#ifndef _WIN32
        // On Windows this option would let a second service take the port of a running one.
        if (!ec)
            m_acceptor.set_option(net::socket_base::reuse_address(true), ec);
#endif
        if (!ec)
            m_acceptor.bind(ep, ec);
        if (!ec)
            m_acceptor.listen(1024, ec);  // the program opens a connection per query: take bursts
        return ec ? ec.message() : std::string();
    }

    void Run() {
        net::dispatch(m_acceptor.get_executor(), [this] { Accept(); });
    }

    // Thread-safe: closes the acceptor and lets the sessions drain.
    void RequestStop() {
        net::post(m_acceptor.get_executor(), [this] {
            if (m_stopping.exchange(true))
                return;
            beast::error_code ec;
            m_acceptor.close(ec);
            std::vector<std::shared_ptr<Session>> live;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                for (auto& [raw, weak] : m_sessions)
                    if (auto s = weak.lock())
                        live.push_back(std::move(s));
            }
            for (auto& s : live)
                s->Stop();
            if (m_onStop)
                m_onStop();
        });
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

    void Add(Session* raw, std::weak_ptr<Session> weak) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_sessions.emplace(raw, std::move(weak));
    }
    void Remove(Session* raw) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_sessions.erase(raw);
    }

private:
    void Accept() {
        m_acceptor.async_accept(net::make_strand(m_ioc), [this](beast::error_code ec, tcp::socket socket) {
            if (m_stopping || !m_acceptor.is_open())
                return;
            if (!ec) {
                socket.set_option(tcp::no_delay(true), ec);
                std::make_shared<Session>(std::move(socket), *this)->Start();
                Accept();
                return;
            }
            // Out of descriptors or a connection reset before it was taken: try again shortly
            // rather than spin.
            auto timer = std::make_shared<net::steady_timer>(m_acceptor.get_executor(), std::chrono::milliseconds(10));
            timer->async_wait([this, timer](beast::error_code) {
                if (!m_stopping)
                    Accept();
            });
        });
    }

    net::io_context& m_ioc;
    const Answerer& m_answerer;
    Limits m_limits;
    bool m_quiet;
    tcp::acceptor m_acceptor;
    std::atomic<bool> m_stopping{false};
    std::mutex m_mutex;
    std::unordered_map<Session*, std::weak_ptr<Session>> m_sessions;
    std::function<void()> m_onStop;
};

Session::Session(tcp::socket&& socket, Server& server) : m_stream(std::move(socket)), m_server(server) {}

Session::~Session() {
    m_server.Remove(this);
}

void Session::Start() {
    m_server.Add(this, weak_from_this());
    net::dispatch(m_stream.get_executor(), [self = shared_from_this()] { self->NextRequest(); });
}

void Session::Stop() {
    net::post(m_stream.get_executor(), [self = shared_from_this()] {
        self->m_stopping = true;
        if (!self->m_started)
            self->m_stream.cancel();  // idle between requests: nothing to finish
    });
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
    m_stream.expires_at(expiry);
}

// The socket is read here and the bytes handed to the parser, so that every read gets its own
// time-out and the request's clock starts with its first byte.
void Session::Read() {
    Arm();
    m_stream.async_read_some(m_buffer.prepare(4096), beast::bind_front_handler(&Session::OnRead, shared_from_this()));
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
    Send(static_cast<http::status>(r.status), r.body, r.contentType, keepAlive);
}

void Session::Refuse(int status, const char* body) {
    Log("-", "-", status);
    Send(static_cast<http::status>(status), body, "text/plain", false);
}

void Session::Send(http::status status, const std::string& body, const char* contentType, bool keepAlive) {
    m_response = {};
    m_response.version(11);
    m_response.result(status);
    m_response.set(http::field::content_type, contentType);
    m_response.body() = body;
    m_response.keep_alive(keepAlive);
    m_response.prepare_payload();
    Arm();
    http::async_write(m_stream, m_response,
                      beast::bind_front_handler(&Session::OnWrite, shared_from_this(), keepAlive));
}

void Session::OnWrite(bool keepAlive, beast::error_code ec, std::size_t) {
    if (ec || !keepAlive)
        return Close();
    NextRequest();
}

void Session::Close() {
    beast::error_code ec;
    m_stream.socket().shutdown(tcp::socket::shutdown_send, ec);
    m_stream.close();
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

    net::io_context ioc(static_cast<int>(opt.threads));
    Limits limits{std::chrono::milliseconds(opt.readTimeoutMs), std::chrono::milliseconds(opt.deadlineMs)};
    Server server(ioc, answerer, limits, opt.quiet);
    std::string why = server.Listen(opt.host, opt.port);
    if (!why.empty()) {
        std::fprintf(stderr, "lumeno-lookupd: cannot listen on %s:%d (%s)\n", opt.host.c_str(), opt.port, why.c_str());
        return 1;
    }

    net::signal_set signals(ioc, SIGINT, SIGTERM);
    server.OnStop([&] { net::post(ioc, [&] { signals.cancel(); }); });
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
    server.Run();

    double ms = std::chrono::duration<double, std::milli>(Clock::now() - started).count();
    std::fprintf(stderr, "lumeno-lookupd: listening on %s:%d (%zu districts, %zu pieces, ready in %.0f ms)\n",
                 opt.host.c_str(), opt.port, index.DistrictCount(), index.PieceCount(), ms);
    std::fflush(stderr);

    // Once stopping, nothing but the draining sessions keeps the loop running.
    std::vector<std::thread> workers;
    for (size_t i = 1; i < opt.threads; ++i)
        workers.emplace_back([&ioc] { ioc.run(); });
    ioc.run();
    for (std::thread& t : workers)
        t.join();
#ifdef _WIN32
    g_stopped = true;
#endif
    std::fprintf(stderr, "lumeno-lookupd: stopped\n");
    return 0;
}
