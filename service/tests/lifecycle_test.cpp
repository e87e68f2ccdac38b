// The service's life: its start, what it says when it cannot start, and its stop.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "index/place_index.h"
#include "service/answer.h"
#include "service/server.h"
#include "service/tests/live_service.h"

using namespace std::chrono;
using namespace lookupd::testing;

namespace {

TEST(ServiceLifecycle, StopsCleanlyOnSigtermAndSigint) {
    for (int sig : {SIGTERM, SIGINT}) {
        Service svc({});
        ASSERT_TRUE(svc.WaitReady());
        // At the stop: a request under way is still answered, and so is the next request of a
        // kept-alive connection half-way through it, /healthz saying the service stops; both
        // connections are closed after their answer. A kept-alive connection waiting for its next
        // request is closed at once.
        const std::string req = ProgramRequest(ExampleTarget()), health = ProgramRequest("/healthz");
        int busy = Connect(svc.Port()), kept = Connect(svc.Port()), idle = Connect(svc.Port());
        for (int s : {kept, idle}) {
            ASSERT_TRUE(SendAll(s, health));
            Reply r = ReadReply(s);
            EXPECT_EQ(r.body, "ready");
            EXPECT_EQ(r.header.find("Connection: close"), std::string::npos) << r.header;
        }
        ASSERT_TRUE(SendAll(busy, req.substr(0, 20)));
        ASSERT_TRUE(SendAll(kept, health.substr(0, 20)));
        std::this_thread::sleep_for(milliseconds(200));
        svc.Signal(sig);
        std::this_thread::sleep_for(milliseconds(300));
        // No new connection while the last requests finish.
        const int late = Connect(svc.Port());
        EXPECT_LT(late, 0);
        if (late >= 0)
            close(late);
        EXPECT_TRUE(SendAll(busy, req.substr(20)));
        EXPECT_TRUE(SendAll(kept, health.substr(20)));
        Reply answered = ReadReply(busy), stopping = ReadReply(kept);
        EXPECT_EQ(Status(answered), 200);
        EXPECT_EQ(Utf8(answered.body), "河南省郑州市金水区");
        EXPECT_EQ(Status(stopping), 503);
        EXPECT_EQ(stopping.body, "stopping");
        for (const Reply* r : {&answered, &stopping})
            EXPECT_NE(r->header.find("\r\nConnection: close\r\n"), std::string::npos) << r->header;
        for (int s : {busy, kept, idle}) {
            char c;
            EXPECT_EQ(recv(s, &c, 1, 0), 0);
            close(s);
        }
        int st = svc.WaitExit();
        ASSERT_NE(st, -1) << "did not stop within 10 s";
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
        std::string log = svc.Log();
        EXPECT_NE(log.find("GET /GetTextByPos?x=40916646&y=12524901&radius=6000&service=gettext 200 "),
                  std::string::npos)
            << log;
        EXPECT_NE(log.find("GET /healthz 503 "), std::string::npos) << log;
        EXPECT_NE(log.find("us\n"), std::string::npos);
        EXPECT_NE(log.find("stopped"), std::string::npos);
        // And nothing else from the service itself: the start, the signal (Ctrl-C under Wine),
        // the stop; no complaint from a system call on the way.
        std::istringstream lines(log);
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("lumeno-lookupd: ", 0) != 0)
                continue;
            EXPECT_TRUE(line.find(": listening on ") != std::string::npos ||
                        line.find(": signal ") != std::string::npos ||
                        line.find(": console event ") != std::string::npos || line == "lumeno-lookupd: stopped")
                << line;
        }
        // These tests run again with the loops on epoll: the service must say it obeyed, and
        // otherwise no loop may have fallen back to it unasked.
        const char* io = std::getenv("LOOKUPD_IO");
        if (io && std::string(io) == "epoll") {
            EXPECT_NE(log.find("; epoll)"), std::string::npos) << log;
        }
        EXPECT_EQ(log.find("a loop runs on epoll"), std::string::npos) << log;
    }
}

