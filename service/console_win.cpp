#include "service/console_win.h"

#include <windows.h>

#include <atomic>
#include <cstdio>

#include "service/server.h"

namespace lookupd {

namespace {

std::atomic<Server*> g_server{nullptr};
std::atomic<bool> g_drained{false};

BOOL WINAPI OnConsoleEvent(DWORD type) {
    Server* server = g_server;
    if (!server)
        return FALSE;
    std::fprintf(stderr, "lumeno-lookupd: console event %lu, stopping\n", static_cast<unsigned long>(type));
    server->RequestStop();
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT)
        for (int i = 0; i < 400 && !g_drained; ++i)
            Sleep(10);
    return TRUE;
}

}  // namespace

std::string BesideExecutable(const char* name) {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string exe(path, n < MAX_PATH ? n : 0);
    size_t slash = exe.find_last_of("\\/");
    if (slash == std::string::npos)
        return name;
    return exe.substr(0, slash + 1) + name;
}

ConsoleStop::ConsoleStop(Server& server) {
    g_server = &server;
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

ConsoleStop::~ConsoleStop() {
    g_drained = true;
    g_server = nullptr;
}

}  // namespace lookupd
