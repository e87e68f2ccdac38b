// -o FILE loses nothing: a run that ends well replaces FILE whole, one that fails (a write
// refused: the disk full, a size limit) or is stopped by a signal leaves FILE as it was, byte
// for byte, and no temporary file beside it.
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <vector>

#include "run_helpers.h"

namespace {

using namespace geocode_test;

std::vector<std::string> Entries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                names.push_back(e->d_name);
        closedir(d);
    }
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
        chmod((m_dir + "out.csv").c_str(), 0640);
    }
    void TearDown() override {
        for (const std::string& name : Entries(m_dir))
            unlink((m_dir + name).c_str());
        rmdir(m_dir.c_str());
        unlink(m_err.c_str());
    }

    // The program on `args` with -o FILE; standard input from a pipe whose end `feed` gets
    // (else /dev/null), a file size limit where `maxBytes` is set.
    pid_t Start(std::vector<std::string> args, int* feed = nullptr, rlim_t maxBytes = 0) {
        int pipeFds[2] = {-1, -1};
        if (feed && pipe(pipeFds) != 0)
            return -1;
        args.insert(args.begin(), GEOCODE_BIN);
        args.insert(args.end(), {"--quiet", "-o", m_dir + "out.csv"});
        pid_t pid = fork();
        if (pid == 0) {
            // A test run in the background may have SIGINT ignored, and the program keeps it so.
            signal(SIGINT, SIG_DFL);
            if (maxBytes) {
                const rlimit limit{maxBytes, maxBytes};
                setrlimit(RLIMIT_FSIZE, &limit);
            }
            int in = feed ? pipeFds[0] : open("/dev/null", O_RDONLY);
            int err = open(m_err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(in, 0);
            dup2(err, 2);
            if (feed)
                close(pipeFds[1]);
            std::vector<char*> argv;
            for (std::string& a : args)
                argv.push_back(&a[0]);
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        if (feed) {
            close(pipeFds[0]);
            *feed = pipeFds[1];
        }
        return pid;
    }

    // The exit status, waited for at most 20 s (then the process is killed).
    static int Wait(pid_t pid) {
        int st = -1;
        for (auto end = steady_clock::now() + std::chrono::seconds(20); steady_clock::now() < end;) {
            if (waitpid(pid, &st, WNOHANG) == pid)
                return st;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        kill(pid, SIGKILL);
        waitpid(pid, &st, 0);
        ADD_FAILURE() << "the run did not end within 20 s";
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
    pid_t pid = Start({"--from", "plain", m_dir + "out.csv"});
    int st = Wait(pid);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
    EXPECT_TRUE(Slurp(m_dir + "out.csv") == rows) << Slurp(m_dir + "out.csv").size() << " bytes, not " << rows.size();
    EXPECT_EQ(Entries(m_dir), std::vector<std::string>{"out.csv"});
    struct stat sb {};
    ASSERT_EQ(stat((m_dir + "out.csv").c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 0777, 0640u);  // the file keeps its permissions
}

// A write that fails part way (here a file size limit: the same EFBIG path as a full disk).
TEST_F(OutputFile, AFailedRunLeavesItAsItWas) {
    std::string input = m_dir + "points.txt";
    {
        std::ofstream in(input);
        for (int i = 0; i < 40000; ++i)
            in << "113.65735 34.79139167\n";
    }
    pid_t pid = Start({"--from", "plain", input}, nullptr, 256 * 1024);
    int st = Wait(pid);
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
        bool writing = false;
        for (auto end = steady_clock::now() + std::chrono::seconds(10); !writing && steady_clock::now() < end;) {
            for (const std::string& name : Entries(m_dir)) {
                struct stat sb {};
                writing = writing || (name != "out.csv" && stat((m_dir + name).c_str(), &sb) == 0 && sb.st_size > 0);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_TRUE(writing) << "no temporary file with rows beside FILE";
        kill(pid, sig);
        int st = Wait(pid);
        close(feed);
        EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == sig) << st;
        ExpectOldFileOnly();
    }
}

}  // namespace
