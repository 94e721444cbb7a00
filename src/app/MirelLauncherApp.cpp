#include "app/MirelLauncherApp.h"

#include "download/PackedFile.h"
#include "framework/handles.h"
#include "launcher/LaunchConfig.h"
#include "ui/MirelLauncherDlg.h"

const char kInstanceMutexName[] = "Mutex MirelLauncher";

BOOL CMirelLauncherApp::InitInstance() {
    // The main window's template names this class: a copy of the system dialog class.
    WNDCLASSA wc{};
    ::GetClassInfoA(m_hInstance, "#32770", &wc);
    wc.lpszClassName = "Mirel Launcher";
    wc.hInstance = m_hInstance;
    AfxRegisterClass(&wc);

    INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_WIN95_CLASSES};
    ::InitCommonControlsEx(&icc);

    // Held open for the life of the process; its existence marks a running launcher.
    static UniqueKernelHandle s_instanceMutex;
    s_instanceMutex.reset(::CreateMutexA(nullptr, FALSE, kInstanceMutexName));
    if (::GetLastError() == ERROR_ALREADY_EXISTS) {
        AfxMessageBox(AfxLoadText(IDS_ALREADY_RUNNING), MB_OK);
        return FALSE;
    }

    CWinApp::InitInstance();

    CMirelLauncherDlg dlg(MachineLaunchConfig(BuiltInPublisherKeys() != nullptr));
    m_pMainWnd = &dlg;
    dlg.DoModal();
    m_pMainWnd = nullptr;
    return FALSE;
}
