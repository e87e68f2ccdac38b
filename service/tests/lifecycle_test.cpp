// The service's life: its start, what it says when it cannot start, and its stop.
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <sstream>

#include "service/server.h"
#include "service/tests/live_service.h"

using namespace std::chrono;
using namespace lookupd::testing;
using ::testing::TempDir;

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
        close(late);  // had it been let in
        EXPECT_TRUE(SendAll(busy, req.substr(20)));
        EXPECT_TRUE(SendAll(kept, health.substr(20)));
        Reply answered = ReadReply(busy), stopping = ReadReply(kept);
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
        EXPECT_NE(log.find("GET " + ExampleTarget() + " 200 "), std::string::npos) << log;
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
        EXPECT_TRUE(!io || std::string(io) != "epoll" || log.find("; epoll)") != std::string::npos) << log;
        EXPECT_EQ(log.find("a loop runs on epoll"), std::string::npos) << log;
    }
}

TEST(ServiceLifecycle, StartUpErrorsAreClear) {
    // A port already held: the system's own reason, after the address.
    Service first({"--quiet"});
    ASSERT_TRUE(first.WaitReady());
    Service second({}, LOOKUPD_INDEX, first.Port());
    int st = second.WaitExit();
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 1) << st;
    std::string held = "lumeno-lookupd: cannot listen on 127.0.0.1:" + std::to_string(first.Port()) + ": ";
    size_t at = second.Log().find(held);
    EXPECT_TRUE(at != std::string::npos && second.Log().size() > at + held.size() + 1) << second.Log();

    // An index missing or not one, --verify (it reads every byte: a damaged piece, which start-up
    // does not read, is found) and threads out of range each end the service with their status.
    const std::string junk = TempDir() + "lookupd_junk_" + std::to_string(getpid()) + ".idx",
                      missing = TempDir() + "lookupd_missing_" + std::to_string(getpid()) + ".idx",
                      damaged = TempDir() + "lookupd_damaged_" + std::to_string(getpid()) + ".idx";
    std::ofstream(junk, std::ios::binary) << std::string(100, 'x');
    {
        std::ifstream in(LOOKUPD_INDEX, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        bytes[bytes.size() - 100] ^= 0x55;  // inside the last piece, before the file's checksum
        std::ofstream(damaged, std::ios::binary) << bytes;
    }
    const struct {
        std::vector<std::string> args;
        std::string data;
        int status;
        std::string says;  // in the log
    } cases[] = {
        {{}, missing, 1, "lumeno-lookupd: index file " + missing},
        {{}, junk, 1, "lumeno-lookupd: index file " + junk},
        {{"--verify"}, LOOKUPD_INDEX, 0, "checksum and every piece verified"},
        {{"--verify"}, damaged, 1, "checksum mismatch"},
        // Given after the test's own --listen and --data: each is read, and refused with the usage text.
        {{"--threads", "0"}, LOOKUPD_INDEX, 2, ""},
        {{"--threads", "257"}, LOOKUPD_INDEX, 2, ""},
        {{"--listen", ":80"}, LOOKUPD_INDEX, 2, ""},
        {{"--listen", "127.0.0.1:65536"}, LOOKUPD_INDEX, 2, ""},
        {{"--data"}, LOOKUPD_INDEX, 2, ""},
    };
    for (const auto& c : cases) {
        Service svc(c.args, c.data);
        EXPECT_FALSE(svc.WaitReady()) << c.data;
        st = svc.WaitExit();
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == c.status) << c.data << ": " << st << "\n" << svc.Log();
        EXPECT_NE(svc.Log().find(c.says), std::string::npos) << svc.Log();
    }
    std::remove(junk.c_str());
    std::remove(damaged.c_str());
}

// A service given too few descriptors to start says which it could not have and exits with 1,
// neither waiting forever on a loop it could not set up nor dying of an exception: every limit from
// 4 (the loader's) up to one that is enough, so that each step of the start runs out once. Linux's
// own; the sanitizer build runs one without UBSan's type check (a descriptor for each type it meets).
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
TEST(ServerInProcess, AnswersOnThePortItGotAndStops) {
    lookupd::PlaceIndex index;
    ASSERT_EQ(index.Load(LOOKUPD_INDEX), "");
    lookupd::Answerer answerer(index);
    const size_t before = Entries(getpid(), "fd");
    auto owned = std::make_unique<lookupd::Server>(2, answerer, lookupd::Limits{}, true);
    lookupd::Server& server = *owned;
    EXPECT_EQ(server.Listen("localhost", 0), "not an IP address");
    ASSERT_EQ(server.Listen("127.0.0.1", 0), "");
    ASSERT_GT(server.Port(), 0);
    ASSERT_EQ(server.Start(), "");
    std::thread running([&] { server.Run(); });
    // Two requests in one write: both are answered, in order, on the one connection.
    int s = Connect(server.Port());
    ASSERT_TRUE(SendAll(s, ProgramRequest(Target(40916646, 12524901)) + ProgramRequest("/healthz")));
    Reply first = ReadReply(s), second = ReadReply(s);
    close(s);
    server.RequestStop();
    running.join();
    owned.reset();
    EXPECT_EQ(Entries(getpid(), "fd"), before) << "the server left descriptors open";
    EXPECT_EQ(Status(first), 200);
    EXPECT_EQ(Utf8(first.body), "河南省郑州市金水区");
    EXPECT_EQ(second.body, "ready");
}

}  // namespace
