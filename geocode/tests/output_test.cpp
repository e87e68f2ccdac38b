// -o FILE loses nothing: a run that ends well replaces FILE whole, one that fails (a write
// refused: the disk full, a size limit) or is stopped by a signal leaves FILE as it was, byte
// for byte, and no temporary file beside it.
#include "run_helpers.h"

namespace {

using namespace geocode_test;

std::vector<std::string> Entries(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// A folder of its own per test, with an old FILE in it.
class OutputFile : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = ::testing::TempDir() + "geocode_out_XXXXXX";
        ASSERT_NE(mkdtemp(&tmpl[0]), nullptr);
        m_dir = tmpl + "/";
        m_err = tmpl + ".err";  // beside the folder, which must hold FILE alone
        std::ofstream(m_dir + "out.csv", std::ios::binary) << m_old;
        std::filesystem::permissions(m_dir + "out.csv", std::filesystem::perms(0640));
    }
    void TearDown() override {
        std::filesystem::remove_all(m_dir);
        std::filesystem::remove(m_err);
    }

    // The program on `args` with -o FILE; standard input from a pipe whose end `feed` gets,
    // a file size limit where `maxBytes` is set.
    pid_t Start(std::vector<std::string> args, int* feed = nullptr, rlim_t maxBytes = 0) {
        int pipeFds[2] = {-1, -1};
        if (feed && pipe(pipeFds) != 0)
            return -1;
        args.insert(args.begin(), GEOCODE_BIN);
        args.insert(args.end(), {"--quiet", "-o", m_dir + "out.csv"});
        const pid_t pid = lookupd::testing::Spawn(args, m_err, pipeFds[0], RLIMIT_FSIZE, maxBytes);
        if (feed) {
            close(pipeFds[0]);
            *feed = pipeFds[1];
        }
        return pid;
    }

    // The exit status, waited for at most 20 s (then the process is killed).
    static int Wait(pid_t pid) {
        const int st = lookupd::testing::WaitExit(pid, 20);
        if (st == -1) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            ADD_FAILURE() << "the run did not end within 20 s";
        }
        return st;
    }

    void ExpectOldFileOnly() {
        EXPECT_EQ(Entries(m_dir), std::vector<std::string>{"out.csv"});
        EXPECT_TRUE(Slurp(m_dir + "out.csv") == m_old) << "FILE changed";
    }

    std::string m_dir, m_err;
    const std::string m_old = "id,lon,lat,province\n1,2,3,the old rows\n";
};

TEST_F(OutputFile, ARunThatEndsWellReplacesItWhole) {
    // The input is FILE itself, larger than a read buffer: it is read whole before anything
    // replaces it.
    std::string input, rows = "lon,lat,province,prefecture,district,code,distance_m,error\n";
    for (int i = 0; i < 3000; ++i) {
        input += "113.65735 34.79139167\n116.39747 39.90872\n";
        rows += "113.65735,34.79139167,河南省,郑州市,金水区,410105,,\n116.39747,39.90872,北京市,,东城区,110101,,\n";
    }
    std::ofstream(m_dir + "out.csv", std::ios::binary) << input;
    int st = Wait(Start({"--from", "plain", m_dir + "out.csv"}));
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
    EXPECT_TRUE(Slurp(m_dir + "out.csv") == rows) << Slurp(m_dir + "out.csv").size() << " bytes, not " << rows.size();
    EXPECT_EQ(Entries(m_dir), std::vector<std::string>{"out.csv"});
    // The file keeps its permissions.
    EXPECT_EQ(std::filesystem::status(m_dir + "out.csv").permissions(), std::filesystem::perms(0640));
}

// A write that fails part way (here a file size limit: the same EFBIG path as a full disk).
TEST_F(OutputFile, AFailedRunLeavesItAsItWas) {
    std::string input = m_dir + "points.txt";
    {
        std::ofstream in(input);
        for (int i = 0; i < 40000; ++i)
            in << "113.65735 34.79139167\n";
    }
    int st = Wait(Start({"--from", "plain", input}, nullptr, 256 * 1024));
    unlink(input.c_str());
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 2) << st;
    EXPECT_NE(Slurp(m_err).find("cannot write the output: File too large"), std::string::npos) << Slurp(m_err);
    ExpectOldFileOnly();
}

TEST_F(OutputFile, AnInterruptedRunLeavesItAsItWas) {
    signal(SIGPIPE, SIG_IGN);  // the feed's reader dies before the feed is closed
    for (int sig : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(sig);
        int feed = -1;
        pid_t pid = Start({"--from", "plain", "--threads", "1"}, &feed);
        ASSERT_GT(pid, 0);
        // 2.2 MB of points: the program reads 1 MiB at a time, so it has rows written (more
        // than its 1 MiB output buffer) and waits for the rest of the input when stopped.
        std::string lines;
        for (int i = 0; i < 200000; ++i)
            lines += "113.65735 34.79139167\n";
        for (size_t at = 0; at < lines.size();) {
            ssize_t n = write(feed, lines.data() + at, lines.size() - at);
            ASSERT_GT(n, 0);
            at += static_cast<size_t>(n);
        }
        // The temporary file has rows in it: the run is under way.
        const bool writing = lookupd::testing::WaitFor([&] {
            std::error_code gone;
            for (const std::string& name : Entries(m_dir))
                if (name != "out.csv" && std::filesystem::file_size(m_dir + name, gone) > 0 && !gone)
                    return true;
            return false;
        });
        EXPECT_TRUE(writing) << "no temporary file with rows beside FILE";
        kill(pid, sig);
        int st = Wait(pid);
        close(feed);
        EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == sig) << st;
        ExpectOldFileOnly();
    }
}

}  // namespace
