// Running lumeno-geocode and the lookup service from the batch tool's tests.
#pragma once

#include <gtest/gtest.h>

#include <poll.h>
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

// The lookup service for the suite, on a port the system picks (its log says which: the
// "listening on" line, the first one unless a loop falls back to epoll); stopped, and waited
// for, at its end.
class Service {
public:
    Service() {
        int log[2];
        if (pipe(log) != 0) {
            m_error = "no pipe for the service's log";
            return;
        }
        m_pid = fork();
        if (m_pid == 0) {
            dup2(log[1], 2);
            close(log[0]);
            close(log[1]);
            execl(LOOKUPD_BIN, LOOKUPD_BIN, "--listen", "127.0.0.1:0", "--data", LOOKUPD_INDEX, "--quiet",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        close(log[1]);
        m_log = log[0];
        const std::string said = "lumeno-lookupd: listening on 127.0.0.1:";
        std::string lines;
        for (std::string line; m_port == 0 && ReadLine(line);) {
            lines += line + "\n";
            if (line.compare(0, said.size(), said) == 0)
                m_port = std::atoi(line.c_str() + said.size());
            else if (line.find("a loop runs on epoll") == std::string::npos)
                break;
        }
        if (m_port <= 0)
            m_error = "the service did not say where it listens (waited up to 10 s); its log:\n" + lines;
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
        if (m_log >= 0)
            close(m_log);
    }
    // Empty once the service listens; else why it does not.
    const std::string& Error() const { return m_error; }
    std::string Address() const { return "127.0.0.1:" + std::to_string(m_port); }

private:
    // One line of the log, waited for until 10 s after the start; false at its end or then.
    bool ReadLine(std::string& line) {
        line.clear();
        for (char c; line.size() < 4096;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(m_deadline - steady_clock::now());
            pollfd p{m_log, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0 || read(m_log, &c, 1) != 1)
                return false;
            if (c == '\n')
                return true;
            line += c;
        }
        return true;
    }

    pid_t m_pid = -1;
    int m_log = -1, m_port = 0;
    std::string m_error;
    const steady_clock::time_point m_deadline = steady_clock::now() + std::chrono::seconds(10);
};

}  // namespace geocode_test
