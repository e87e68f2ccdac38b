// The application object: starts the socket library, runs the main window
// modally and shuts the socket library down again.
#pragma once

#include "framework/WinApp.h"

class CLumenoApp : public CWinApp {
public:
    CLumenoApp() = default;
    ~CLumenoApp() override = default;

    // Runs the whole program; always FALSE, so the framework runs no loop of its own.
    BOOL InitInstance() override;
    // WSACleanup on every exit, then the framework's result as the exit code.
    int ExitInstance() override;
};
