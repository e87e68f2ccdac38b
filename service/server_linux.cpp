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

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>
#include <system_error>
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

// Every loop's set-up is done or refused before the service counts as started: the loops wait
// here for the start's word, and run only where every one of them could be set up.
class StartGate {
public:
    // A loop's set-up is done (why: empty) or refused. True once every loop may run.
    bool Arrive(const std::string& why) {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_why.empty())
            m_why = why;
        ++m_arrived;
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return m_decided; });
        return m_why.empty();
    }
    // Waits for the loops that were started; empty where every one of them, and the start itself
    // (why), went well.
    std::string Decide(size_t loops, const std::string& why) {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_why.empty())
            m_why = why;
        m_changed.wait(lock, [&] { return m_arrived == loops; });
        m_decided = true;
        m_changed.notify_all();
        return m_why;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    size_t m_arrived = 0;
    bool m_decided = false;
    std::string m_why;
};

// A loop on this thread: set up, then run until the stop. Empty, or why it ended before.
std::string RunLoop(Server& server, Loop& loop, int listener, StartGate& gate) {
    std::string uringWhy, why;
    std::unique_ptr<LoopRunner> runner;
    if (server.Io() == std::string_view("io_uring"))
        runner = MakeUringLoop(server, loop, listener, uringWhy);
    if (!runner) {
        runner = MakeEpollLoop(server, loop, listener, why);
        if (runner && !uringWhy.empty())
            std::fprintf(stderr, "lumeno-lookupd: a loop runs on epoll: io_uring refused its ring (%s)\n",
                         uringWhy.c_str());
    }
    if (!gate.Arrive(why))
        return {};  // this loop or another could not be set up: Start says why
    return runner->Run();
}

}  // namespace

void ClaimPort(net::ip::tcp::acceptor& acceptor, boost::system::error_code& ec) {
    acceptor.set_option(net::socket_base::reuse_address(true), ec);
}

Server::Server(size_t threads, const Answerer& answerer, const Limits& limits, bool quiet)
    : m_answerer(answerer), m_limits(limits), m_quiet(quiet), m_io(UringRefused() ? "epoll" : "io_uring") {
    for (size_t i = 0; i < threads; ++i)
        m_loops.push_back(std::make_unique<Loop>());
}

Server::~Server() {
    // Started and never run: stopped here, so that no thread outlives it.
    m_onStop = nullptr;
    if (!m_threads.empty() || m_signals.joinable()) {
        RequestStop();
        Run();
    }
    for (auto& l : m_loops)
        if (l->wake >= 0)
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

std::string Server::Start() {
    for (auto& l : m_loops) {
        l->wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (l->wake < 0)
            return std::string("eventfd: ") + std::strerror(errno);
    }
    // Signals are waited for on a thread of their own, the loops on the others.
    auto gate = std::make_shared<StartGate>();
    std::string why;
    try {
        m_loops[0]->work.emplace(MainContext().get_executor());
        m_signals = std::thread([this] { MainContext().run(); });
        for (size_t i = 0; i < m_loops.size(); ++i)
            m_threads.emplace_back([this, i, gate] {
                const std::string failed = RunLoop(*this, *m_loops[i], m_listener, *gate);
                if (failed.empty())
                    return;
                {
                    std::lock_guard<std::mutex> lock(m_failureMutex);
                    if (m_failure.empty())
                        m_failure = failed;
                }
                RequestStop();  // the other loops drain
            });
    } catch (const std::system_error& e) {
        why = std::string("cannot start a thread: ") + e.what();
    }
    why = gate->Decide(m_threads.size(), why);
    if (!why.empty()) {
        RequestStop();
        Run();
    }
    return why;
}

void Server::Run() {
    for (std::thread& t : m_threads)
        t.join();
    m_threads.clear();
    // The signals' thread ends once its work is let go (and main's wait for them is cancelled).
    m_loops[0]->work.reset();
    if (m_signals.joinable())
        m_signals.join();
}

std::string Server::Failure() const {
    std::lock_guard<std::mutex> lock(m_failureMutex);
    return m_failure;
}

void Server::RequestStop() {
    if (m_stopping.exchange(true))
        return;
    // A listening socket shut down refuses new connections at once, and every loop's wait
    // for one ends.
    if (m_listener >= 0 && shutdown(m_listener, SHUT_RD) != 0)
        std::fprintf(stderr, "lumeno-lookupd: the listening socket's shutdown: %s\n", std::strerror(errno));
    const uint64_t one = 1;
    for (auto& l : m_loops)
        if (l->wake >= 0 && write(l->wake, &one, sizeof one) != sizeof one)
            std::fprintf(stderr, "lumeno-lookupd: a loop's wake: %s\n", std::strerror(errno));
    if (m_onStop)
        m_onStop();
}

net::io_context& Server::MainContext() {
    return m_loops[0]->signals;
}

}  // namespace lookupd
