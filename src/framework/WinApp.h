// The application object and the start of the program.
#pragma once

#include "framework/Wnd.h"

// Command id of the help command that the application handles.
constexpr UINT ID_HELP = 0xE146;

class CWinApp {
public:
    explicit CWinApp(const char* pszAppName = nullptr);
    virtual ~CWinApp();
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    // Runs once after the framework's own start; FALSE means the program
    // has nothing more to do, so there is no message loop of its own.
    virtual BOOL InitInstance();
    // Runs once at the end; its result is the process exit code.
    virtual int ExitInstance();
    // Commands that no window handled; TRUE when one was handled.
    virtual BOOL OnCommand(WPARAM wp);
    void OnHelp();

    // Registers the common control classes our dialogs use (the up-down
    // control, tooltips); the system draws the 3D look itself.
    BOOL Enable3dControls();
    HICON LoadIcon(UINT nIDResource) const;

    CWnd* m_pMainWnd = nullptr;
    HINSTANCE m_hInstance = nullptr;
    // The title of message boxes: the program file's name without its extension.
    CString m_strAppName;
    // The help file opened by ID_HELP; the program names none.
    CString m_strHelpFilePath;
};

CWinApp* AfxGetApp();
HINSTANCE AfxGetResourceHandle();
int AfxWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nCmdShow);
// A message box owned by the active window, with the application's title.
int AfxMessageBox(const char* pszText, UINT nType = MB_OK, UINT nIDHelp = 0);
