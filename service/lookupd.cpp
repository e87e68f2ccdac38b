// lumeno-lookupd: the offline lookup service that answers the program's place queries.
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#ifndef _WIN32
#include <sys/resource.h>
#include <unistd.h>
#endif

#include "service/answer.h"
#include "index/place_index.h"
#include "service/server.h"
#ifdef _WIN32
#include "service/console_win.h"
#endif

#ifndef LUMENO_DEFAULT_INDEX
#define LUMENO_DEFAULT_INDEX "lookupd.idx"
#endif

namespace net = boost::asio;
using Clock = std::chrono::steady_clock;
using namespace lookupd;

namespace {

// The default index: on Windows the file beside the executable, as the release ships it.
std::string DefaultIndex() {
#ifdef _WIN32
    return BesideExecutable(LUMENO_DEFAULT_INDEX);
#else
    return LUMENO_DEFAULT_INDEX;
#endif
}

struct Options {
    std::string host = "127.0.0.1";
    int port = 18360;
    std::string data = DefaultIndex();
    size_t threads = std::clamp<size_t>(std::thread::hardware_concurrency(), 1, Server::kMaxThreads);
    int readTimeoutMs = 5000;
    int deadlineMs = 10000;
    bool quiet = false;
    bool verify = false;  // check the whole index file and stop
};

int Usage() {
    std::fprintf(stderr,
                 "usage: lumeno-lookupd [--listen HOST:PORT] [--data INDEX] [--threads N]\n"
                 "                      [--read-timeout-ms MS] [--deadline-ms MS] [--quiet]\n"
                 "       lumeno-lookupd --verify [--data INDEX]   checks every byte of the index\n"
                 "defaults: --listen 127.0.0.1:18360 --data %s --threads (one per core, at most %zu)\n"
                 "          --read-timeout-ms 5000 --deadline-ms 10000; port 0 takes a free port\n"
#ifndef _WIN32
                 "environment: LOOKUPD_IO=epoll runs the loops on epoll where they would run on io_uring\n"
#endif
                 ,
                 DefaultIndex().c_str(), Server::kMaxThreads);
    return 2;
}

bool ParseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--quiet" || a == "--verify") {
            (a == "--quiet" ? o.quiet : o.verify) = true;
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
            if (a == "--threads" && n > static_cast<long>(Server::kMaxThreads)) {
                std::fprintf(stderr, "lumeno-lookupd: --threads takes 1 to %zu\n", Server::kMaxThreads);
                return false;
            }
            if (a == "--threads")
                o.threads = static_cast<size_t>(n);
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
    if (opt.verify) {
        // Start-up checks the tables only; the checksum over every piece is for this.
        err = index.Verify();
        if (!err.empty()) {
            std::fprintf(stderr, "lumeno-lookupd: %s\n", err.c_str());
            return 1;
        }
        std::fprintf(stderr, "lumeno-lookupd: %s: checksum and every piece verified\n", opt.data.c_str());
        return 0;
    }
    Answerer answerer(index);

#ifndef _WIN32
    // Every idle keep-alive connection holds a descriptor; take what the system allows.
    rlimit rl{};
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        const rlim_t had = rl.rlim_cur;
        rl.rlim_cur = rl.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &rl) != 0)
            std::fprintf(stderr, "lumeno-lookupd: keeps its limit of %llu descriptors: %s\n",
                         static_cast<unsigned long long>(had), std::strerror(errno));
    }
#endif

    Limits limits;
    limits.readTimeout = std::chrono::milliseconds(opt.readTimeoutMs);
    limits.deadline = std::chrono::milliseconds(opt.deadlineMs);
    Server server(opt.threads, answerer, limits, opt.quiet);
    std::string why = server.Listen(opt.host, opt.port);
    if (!why.empty()) {
        std::fprintf(stderr, "lumeno-lookupd: cannot listen on %s:%d: %s\n", opt.host.c_str(), opt.port, why.c_str());
        return 1;
    }

    // Asio takes descriptors for its wait for signals, and throws where it cannot have them.
    std::optional<net::signal_set> signals;
    try {
        signals.emplace(server.MainContext(), SIGINT, SIGTERM);
    } catch (const boost::system::system_error& e) {
        std::fprintf(stderr, "lumeno-lookupd: cannot wait for signals: %s\n", e.code().message().c_str());
        return 1;
    }
    server.OnStop([&] { net::post(server.MainContext(), [&] { signals->cancel(); }); });
    signals->async_wait([&](boost::system::error_code ec, int sig) {
        if (ec)
            return;
        std::fprintf(stderr, "lumeno-lookupd: signal %d, stopping\n", sig);
        server.RequestStop();
    });

    // The first answers come from the tree at once, the rest from the grid once it is built.
    std::thread cells;
    try {
        cells = std::thread([&index] { index.BuildCells(); });
    } catch (const std::system_error& e) {
        std::fprintf(stderr, "lumeno-lookupd: cannot start a thread: %s\n", e.what());
        return 1;
    }
    why = server.Start();
    if (!why.empty()) {
        cells.join();
        std::fprintf(stderr, "lumeno-lookupd: cannot start: %s\n", why.c_str());
        return 1;
    }
#ifdef _WIN32
    ConsoleStop console(server);
#endif

    double ms = std::chrono::duration<double, std::milli>(Clock::now() - started).count();
    std::fprintf(stderr, "lumeno-lookupd: listening on %s:%d (%zu districts, %zu pieces, ready in %.0f ms; %s)\n",
                 opt.host.c_str(), server.Port(), index.DistrictCount(), index.PieceCount(), ms, server.Io());
    std::fflush(stderr);

    // Returns once stopping, when nothing but the draining sessions was left to run.
    server.Run();
    cells.join();
    why = server.Failure();
    if (!why.empty()) {
        std::fprintf(stderr, "lumeno-lookupd: stopped: %s\n", why.c_str());
        return 1;
    }
    std::fprintf(stderr, "lumeno-lookupd: stopped\n");
    return 0;
}
