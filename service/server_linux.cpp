// The front end on Linux: the listening socket, one loop per thread (service/linux/), and the
// start and the stop. Each loop answers the connections it accepted as soon as they are ready:
// read, route, write, in one pass over what the system reported.
//
// The loops use io_uring where the system allows it; where it is refused (an older kernel, a
// sandbox's filter of system calls, or LOOKUPD_IO=epoll), they use epoll. Both share how a
// connection's bytes become answers and when it is cut (service/linux/loop_runner.h).
#include "service/server.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <liburing.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <thread>

#include "service/front_end.h"
#include "service/linux/loop_runner.h"

namespace lookupd {

namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {

bool UringRefused() {
    const char* io = std::getenv("LOOKUPD_IO");
    if (io && std::string_view(io) == "epoll")
        return true;
    io_uring ring;
    io_uring_params p{};
    p.flags = IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_DEFER_TASKRUN;
    if (io_uring_queue_init_params(8, &ring, &p) < 0)
        return true;
    io_uring_queue_exit(&ring);
    return false;
}

void RunLoop(Server& server, Loop& loop, int listener) {
    if (server.Io() == std::string_view("io_uring")) {
        std::string why;
        if (auto uring = MakeUringLoop(server, loop, listener, why))
            return uring->Run();
        std::fprintf(stderr, "lumeno-lookupd: a loop runs on epoll: io_uring refused its ring (%s)\n", why.c_str());
    }
    MakeEpollLoop(server, loop, listener)->Run();
}

}  // namespace

Server::Server(size_t threads, const Answerer& answerer, const Limits& limits, bool quiet)
    : m_answerer(answerer), m_limits(limits), m_quiet(quiet), m_io(UringRefused() ? "epoll" : "io_uring") {
    for (size_t i = 0; i < threads; ++i) {
        m_loops.push_back(std::make_unique<Loop>());
        m_loops.back()->wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    }
}

Server::~Server() {
    for (auto& l : m_loops)
        close(l->wake);
    if (m_listener >= 0)
        close(m_listener);
}

std::string Server::Listen(const std::string& host, int port) {
    // Asio only opens the socket here, and hands it to the loops.
    try {
        net::io_context ioc;
        tcp::acceptor acceptor(ioc);  // throws where its context cannot have the descriptors it needs
        boost::system::error_code ec;
        if (std::string why = OpenListener(acceptor, host, port, m_port); !why.empty())
            return why;
        acceptor.non_blocking(true, ec);
        if (!ec)
            m_listener = acceptor.release(ec);
        return ec ? ec.message() : std::string();
    } catch (const boost::system::system_error& e) {
        return e.code().message();
    }
}

void Server::Run() {
    // Signals are waited for on a thread of their own, the loops on the others.
    auto guard = net::make_work_guard(MainContext());
    std::thread signals([this] { MainContext().run(); });
    std::vector<std::thread> threads;
    for (size_t i = 1; i < m_loops.size(); ++i)
        threads.emplace_back([this, i] { RunLoop(*this, *m_loops[i], m_listener); });
    RunLoop(*this, *m_loops[0], m_listener);
    for (std::thread& t : threads)
        t.join();
    guard.reset();
    signals.join();
}

void Server::RequestStop() {
    if (m_stopping.exchange(true))
        return;
    // A listening socket shut down refuses new connections at once, and every loop's wait
    // for one ends.
    if (m_listener >= 0)
        shutdown(m_listener, SHUT_RD);
    const uint64_t one = 1;
    for (auto& l : m_loops)
        (void)!write(l->wake, &one, sizeof one);
    if (m_onStop)
        m_onStop();
}

net::io_context& Server::MainContext() {
    return m_loops[0]->signals;
}

}  // namespace lookupd
