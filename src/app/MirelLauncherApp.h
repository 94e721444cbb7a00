// The application object: registers the window class, keeps a single instance, runs the main window.
#pragma once
#include "framework/afxwin.h"
#include "launcher/SafeTerminateProcess.h"

class CMirelLauncherApp : public CWinApp {
public:
    CMirelLauncherApp() = default;
    BOOL InitInstance() override;

    // Ends another process as if it had called ExitProcess itself (launcher/SafeTerminateProcess.h).
    static BOOL SafeTerminateProcess(HANDLE hProcess, UINT uExitCode) { return ::SafeTerminateProcess(hProcess, uExitCode); }
};

extern CMirelLauncherApp theApp;

// Name of the single-instance mutex and the message shown to a second launcher.
extern const char kInstanceMutexName[];
