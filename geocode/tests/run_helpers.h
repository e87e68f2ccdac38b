// Running lumeno-geocode and the lookup service from the batch tool's tests.
#pragma once

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace geocode_test {

using std::chrono::steady_clock;

inline std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

struct Result {
    int status;
    std::string out, err;
};

// One run of the program; its output and reports are read from files.
inline Result Geocode(const std::string& args) {
    static int n = 0;
    std::string base = ::testing::TempDir() + "geocode_" + std::to_string(getpid()) + "_" + std::to_string(++n);
    std::string cmd = std::string(GEOCODE_BIN) + " " + args + " >" + base + ".out 2>" + base + ".err";
    int st = std::system(cmd.c_str());
    Result r{WIFEXITED(st) ? WEXITSTATUS(st) : -1, Slurp(base + ".out"), Slurp(base + ".err")};
    std::remove((base + ".out").c_str());
    std::remove((base + ".err").c_str());
    return r;
}

inline std::string Sample(const std::string& name) {
    return std::string(GEOCODE_DATA) + "/" + name;
}

inline size_t Lines(const std::string& s) {
    return static_cast<size_t>(std::count(s.begin(), s.end(), '\n'));
}

// The lookup service for the suite, on a port the system picks (its log says which); stopped,
// and waited for, at its end.
class Service {
public:
    Service() : m_log(::testing::TempDir() + "geocode_lookupd_" + std::to_string(getpid()) + ".log") {
        m_pid = fork();
        if (m_pid == 0) {
            if (!std::freopen(m_log.c_str(), "w", stderr))
                _exit(126);
            execl(LOOKUPD_BIN, LOOKUPD_BIN, "--listen", "127.0.0.1:0", "--data", LOOKUPD_INDEX, "--quiet",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        const std::string said = "lumeno-lookupd: listening on 127.0.0.1:";
        for (auto end = steady_clock::now() + std::chrono::seconds(10); m_port <= 0 && steady_clock::now() < end;) {
            const std::string log = Slurp(m_log);
            const size_t at = log.find(said);
            if (at != std::string::npos && log.find('\n', at) != std::string::npos)
                m_port = std::atoi(log.c_str() + at + said.size());
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (m_port <= 0)
            m_error = "the service did not say where it listens (waited up to 10 s); its log:\n" + Slurp(m_log);
    }
    ~Service() {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            for (int i = 0; i < 500 && waitpid(m_pid, nullptr, WNOHANG) == 0; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (waitpid(m_pid, nullptr, WNOHANG) == 0) {
                kill(m_pid, SIGKILL);
                waitpid(m_pid, nullptr, 0);
            }
        }
        std::remove(m_log.c_str());
    }
    // Empty once the service listens; else why it does not.
    const std::string& Error() const { return m_error; }
    std::string Address() const { return "127.0.0.1:" + std::to_string(m_port); }

private:
    const std::string m_log;
    pid_t m_pid = -1;
    int m_port = 0;
    std::string m_error;
};

}  // namespace geocode_test