TEST(ServiceLifecycle, StartUpErrorsAreClear) {
    std::string junk = ::testing::TempDir() + "lookupd_junk_" + std::to_string(getpid()) + ".idx";
    std::ofstream(junk, std::ios::binary) << std::string(100, 'x');
    for (const std::string& data :
         {::testing::TempDir() + "lookupd_missing_" + std::to_string(getpid()) + ".idx", junk}) {
        Service svc({}, data);
        EXPECT_FALSE(svc.WaitReady());
        int st = svc.WaitExit();
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 1) << st;
        EXPECT_NE(svc.Log().find("lumeno-lookupd: index file " + data), std::string::npos) << svc.Log();
    }
    std::remove(junk.c_str());

    // A port already held: the system's own reason, after the address.
    Service first({"--quiet"});
    ASSERT_TRUE(first.WaitReady());
    Service second({}, LOOKUPD_INDEX, first.Port());
    int st = second.WaitExit();
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 1) << st;
    std::string held = "lumeno-lookupd: cannot listen on 127.0.0.1:" + std::to_string(first.Port()) + ": ";
    size_t at = second.Log().find(held);
    EXPECT_TRUE(at != std::string::npos && second.Log().size() > at + held.size() + 1) << second.Log();

    // --verify reads every byte: a damaged piece, which start-up does not read, is found.
    std::string damaged = ::testing::TempDir() + "lookupd_damaged_" + std::to_string(getpid()) + ".idx";
    {
        std::ifstream in(LOOKUPD_INDEX, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        bytes[bytes.size() - 100] ^= 0x55;  // inside the last piece, before the file's checksum
        std::ofstream(damaged, std::ios::binary) << bytes;
    }
    for (const std::string& data : {std::string(LOOKUPD_INDEX), damaged}) {
        Service verify({"--verify"}, data);
        const bool good = data == LOOKUPD_INDEX;
        st = verify.WaitExit();
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == (good ? 0 : 1)) << verify.Log();
        EXPECT_NE(verify.Log().find(good ? "checksum and every piece verified" : "checksum mismatch"),
                  std::string::npos)
            << verify.Log();
    }
    std::remove(damaged.c_str());

    // Given after the test's own --listen: each is read, and refused with the usage text.
    for (const char* bad : {"--threads=0", "--threads=257", "--listen=:80", "--listen=127.0.0.1:65536", "--data"}) {
        const std::string option(bad);
        const size_t eq = option.find('=');
        Service svc(eq == std::string::npos ? std::vector<std::string>{option}
                                            : std::vector<std::string>{option.substr(0, eq), option.substr(eq + 1)});
        st = svc.WaitExit();
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 2) << bad << ": " << st;
    }
}

// A service the system gives too few descriptors to start says which it could not have and
// exits with 1: it neither waits forever on a loop it could not set up nor dies of an exception.
// Every limit from one beyond the standard three (the loader's, to open the libraries) upwards,
// until one is enough: each step of the start runs out once. Linux's own; in the sanitizer build a service without
// UBSan's check of dynamic types, which needs a descriptor of its own for each type it meets first.
TEST(ServiceOnLinux, TooFewDescriptorsToStartIsAClearError) {
    bool loopsRefused = false, started = false;
    for (rlim_t limit = 4; limit <= 40 && !started; ++limit) {
        Service svc({"--quiet", "--threads", "2"}, LOOKUPD_INDEX, 0, limit, LOOKUPD_FD_BIN);
        started = svc.WaitReady();
        if (started)
            svc.Signal(SIGTERM);  // with no descriptor to spare for a connection, but it stops
        const int st = svc.WaitExit();
        const std::string log = svc.Log();
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == (started ? 0 : 1)) << limit << ": " << st << "\n" << log;
        if (started)
            break;
        EXPECT_EQ(log.rfind("lumeno-lookupd: ", 0), 0u) << limit << ": " << log;
        EXPECT_NE(log.find(std::strerror(EMFILE)), std::string::npos) << limit << ": " << log;
        loopsRefused = loopsRefused || log.find("lumeno-lookupd: cannot start: ") != std::string::npos;
    }
    EXPECT_TRUE(started);
    EXPECT_TRUE(loopsRefused);
}

// The front end in this process, as a test or a fuzz target can run it.
// Descriptors this process has open.
size_t OpenFiles() {
    size_t n = 0;
    for (auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++n;
    }
    return n;
}

TEST(ServerInProcess, AnswersOnThePortItGotAndStops) {
    lookupd::PlaceIndex index;
    ASSERT_EQ(index.Load(LOOKUPD_INDEX), "");
    lookupd::Answerer answerer(index);
    const size_t before = OpenFiles();
    auto owned = std::make_unique<lookupd::Server>(2, answerer, lookupd::Limits{}, true);
    lookupd::Server& server = *owned;
    EXPECT_EQ(server.Listen("localhost", 0), "not an IP address");
    ASSERT_EQ(server.Listen("127.0.0.1", 0), "");
    ASSERT_GT(server.Port(), 0);
    ASSERT_EQ(server.Start(), "");
    std::thread running([&] { server.Run(); });
    // Two requests in one write: both are answered, in order, on the one connection.
    int s = Connect(server.Port());
    ASSERT_GE(s, 0);
    ASSERT_TRUE(SendAll(s, ProgramRequest(Target(40916646, 12524901)) + ProgramRequest("/healthz")));
    Reply first = ReadReply(s), second = ReadReply(s);
    close(s);
    server.RequestStop();
    running.join();
    owned.reset();
    EXPECT_EQ(OpenFiles(), before) << "the server left descriptors open";
    EXPECT_EQ(Status(first), 200);
    EXPECT_EQ(Utf8(first.body), "河南省郑州市金水区");
    EXPECT_EQ(second.body, "ready");
}

}  // namespace
