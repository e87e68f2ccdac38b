// The service's limits: how long a client may take, how much it may send, how many it may hold
// open, and what happens when the system runs short of descriptors.
#include <sys/socket.h>

#include <ctime>

#include "service/tests/live_service.h"

using namespace std::chrono;
using namespace lookupd::testing;

namespace {

// Sends the request one byte at a time, `gap` apart; true when it was answered with a 200,
// false when the service cut the connection first.
bool Drip(int port, milliseconds gap) {
    int s = Connect(port);
    std::string req = ProgramRequest(Target(40916646, 12524901));
    bool sent = s >= 0;
    for (size_t i = 0; sent && i < req.size(); ++i) {
        char c;
        sent = SendAll(s, req.substr(i, 1)) && recv(s, &c, 1, MSG_DONTWAIT | MSG_PEEK) != 0;
        std::this_thread::sleep_for(gap);
    }
    bool answered = sent && Status(ReadReply(s)) == 200;
    close(s);
    return answered;
}

TEST(ServiceLimits, SlowClientsAreCutAtTheDeadlineButKeptAliveOnesAreNot) {
    // Each byte comes well within the read time-out; only the whole-request deadline tells
    // the two apart (the request is about 190 bytes: 1 s, then 5 s).
    Service svc({"--quiet", "--read-timeout-ms", "1000", "--deadline-ms", "3000"});
    ASSERT_TRUE(svc.WaitReady());
    EXPECT_TRUE(Drip(svc.Port(), milliseconds(5)));
    auto t0 = steady_clock::now();
    EXPECT_FALSE(Drip(svc.Port(), milliseconds(25)));
    EXPECT_LT(steady_clock::now() - t0, seconds(4));

    // A client that stops half-way is cut at the read time-out.
    int stall = Connect(svc.Port());
    ASSERT_TRUE(SendAll(stall, "GET /GetTextByPos?x=40916646 HTTP/1.1\r\nHo"));
    t0 = steady_clock::now();
    char c;
    EXPECT_LE(recv(stall, &c, 1, 0), 0);
    EXPECT_LT(steady_clock::now() - t0, milliseconds(2500));
    close(stall);

    // A kept-alive client that keeps asking outlasts both: they bound each request, not the connection.
    int s = Connect(svc.Port());
    bool cut = false;
    for (t0 = steady_clock::now(); !cut && steady_clock::now() - t0 < milliseconds(3500);) {
        cut = !SendAll(s, ProgramRequest(ExampleTarget())) || !ReadReply(s).ok;
        std::this_thread::sleep_for(milliseconds(400));
    }
    close(s);
    EXPECT_FALSE(cut) << "after " << duration_cast<milliseconds>(steady_clock::now() - t0).count() << " ms";
}

TEST(ServiceLimits, IdleAndDeafClientsDoNotHoldUpOthers) {
    Service svc({"--quiet", "--read-timeout-ms", "3000"});
    ASSERT_TRUE(svc.WaitReady());
    std::vector<int> idle;
    for (int i = 0; i < 1000; ++i) {
        idle.push_back(Connect(svc.Port()));
        ASSERT_GE(idle.back(), 0) << i;
    }
    // A client that asks and asks and never reads: the service's writes to it stall.
    int deaf = Connect(svc.Port());
    ASSERT_GE(deaf, 0);
    std::string req = ProgramRequest(Target(40916646, 12524901));
    size_t sent = 0;
    while (sent < 200000 && send(deaf, req.data(), req.size(), MSG_DONTWAIT | MSG_NOSIGNAL) > 0)
        ++sent;
    EXPECT_LT(sent, 200000u) << "the service kept reading from a client that does not read";

    auto t0 = steady_clock::now();
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(Status(Exchange(svc.Port(), req)), 200);
    EXPECT_LT(steady_clock::now() - t0, seconds(5));  // a generous bound: these take milliseconds
    for (int s : idle)
        close(s);
    close(deaf);
}

TEST(ServiceLimits, EndlessHeadersAreCut) {
    // Header lines, each short and quick, that never end: cut at the request's byte budget.
    Service svc({"--quiet", "--threads", "1"});
    ASSERT_TRUE(svc.WaitReady());
    int s = Connect(svc.Port());
    ASSERT_GE(s, 0);
    std::string line = "X-Filler: " + std::string(90, 'f') + "\r\n";
    size_t sent = 0;
    bool cut = !SendAll(s, "GET " + Target(40916646, 12524901) + " HTTP/1.1\r\n");
    while (!cut && sent < 50 * 1000 * 1000) {
        cut = !SendAll(s, line);
        sent += line.size();
        if (sent % (16 * line.size()) == 0)
            std::this_thread::sleep_for(milliseconds(2));  // give a slow build time to answer
        char c;
        if (recv(s, &c, 1, MSG_DONTWAIT) >= 0)
            cut = true;  // an error reply, or the close
    }
    close(s);
    EXPECT_TRUE(cut);
    EXPECT_LT(sent, 1000u * 1000u) << "the service read " << sent << " header bytes";
    EXPECT_EQ(Status(Exchange(svc.Port(), ProgramRequest(Target(40916646, 12524901)))), 200);
}

// --- Linux's own: a limit on descriptors (the Windows build under Wine does not run these) ------

TEST(ServiceOnLinux, RunningOutOfDescriptorsStopsNoOne) {
    // Room for a few dozen connections: the rest wait unaccepted until descriptors are free.
    const rlim_t limit = 48;
    Service svc({"--quiet", "--threads", "1"}, LOOKUPD_INDEX, 0, limit);
    ASSERT_TRUE(svc.WaitReady()) << svc.Log();
    // The sanitizer build's UBSan opens a pipe the first time it checks each dynamic type, and
    // dies where it has no descriptor for it: whatever the service does for the first time is
    // done before they run out. An answer, and the end of the thread that builds the grid
    // (main, the signals' and the loop's are left; io_uring's workers apart).
    ASSERT_EQ(Status(Exchange(svc.Port(), ProgramRequest(ExampleTarget()))), 200);
    ASSERT_TRUE(WaitFor([&] { return Entries(svc.Pid(), "task", "iou-") == 3; }));
    std::vector<int> clients;
    for (int i = 0; i < 64; ++i)
        clients.push_back(Connect(svc.Port()));
    EXPECT_TRUE(WaitFor([&] { return Entries(svc.Pid(), "fd") == limit; })) << Entries(svc.Pid(), "fd");
    std::this_thread::sleep_for(milliseconds(100));
    for (int s : clients)
        close(s);
    EXPECT_EQ(Status(Exchange(svc.Port(), ProgramRequest(ExampleTarget()))), 200);
    svc.Signal(SIGTERM);
    const int st = svc.WaitExit();
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << svc.Log();
}

// The CPU time the process has taken, in seconds.
double CpuSeconds(pid_t pid) {
    clockid_t clock;
    timespec t{};
    EXPECT_TRUE(clock_getcpuclockid(pid, &clock) == 0 && clock_gettime(clock, &t) == 0);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// A service that waits at its stop for a slow client's request sleeps meanwhile: no loop
// spins on the listening socket or the wake it is done with.
TEST(ServiceOnLinux, StoppingServiceWaitsWithoutSpinning) {
    Service svc({"--quiet", "--threads", "1"});
    ASSERT_TRUE(svc.WaitReady()) << svc.Log();
    ASSERT_TRUE(WaitFor([&] { return Entries(svc.Pid(), "task", "iou-") == 3; }));  // the grid is built
    int slow = Connect(svc.Port());
    const std::string req = ProgramRequest(ExampleTarget());
    ASSERT_TRUE(SendAll(slow, req.substr(0, 20)));
    std::this_thread::sleep_for(milliseconds(200));  // read before the stop: a request under way
    svc.Signal(SIGTERM);
    std::this_thread::sleep_for(milliseconds(100));
    const double before = CpuSeconds(svc.Pid());
    std::this_thread::sleep_for(milliseconds(500));
    EXPECT_LT(CpuSeconds(svc.Pid()) - before, 0.1);
    ASSERT_TRUE(SendAll(slow, req.substr(20)));
    EXPECT_EQ(Status(ReadReply(slow)), 200);
    close(slow);
    const int st = svc.WaitExit();
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << svc.Log();
}

}  // namespace
