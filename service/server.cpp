#include "service/server.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_set>

#include "service/front_end.h"
#include "service/routes.h"

namespace lookupd {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;

void ClaimPort(tcp::acceptor& acceptor, boost::system::error_code& ec) {
    BOOL yes = TRUE;
    if (setsockopt(acceptor.native_handle(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&yes),
                   sizeof yes) != 0)
        ec.assign(WSAGetLastError(), boost::system::system_category());
}

class Session;

// One event loop and the thread that runs it. Sessions stay on the loop that accepted them,
// so nothing of a session is ever touched by two threads and no locking is needed.
struct Loop {
    net::io_context ioc{1};
    std::optional<tcp::acceptor> acceptor;
    std::unordered_set<Session*> sessions;
    // Keeps a loop without an acceptor of its own running until the stop.
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
    void Refuse(const HttpReply& refusal);
    void Send(HttpReply reply, bool keepAlive);
    void OnWrite(bool keepAlive, beast::error_code ec, std::size_t);
    void Close();
    void Arm();

    tcp::socket m_socket;
    Clock::time_point m_expiry = Clock::time_point::max();  // of the pending read or write
    Server& m_server;
    Loop& m_loop;
    beast::flat_buffer m_buffer;
    RequestReader m_reader;
    std::string m_head;  // of the answer being written
    std::string m_body;
    std::optional<Clock::time_point> m_started;  // set once the request's first byte is in
    unsigned m_served = 0;
    bool m_stopping = false;
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
    beast::error_code ec;  // a socket already closed has nothing to cancel
    if (!m_started)
        m_socket.cancel(ec);  // idle between requests: nothing to finish
}

void Session::Check(Clock::time_point now) {
    if (now >= m_expiry) {
        m_expiry = Clock::time_point::max();
        beast::error_code ec;
        m_socket.cancel(ec);  // the pending operation ends with an error and the session closes
    }
}

void Session::NextRequest() {
    if (m_stopping || m_server.Stopping())
        return Close();
    m_reader.Reset();
    m_started.reset();
    if (m_buffer.size() == 0)
        return Read();
    m_started = Clock::now();  // the next request came with the last one
    Parse();
}

void Session::Arm() {
    m_expiry = Expiry(m_server.GetLimits(), m_started);
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
    auto data = m_buffer.cdata();
    size_t used = 0;
    RequestReader::State state =
        m_reader.Feed(std::string_view(static_cast<const char*>(data.data()), data.size()), used);
    m_buffer.consume(used);
    if (state == RequestReader::State::kRefused)
        return Refuse(m_reader.Refusal());
    if (state == RequestReader::State::kNeedMore)
        return Read();

    Response r = Respond(m_server, m_reader.Get(), m_started, m_served);
    Send(std::move(r.reply), r.keepAlive);
}

void Session::Refuse(const HttpReply& refusal) {
    LogServed(m_server, "-", "-", refusal.status, m_started);
    Send(refusal, false);
}

void Session::Send(HttpReply reply, bool keepAlive) {
    PutReplyHead(m_head, reply, keepAlive);
    m_body = std::move(reply.body);
    Arm();
    std::array<net::const_buffer, 2> out{net::buffer(m_head), net::buffer(m_body)};
    net::async_write(m_socket, out, beast::bind_front_handler(&Session::OnWrite, shared_from_this(), keepAlive));
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

Server::Server(size_t threads, const Answerer& answerer, const Limits& limits, bool quiet)
    : m_answerer(answerer), m_limits(limits), m_quiet(quiet) {
    for (size_t i = 0; i < threads; ++i)
        m_loops.push_back(std::make_unique<Loop>());
}

Server::~Server() {
    // Started and never run: stopped here, so that no thread outlives it.
    m_onStop = nullptr;
    if (!m_threads.empty()) {
        RequestStop();
        Run();
    }
}

std::string Server::Listen(const std::string& host, int port) {
    return OpenListener(m_loops[0]->acceptor.emplace(m_loops[0]->ioc), host, port, m_port);
}

std::string Server::Start() {
    for (auto& loop : m_loops) {
        loop->work.emplace(loop->ioc.get_executor());
        loop->tick.emplace(loop->ioc);
        Tick(*loop);
        if (loop->acceptor)
            Accept(*loop);
    }
    try {
        for (auto& loop : m_loops)
            m_threads.emplace_back([l = loop.get()] { l->ioc.run(); });
    } catch (const std::system_error& e) {
        // The loops without a thread are never run: the stop is theirs to ignore.
        RequestStop();
        Run();
        return std::string("cannot start a thread: ") + e.what();
    }
    return {};
}

void Server::Run() {
    for (std::thread& t : m_threads)
        t.join();
    m_threads.clear();
}

std::string Server::Failure() const {
    return {};  // Asio's loops end only at the stop
}

void Server::RequestStop() {
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

net::io_context& Server::MainContext() {
    return m_loops[0]->ioc;
}

// The loops take the connections of the one acceptor in turn.
Loop& Server::NextLoop() {
    return *m_loops[m_next++ % m_loops.size()];
}

// Runs while the service is up, and afterwards while sessions drain.
void Server::Tick(Loop& loop) {
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

void Server::Accept(Loop& loop) {
    // The next connection's loop is chosen before it comes.
    Loop& target = NextLoop();
    loop.acceptor->async_accept(target.ioc, [this, &loop, &target](beast::error_code ec, tcp::socket socket) {
        if (m_stopping || !loop.acceptor->is_open())
            return;
        if (!ec) {
            // An answer longer than a segment must not wait for the client's delayed ACK; a
            // connection that refuses the option is closed as the socket goes.
            socket.set_option(tcp::no_delay(true), ec);
            if (!ec) {
                auto session = std::make_shared<Session>(std::move(socket), *this, target);
                if (&target == &loop)
                    session->Start();
                else
                    net::post(target.ioc, [session] { session->Start(); });
            }
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

}  // namespace lookupd
