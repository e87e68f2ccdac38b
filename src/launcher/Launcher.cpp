// The package's start program: brings up the bundled lookup service unless
// one already answers, opens the program, and when the program ends stops
// the service it started (and only that one). No console window at any time;
// anything that goes wrong is told in a message box, never swallowed.
#include <windows.h>

#include <string>

#include "core/CoordinateParser.h"
#include "core/LocationQuery.h"
#include "core/socket_compat.h"

namespace {

constexpr char kTitle[] = "Lumeno";
constexpr char kServiceHost[] = "127.0.0.1";
constexpr int kServicePort = 18360;
constexpr char kServiceExe[] = "lumeno-lookupd.exe";
constexpr char kIndexFile[] = "lookupd.idx";
constexpr char kProgramExe[] = "Lumeno.exe";
constexpr DWORD kServiceStartMs = 15000;
constexpr DWORD kServiceStopMs = 5000;

enum class Answer { kNothing, kLookupService, kSomethingElse };

// Something accepts connections on the port: a lookup service if the example
// query gets its answer, anything else otherwise.
Answer WhatAnswers(const std::string& host) {
    net::socket_t s = net::OpenTcp();
    if (s == net::kInvalidSocket)
        return Answer::kNothing;
    const unsigned char loopback[4] = {127, 0, 0, 1};
    bool connected = net::Connect(s, loopback, kServicePort, 1000) == 0;
    net::Close(s);
    if (!connected)
        return Answer::kNothing;
    MapPoint example = ParseCoordinates("113.65735", "34.79139167");
    return LookupLocationText(host.c_str(), example, 3000).nCode == kLookupOk ? Answer::kLookupService
                                                                              : Answer::kSomethingElse;
}

std::string OwnDirectory() {
    char path[MAX_PATH] = "";
    DWORD n = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string dir(path, n);
    return dir.substr(0, dir.rfind('\\') + 1);
}

bool FileExists(const std::string& path) {
    DWORD attributes = ::GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

int Fail(const std::string& text) {
    ::MessageBoxA(nullptr, text.c_str(), kTitle, MB_OK | MB_ICONERROR);
    return 1;
}

// The last non-empty line of the service's log, which names why it stopped.
std::string LastLogLine(const std::string& path) {
    HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return "";
    char buffer[2048];
    DWORD size = ::GetFileSize(file, nullptr);
    if (size > sizeof(buffer) - 1)
        ::SetFilePointer(file, static_cast<LONG>(size - (sizeof(buffer) - 1)), nullptr, FILE_BEGIN);
    DWORD got = 0;
    ::ReadFile(file, buffer, sizeof(buffer) - 1, &got, nullptr);
    ::CloseHandle(file);
    std::string text(buffer, got);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text.substr(text.find_last_of('\n') == std::string::npos ? 0 : text.find_last_of('\n') + 1);
}

class CService {
public:
    ~CService() { Stop(); }

    // Starts the service hidden; its messages go to a log file in the temporary folder.
    bool Start(const std::string& dir, const std::string& listen) {
        char temp[MAX_PATH] = "";
        ::GetTempPathA(MAX_PATH, temp);
        m_log = std::string(temp) + "lumeno-lookupd.log";
        SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
        HANDLE log = ::CreateFileA(m_log.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                   CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        std::string exe = dir + kServiceExe;
        std::string commandLine = "\"" + exe + "\" --listen " + listen + " --data \"" + dir + kIndexFile + "\" --quiet";
        STARTUPINFOA startup{};
        startup.cb = sizeof(startup);
        if (log != INVALID_HANDLE_VALUE) {
            startup.dwFlags = STARTF_USESTDHANDLES;
            startup.hStdError = log;
            startup.hStdOutput = log;
        }
        PROCESS_INFORMATION info{};
        BOOL ok = ::CreateProcessA(exe.c_str(), &commandLine[0], nullptr, nullptr, log != INVALID_HANDLE_VALUE,
                                   CREATE_NO_WINDOW | CREATE_SUSPENDED, nullptr, dir.c_str(), &startup, &info);
        if (log != INVALID_HANDLE_VALUE)
            ::CloseHandle(log);
        if (!ok)
            return false;
        // Should this launcher die, the job takes the service with it.
        m_job = ::CreateJobObjectA(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (m_job)
            ::SetInformationJobObject(m_job, JobObjectExtendedLimitInformation, &limits, sizeof(limits));
        if (m_job)
            ::AssignProcessToJobObject(m_job, info.hProcess);
        ::ResumeThread(info.hThread);
        ::CloseHandle(info.hThread);
        m_process = info.hProcess;
        m_pid = info.dwProcessId;
        return true;
    }

    bool Running() const { return m_process && ::WaitForSingleObject(m_process, 0) == WAIT_TIMEOUT; }
    const std::string& LogPath() const { return m_log; }

    // Asks the service to stop as Ctrl-C in its hidden console would, then
    // ends it by force if it has not gone within the bound. The service's
    // console is its own: we join it only for this, and ignore the event
    // ourselves. (A new process group would turn Ctrl-C off in the service,
    // and Wine does not deliver Ctrl-Break to one.)
    // True when the service ended by itself (or was never started).
    bool Stop() {
        if (!m_process)
            return true;
        if (Running() && ::AttachConsole(m_pid)) {
            ::SetConsoleCtrlHandler(nullptr, TRUE);
            ::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
            ::FreeConsole();
        }
        bool clean = ::WaitForSingleObject(m_process, kServiceStopMs) == WAIT_OBJECT_0;
        if (!clean) {
            ::TerminateProcess(m_process, 1);
            ::WaitForSingleObject(m_process, kServiceStopMs);
        }
        ::CloseHandle(m_process);
        m_process = nullptr;
        if (m_job)
            ::CloseHandle(m_job);
        m_job = nullptr;
        return clean;
    }

private:
    HANDLE m_process = nullptr;
    HANDLE m_job = nullptr;
    DWORD m_pid = 0;
    std::string m_log;
};

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    net::NetStartup sockets;
    if (!sockets.ok())
        return Fail("无法初始化网络组件 (Winsock)。");
    const std::string dir = OwnDirectory();
    const std::string listen = std::string(kServiceHost) + ":" + std::to_string(kServicePort);
    const std::string program = dir + kProgramExe;
    if (!FileExists(program))
        return Fail("找不到程序文件:\n" + program);

    CService service;
    Answer answer = WhatAnswers(listen);
    if (answer == Answer::kSomethingElse)
        return Fail("端口 " + listen + " 已被其他程序占用，它不是 Lumeno 查询服务。\n请关闭该程序后重试。");
    if (answer == Answer::kNothing) {
        if (!FileExists(dir + kServiceExe))
            return Fail("找不到查询服务程序:\n" + dir + kServiceExe);
        if (!FileExists(dir + kIndexFile))
            return Fail("找不到地区索引文件:\n" + dir + kIndexFile + "\n请重新解压完整的安装包。");
        if (!service.Start(dir, listen))
            return Fail("无法启动查询服务 " + std::string(kServiceExe) + " (错误 " + std::to_string(::GetLastError()) +
                        ")。");
        DWORD start = ::GetTickCount();
        while ((answer = WhatAnswers(listen)) == Answer::kNothing && service.Running() &&
               ::GetTickCount() - start < kServiceStartMs)
            ::Sleep(100);
        if (answer != Answer::kLookupService) {
            bool exited = !service.Running();
            service.Stop();
            std::string cause = LastLogLine(service.LogPath());
            std::string text = exited ? "查询服务启动后立即退出。" : "查询服务在规定时间内没有应答。";
            if (answer == Answer::kSomethingElse || cause.find("cannot listen") != std::string::npos)
                text += "\n端口 " + listen + " 可能已被其他程序占用。";
            if (!cause.empty())
                text += "\n\n服务的消息: " + cause;
            return Fail(text + "\n日志: " + service.LogPath());
        }
    }

    std::string commandLine = "\"" + program + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!::CreateProcessA(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, dir.c_str(), &startup,
                          &info))
        return Fail("无法启动 " + program + " (错误 " + std::to_string(::GetLastError()) + ")。");
    ::CloseHandle(info.hThread);
    ::WaitForSingleObject(info.hProcess, INFINITE);
    ::CloseHandle(info.hProcess);
    // Exit code 3 tells a caller that the service had to be ended by force.
    return service.Stop() ? 0 : 3;
}
