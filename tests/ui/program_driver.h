// Starts the real program under test and talks to its main window only
// through window messages, as a user's system would. Every wait is bounded:
// a program that hangs makes the test fail, never the run hang.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

class ProgramDriver {
public:
    // How long any single wait for the program may last.
    static constexpr DWORD kWaitMs = 15000;

    ProgramDriver() = default;
    ~ProgramDriver();  // ends the program if a test left it running
    ProgramDriver(const ProgramDriver&) = delete;
    ProgramDriver& operator=(const ProgramDriver&) = delete;

    // Starts the program beside the driver and waits for its main window.
    bool Start();
    // Takes over the main window of a program started by someone else.
    bool Attach(DWORD timeoutMs = kWaitMs);
    HWND Window() const { return m_hDlg; }
    HWND Item(int id) const { return ::GetDlgItem(m_hDlg, id); }

    std::string Text(HWND hWnd) const;
    std::string ItemText(int id) const { return Text(Item(id)); }
    bool SetItemText(int id, const std::string& text) const;
    // A button press or a click notification, as the control would send it.
    void PostCommand(int id, int code) const {
        ::PostMessageA(m_hDlg, WM_COMMAND, MAKEWPARAM(id, code), reinterpret_cast<LPARAM>(Item(id)));
    }
    // A key pressed and released while the focus is in the given control.
    void PostKey(HWND hWnd, WORD vk) const;
    // A left click on the control (it takes the focus, statics notify).
    void PostClick(HWND hWnd) const;
    LRESULT Send(UINT msg, WPARAM wp = 0, LPARAM lp = 0) const;

    static bool WaitFor(const std::function<bool()>& predicate, DWORD timeoutMs = kWaitMs);
    // True when the process ended in time; its exit code in *pCode.
    bool WaitForExit(DWORD timeoutMs, DWORD* pCode = nullptr) {
        return ::WaitForSingleObject(m_info.hProcess, timeoutMs) == WAIT_OBJECT_0 &&
               (!pCode || ::GetExitCodeProcess(m_info.hProcess, pCode));
    }
    // Writes the window's pixels (the main window by default) as a 24-bit BMP file.
    bool SaveScreenshot(const std::string& path, HWND hWnd = nullptr) const;
    // A visible top-level window of the program with exactly this title, or null.
    HWND FindWindowTitled(const std::string& title) const;
    // Top-level visible windows of the process other than the main window.
    int OtherVisibleWindows() const;

private:
    bool WaitForMainWindow(DWORD pid, DWORD timeoutMs);

    PROCESS_INFORMATION m_info{};
    HWND m_hDlg = nullptr;
};
