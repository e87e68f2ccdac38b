#include "ui/program_driver.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr DWORD kMessageTimeoutMs = 5000;

// The visible top-level windows of the process (0: of any), front to back.
std::vector<HWND> VisibleWindows(DWORD pid) {
    std::vector<HWND> windows;
    for (HWND h = ::GetTopWindow(nullptr); h; h = ::GetWindow(h, GW_HWNDNEXT)) {
        DWORD owner = 0;
        ::GetWindowThreadProcessId(h, &owner);
        if ((pid == 0 || owner == pid) && ::IsWindowVisible(h))
            windows.push_back(h);
    }
    return windows;
}

std::string Title(HWND hWnd) {
    char text[256] = "";
    ::GetWindowTextA(hWnd, text, sizeof(text));
    return text;
}

}  // namespace

ProgramDriver::~ProgramDriver() {
    if (!m_info.hProcess)
        return;
    if (::WaitForSingleObject(m_info.hProcess, 0) == WAIT_TIMEOUT) {
        ::TerminateProcess(m_info.hProcess, 99);
        ::WaitForSingleObject(m_info.hProcess, kWaitMs);
    }
    ::CloseHandle(m_info.hProcess);
    ::CloseHandle(m_info.hThread);  // none after Attach: a harmless failure
}

bool ProgramDriver::WaitForMainWindow(DWORD pid, DWORD timeoutMs) {
    return WaitFor(
        [&] {
            for (HWND h : VisibleWindows(pid))
                if (Title(h).rfind("Lumeno", 0) == 0)
                    m_hDlg = h;
            return m_hDlg != nullptr;
        },
        timeoutMs);
}

bool ProgramDriver::Start() {
    char path[MAX_PATH] = "";
    std::string program(path, ::GetModuleFileNameA(nullptr, path, MAX_PATH));
    program = program.substr(0, program.rfind('\\') + 1) + "lumeno_ui_program.exe";
    std::string commandLine = "\"" + program + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    if (!::CreateProcessA(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                          &m_info)) {
        std::fprintf(stderr, "cannot start %s: error %lu\n", program.c_str(), ::GetLastError());
        return false;
    }
    return WaitForMainWindow(m_info.dwProcessId, kWaitMs);
}

bool ProgramDriver::Attach(DWORD timeoutMs) {
    if (!WaitForMainWindow(0, timeoutMs))
        return false;
    ::GetWindowThreadProcessId(m_hDlg, &m_info.dwProcessId);
    m_info.hProcess =
        ::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION, FALSE, m_info.dwProcessId);
    return m_info.hProcess != nullptr;
}

std::string ProgramDriver::Text(HWND hWnd) const {
    char text[8192] = "";  // room for the longest answer line
    DWORD_PTR got = 0;
    if (!::SendMessageTimeoutA(hWnd, WM_GETTEXT, sizeof(text), reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG,
                               kMessageTimeoutMs, &got))
        return "<no answer>";
    return std::string(text, got);
}

bool ProgramDriver::SetItemText(int id, const std::string& text) const {
    DWORD_PTR result = 0;
    return ::SendMessageTimeoutA(Item(id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), SMTO_ABORTIFHUNG,
                                 kMessageTimeoutMs, &result) != 0;
}

void ProgramDriver::PostKey(HWND hWnd, WORD vk) const {
    UINT scan = ::MapVirtualKeyA(vk, 0);
    ::PostMessageA(hWnd, WM_KEYDOWN, vk, 1 | (scan << 16));
    ::PostMessageA(hWnd, WM_KEYUP, vk, 1 | (scan << 16) | 0xC0000000u);
}

void ProgramDriver::PostClick(HWND hWnd) const {
    ::PostMessageA(hWnd, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, 2));
    ::PostMessageA(hWnd, WM_LBUTTONUP, 0, MAKELPARAM(2, 2));
}

LRESULT ProgramDriver::Send(UINT msg, WPARAM wp, LPARAM lp) const {
    DWORD_PTR result = 0;
    ::SendMessageTimeoutA(m_hDlg, msg, wp, lp, SMTO_ABORTIFHUNG, kMessageTimeoutMs, &result);
    return static_cast<LRESULT>(result);
}

bool ProgramDriver::WaitFor(const std::function<bool()>& predicate, DWORD timeoutMs) {
    for (DWORD start = ::GetTickCount(); !predicate(); ::Sleep(50)) {
        if (::GetTickCount() - start >= timeoutMs)
            return false;
    }
    return true;
}

int ProgramDriver::OtherVisibleWindows() const {
    std::vector<HWND> windows = VisibleWindows(m_info.dwProcessId);
    return static_cast<int>(windows.size() - std::count(windows.begin(), windows.end(), m_hDlg));
}

HWND ProgramDriver::FindWindowTitled(const std::string& title) const {
    for (HWND h : VisibleWindows(m_info.dwProcessId))
        if (Title(h) == title)
            return h;
    return nullptr;
}

bool ProgramDriver::SaveScreenshot(const std::string& path, HWND hWnd) const {
    RECT r;
    if (!::GetWindowRect(hWnd ? hWnd : m_hDlg, &r))
        return false;
    int width = r.right - r.left, height = r.bottom - r.top;
    HDC screen = ::GetDC(nullptr);
    HDC memory = ::CreateCompatibleDC(screen);
    HBITMAP bitmap = ::CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = ::SelectObject(memory, bitmap);
    ::BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
    ::SelectObject(memory, old);
    // The file header, the bitmap header, then the rows bottom up, each padded to 4 bytes.
    BITMAPFILEHEADER file{0x4D42 /* "BM" */, 0, 0, 0, sizeof(file) + sizeof(BITMAPINFOHEADER)};
    BITMAPINFOHEADER info{sizeof(info), width, height, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    std::vector<char> bytes(file.bfOffBits + static_cast<size_t>((width * 3 + 3) & ~3) * static_cast<size_t>(height));
    int rows = ::GetDIBits(memory, bitmap, 0, static_cast<UINT>(height), &bytes[file.bfOffBits],
                           reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS);
    ::DeleteObject(bitmap);
    ::DeleteDC(memory);
    ::ReleaseDC(nullptr, screen);
    file.bfSize = static_cast<DWORD>(bytes.size());
    std::memcpy(&bytes[0], &file, sizeof(file));
    std::memcpy(&bytes[sizeof(file)], &info, sizeof(info));
    FILE* out = rows == height ? std::fopen(path.c_str(), "wb") : nullptr;
    bool written = out && std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    return out && std::fclose(out) == 0 && written;
}
