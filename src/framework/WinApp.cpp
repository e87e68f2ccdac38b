#include "framework/WinApp.h"

#include <shellapi.h>

namespace {

CWinApp* g_pApp = nullptr;

}  // namespace

CWinApp::CWinApp(const char* pszAppName) : m_strAppName(pszAppName) {
    g_pApp = this;
}

CWinApp::~CWinApp() {
    if (g_pApp == this)
        g_pApp = nullptr;
}

BOOL CWinApp::InitInstance() {
    return TRUE;
}

int CWinApp::ExitInstance() {
    return 0;
}

BOOL CWinApp::OnCommand(WPARAM wp) {
    if (LOWORD(wp) == ID_HELP) {
        OnHelp();
        return TRUE;
    }
    return FALSE;
}

void CWinApp::OnHelp() {
    if (!m_strHelpFilePath.IsEmpty())
        ::ShellExecuteA(nullptr, "open", m_strHelpFilePath, nullptr, nullptr, SW_SHOWNORMAL);
}

BOOL CWinApp::Enable3dControls() {
    INITCOMMONCONTROLSEX controls;
    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_UPDOWN_CLASS | ICC_BAR_CLASSES | ICC_STANDARD_CLASSES;
    return ::InitCommonControlsEx(&controls);
}

HICON CWinApp::LoadIcon(UINT nIDResource) const {
    return ::LoadIconA(AfxGetResourceHandle(), MAKEINTRESOURCEA(nIDResource));
}

CWinApp* AfxGetApp() {
    return g_pApp;
}

HINSTANCE AfxGetResourceHandle() {
    return g_pApp && g_pApp->m_hInstance ? g_pApp->m_hInstance : ::GetModuleHandleA(nullptr);
}

int AfxWinMain(HINSTANCE hInstance, HINSTANCE, LPSTR, int) {
    CWinApp* app = AfxGetApp();
    if (!app)
        return -1;
    app->m_hInstance = hInstance;
    if (app->m_strAppName.IsEmpty()) {
        // The default title: the program file's name without directory and extension.
        char path[MAX_PATH] = "";
        DWORD n = ::GetModuleFileNameA(hInstance, path, MAX_PATH);
        if (n > 0 && n < MAX_PATH) {
            CString name(path);
            name = name.Mid(name.ReverseFind('\\') + 1);
            int dot = name.ReverseFind('.');
            app->m_strAppName = dot > 0 ? name.Left(dot) : name;
        }
    }
    if (!app->InitInstance())
        return app->ExitInstance();
    // An application that keeps running after InitInstance runs its own loop.
    MSG msg;
    while (::GetMessageA(&msg, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
    return app->ExitInstance();
}

int AfxMessageBox(const char* pszText, UINT nType, UINT) {
    CWinApp* app = AfxGetApp();
    HWND hOwner = ::GetActiveWindow();
    if (!hOwner && app && app->m_pMainWnd)
        hOwner = app->m_pMainWnd->m_hWnd;
    return ::MessageBoxA(hOwner, pszText, app ? app->m_strAppName.GetString() : nullptr, nType);
}
