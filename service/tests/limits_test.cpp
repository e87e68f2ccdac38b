// The service's limits: how long a client may take, how much it may send, how many it may hold
// open, and what happens when the system runs short of descriptors.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

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

TEST(ServiceLimits, SlowClientsAreServedWithinTheDeadlineAndCutBeyondIt) {
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
    ASSERT_GE(stall, 0);
    ASSERT_TRUE(SendAll(stall, "GET /GetTextByPos?x=40916646 HTTP/1.1\r\nHo"));
    t0 = steady_clock::now();
    char c;
    EXPECT_LE(recv(stall, &c, 1, 0), 0);
    EXPECT_LT(steady_clock::now() - t0, milliseconds(2500));
    close(stall);
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

TEST(ServiceLimits, KeepAliveClientsAreNotCutWhileTheyKeepAsking) {
    Service svc({"--quiet", "--read-timeout-ms", "1000", "--deadline-ms", "1500"});
    ASSERT_TRUE(svc.WaitReady());
    int s = Connect(svc.Port());
    ASSERT_GE(s, 0);
    auto t0 = steady_clock::now();
    int answered = 0;
    while (steady_clock::now() - t0 < milliseconds(3000)) {
        if (!SendAll(s, ProgramRequest(Target(40916646, 12524901))) || !ReadReply(s).ok)
            break;
        ++answered;
        std::this_thread::sleep_for(milliseconds(400));
    }
    close(s);
    EXPECT_GE(answered, 7);
}

// --- Linux's own: a limit on descriptors (the Windows build under Wine does not run these) ------

// Entries of /proc/PID/DIR whose name does not start with skip.
size_t Entries(pid_t pid, const char* dir, const std::string& skipComm = std::string()) {
    size_t n = 0;
    const std::string path = "/proc/" + std::to_string(pid) + "/" + dir;
    if (DIR* d = opendir(path.c_str())) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.')
                continue;
            std::string comm;
            if (!skipComm.empty())
                std::getline(std::ifstream(path + "/" + e->d_name + "/comm"), comm);
            n += skipComm.empty() || comm.rfind(skipComm, 0) != 0;
        }
        closedir(d);
    }
    return n;
}

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
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));  // after the command's name
    std::string field;
    unsigned long long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i >= 14)  // utime, stime
            ticks += std::stoull(field);
    return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// A service that waits at its stop for a slow client's request sleeps meanwhile: no loop
// spins on the listening socket or the wake it is done with.
TEST(ServiceOnLinux, StoppingServiceWaitsWithoutSpinning) {
    Service svc({"--quiet", "--threads", "1"});
    ASSERT_TRUE(svc.WaitReady()) << svc.Log();
    ASSERT_TRUE(WaitFor([&] { return Entries(svc.Pid(), "task", "iou-") == 3; }));  // the grid is built
    int slow = Connect(svc.Port());
    ASSERT_GE(slow, 0);
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
