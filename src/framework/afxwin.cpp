#include "afxwin.h"

#include <process.h>

#include <cstring>

namespace {

const char kObjectProp[] = "MirelFrameworkObject";
CWinApp* g_pApp = nullptr;

}  // namespace

// ---------------------------------------------------------------------------------------------
// CWnd

CWnd::~CWnd() {
    if (m_hWnd && m_pfnSuper) UnsubclassWindow();
}

CWnd* CWnd::FromHandlePermanent(HWND hWnd) {
    return hWnd ? static_cast<CWnd*>(::GetPropA(hWnd, kObjectProp)) : nullptr;
}

void CWnd::Bind(HWND hWnd) {
    m_hWnd = hWnd;
    ::SetPropA(hWnd, kObjectProp, this);
}

void CWnd::Unbind() {
    if (m_hWnd) ::RemovePropA(m_hWnd, kObjectProp);
    m_hWnd = nullptr;
}

BOOL CWnd::SubclassWindow(HWND hWnd) {
    if (!hWnd || m_hWnd || FromHandlePermanent(hWnd)) return FALSE;
    Bind(hWnd);
    m_pfnSuper = reinterpret_cast<WNDPROC>(
        ::SetWindowLongPtrA(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CWnd::SubclassProc)));
    return TRUE;
}

BOOL CWnd::SubclassDlgItem(UINT nID, CWnd* pParent) {
    return pParent ? SubclassWindow(::GetDlgItem(pParent->m_hWnd, static_cast<int>(nID))) : FALSE;
}

HWND CWnd::UnsubclassWindow() {
    HWND hWnd = m_hWnd;
    if (!hWnd || !m_pfnSuper) return nullptr;
    ::SetWindowLongPtrA(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_pfnSuper));
    m_pfnSuper = nullptr;
    Unbind();
    return hWnd;
}

LRESULT CALLBACK CWnd::SubclassProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    CWnd* pWnd = FromHandlePermanent(hWnd);
    if (!pWnd) return ::DefWindowProcA(hWnd, message, wParam, lParam);
    WNDPROC super = pWnd->m_pfnSuper;
    LRESULT result = 0;
    MSG saved = pWnd->m_current;
    pWnd->m_current = MSG{hWnd, message, wParam, lParam, 0, {0, 0}};
    try {
        result = pWnd->WindowProc(message, wParam, lParam);
    } catch (...) {
        result = ::CallWindowProcA(super, hWnd, message, wParam, lParam);
    }
    pWnd->m_current = saved;
    if (message == WM_NCDESTROY) {
        ::SetWindowLongPtrA(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(super));
        pWnd->m_pfnSuper = nullptr;
        pWnd->Unbind();
        pWnd->m_bDestroying = false;
        pWnd->PostNcDestroy();
    }
    return result;
}

LRESULT CWnd::WindowProc(UINT, WPARAM, LPARAM) { return Default(); }

LRESULT CWnd::Default() {
    if (!m_pfnSuper) return 0;
    return ::CallWindowProcA(m_pfnSuper, m_current.hwnd, m_current.message, m_current.wParam, m_current.lParam);
}

BOOL CWnd::OnChildNotify(UINT, WPARAM, LPARAM, LRESULT*) { return FALSE; }

BOOL CWnd::PreTranslateMessage(MSG*) { return FALSE; }

BOOL CWnd::DestroyWindow() {
    HWND hWnd = m_hWnd;
    if (!hWnd) return FALSE;
    m_bDestroying = true;
    // A window whose object deletes itself after its destruction (PostNcDestroy) is gone when
    // this returns: the object is not touched again unless the window survived.
    BOOL ok = ::DestroyWindow(hWnd);
    if (!ok) m_bDestroying = false;
    return ok;
}

void CWnd::CenterWindow() {
    RECT rc, work;
    ::GetWindowRect(m_hWnd, &rc);
    HMONITOR mon = ::MonitorFromWindow(m_hWnd, MONITOR_DEFAULTTONEAREST);
    MONITORINFO mi{};
    mi.cbSize = sizeof(mi);
    if (mon && ::GetMonitorInfoA(mon, &mi)) {
        work = mi.rcWork;
    } else {
        ::SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
    }
    int w = rc.right - rc.left, h = rc.bottom - rc.top;
    int x = work.left + ((work.right - work.left) - w) / 2;
    int y = work.top + ((work.bottom - work.top) - h) / 2;
    ::SetWindowPos(m_hWnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

int CWnd::MessageBox(const char* text, const char* caption, UINT type) {
    return ::MessageBoxA(m_hWnd, text, caption ? caption : AfxGetAppName(), type);
}

void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& control) {
    if (!control.m_hWnd) control.SubclassDlgItem(static_cast<UINT>(nIDC), reinterpret_cast<CWnd*>(pDX->m_pDlgWnd));
}

// ---------------------------------------------------------------------------------------------
// CDialog

CDialog::CDialog(UINT nIDTemplate, CWnd* pParentWnd) : m_nIDTemplate(nIDTemplate), m_pParentWnd(pParentWnd) {}

CDialog::~CDialog() {
    if (m_hWnd) {
        HWND h = m_hWnd;
        Unbind();
        ::SetWindowLongPtrA(h, DWLP_USER, 0);
        ::DestroyWindow(h);
    }
}

INT_PTR CDialog::DoModal() {
    HWND hParent = m_pParentWnd ? m_pParentWnd->m_hWnd : nullptr;
    m_bModal = true;
    m_bEndModal = false;
    m_nModalResult = -1;
    HWND hWnd = ::CreateDialogParamA(AfxGetResourceHandle(), MAKEINTRESOURCEA(m_nIDTemplate), hParent,
                                     &CDialog::DlgProc, reinterpret_cast<LPARAM>(this));
    if (!hWnd) {
        m_bModal = false;
        return -1;
    }
    while (!m_bEndModal && m_hWnd) {
        MSG msg;
        BOOL got = ::GetMessageA(&msg, nullptr, 0, 0);
        if (got == -1) break;
        if (got == 0) {
            ::PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        AfxPumpMessage(&msg);
    }
    m_bModal = false;
    if (m_hWnd) DestroyWindow();
    return m_nModalResult;
}

BOOL CDialog::Create(UINT nIDTemplate, CWnd* pParentWnd) {
    m_nIDTemplate = nIDTemplate;
    m_pParentWnd = pParentWnd;
    HWND hWnd = ::CreateDialogParamA(AfxGetResourceHandle(), MAKEINTRESOURCEA(nIDTemplate),
                                     pParentWnd ? pParentWnd->m_hWnd : nullptr, &CDialog::DlgProc,
                                     reinterpret_cast<LPARAM>(this));
    return hWnd != nullptr;
}

void CDialog::EndDialog(int nResult) {
    if (m_bModal) {
        m_nModalResult = nResult;
        m_bEndModal = true;
    }
    // A modeless dialog is only hidden.
    ::EndDialog(m_hWnd, nResult);
}

BOOL CDialog::OnInitDialog() {
    CDataExchange dx{this, FALSE};
    DoDataExchange(&dx);
    return TRUE;
}

void CDialog::DoDataExchange(CDataExchange*) {}

BOOL CDialog::PreTranslateMessage(MSG* pMsg) {
    if (pMsg->message >= WM_KEYFIRST && pMsg->message <= WM_KEYLAST && m_hWnd)
        return ::IsDialogMessageA(m_hWnd, pMsg);
    return FALSE;
}

BOOL CDialog::OnMessage(UINT, WPARAM, LPARAM, LRESULT*) { return FALSE; }

BOOL CDialog::RouteMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult) {
    if (OnMessage(message, wParam, lParam, pResult)) return TRUE;
    switch (message) {
    case WM_COMMAND:
        if (lParam == 0 || HIWORD(wParam) == BN_CLICKED) {
            if (LOWORD(wParam) == IDOK) { OnOK(); return TRUE; }
            if (LOWORD(wParam) == IDCANCEL) { OnCancel(); return TRUE; }
        }
        break;
    case WM_DRAWITEM: {
        auto* dis = reinterpret_cast<DRAWITEMSTRUCT*>(lParam);
        CWnd* child = dis ? FromHandlePermanent(dis->hwndItem) : nullptr;
        if (child && child->OnChildNotify(message, wParam, lParam, pResult)) return TRUE;
        break;
    }
    default:
        break;
    }
    return FALSE;
}

INT_PTR CALLBACK CDialog::DlgProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    CDialog* pDlg = nullptr;
    if (message == WM_INITDIALOG) {
        pDlg = reinterpret_cast<CDialog*>(lParam);
        ::SetWindowLongPtrA(hWnd, DWLP_USER, lParam);
        pDlg->Bind(hWnd);
    } else {
        pDlg = reinterpret_cast<CDialog*>(::GetWindowLongPtrA(hWnd, DWLP_USER));
    }
    if (!pDlg) return FALSE;

    INT_PTR ret = FALSE;
    try {
        if (message == WM_INITDIALOG) {
            ret = pDlg->OnInitDialog();
        } else {
            LRESULT result = 0;
            if (pDlg->RouteMessage(message, wParam, lParam, &result)) {
                switch (message) {
                case WM_CTLCOLORMSGBOX: case WM_CTLCOLOREDIT: case WM_CTLCOLORLISTBOX: case WM_CTLCOLORBTN:
                case WM_CTLCOLORDLG: case WM_CTLCOLORSCROLLBAR: case WM_CTLCOLORSTATIC:
                case WM_COMPAREITEM: case WM_VKEYTOITEM: case WM_CHARTOITEM: case WM_QUERYDRAGICON:
                    ret = static_cast<INT_PTR>(result);
                    break;
                default:
                    ::SetWindowLongPtrA(hWnd, DWLP_MSGRESULT, result);
                    ret = TRUE;
                }
            }
        }
    } catch (...) {
        ret = FALSE;
    }
    if (message == WM_NCDESTROY) {
        ::SetWindowLongPtrA(hWnd, DWLP_USER, 0);
        pDlg->Unbind();
        pDlg->m_bDestroying = false;
        pDlg->PostNcDestroy();
    }
    return ret;
}

// ---------------------------------------------------------------------------------------------
// Application

CWinApp::CWinApp(const char* lpszAppName) : m_pszAppName(lpszAppName) { g_pApp = this; }

CWinApp::~CWinApp() {
    if (g_pApp == this) g_pApp = nullptr;
}

int CWinApp::Run() {
    MSG msg;
    while (::GetMessageA(&msg, nullptr, 0, 0) > 0) {
        AfxPumpMessage(&msg);
    }
    return ExitInstance();
}

CWinApp* AfxGetApp() { return g_pApp; }

HINSTANCE AfxGetInstanceHandle() {
    return (g_pApp && g_pApp->m_hInstance) ? g_pApp->m_hInstance : ::GetModuleHandleA(nullptr);
}

HINSTANCE AfxGetResourceHandle() { return AfxGetInstanceHandle(); }

const char* AfxGetAppName() { return (g_pApp && g_pApp->m_pszAppName) ? g_pApp->m_pszAppName : ""; }

const char* AfxCommandLineTail(const char* p) {
    if (!p) return "";
    if (*p == '"') {
        ++p;
        while (*p && *p != '"') ++p;
        if (*p == '"') ++p;
    } else {
        while (*p && *p != ' ' && *p != '\t') ++p;
    }
    while (*p == ' ' || *p == '\t') ++p;
    return p;
}

int AfxWinMain(HINSTANCE hInstance, LPSTR, int nCmdShow) {
    CWinApp* pApp = g_pApp;
    if (!pApp) return -1;
    pApp->m_hInstance = hInstance;
    pApp->m_nCmdShow = nCmdShow;
    pApp->m_lpCmdLine = const_cast<char*>(AfxCommandLineTail(::GetCommandLineA()));
    if (!pApp->m_pszAppName) {
        // The executable's file name without its extension.
        char path[MAX_PATH] = {};
        ::GetModuleFileNameA(nullptr, path, MAX_PATH - 1);
        const char* base = path;
        for (const char* s = path; *s; s = ::CharNextA(s))
            if (*s == '\\' || *s == '/') base = s + 1;
        lstrcpynA(pApp->m_szAppName, base, MAX_PATH);
        if (char* dot = std::strrchr(pApp->m_szAppName, '.')) *dot = '\0';
        pApp->m_pszAppName = pApp->m_szAppName;
    }
    if (!pApp->InitInstance()) {
        return pApp->ExitInstance();
    }
    return pApp->Run();
}

BOOL AfxPreTranslateMessage(MSG* pMsg) {
    for (HWND h = pMsg->hwnd; h; h = ::GetParent(h)) {
        if (CWnd* pWnd = CWnd::FromHandlePermanent(h)) {
            if (pWnd->PreTranslateMessage(pMsg)) return TRUE;
        }
        if (!(::GetWindowLongA(h, GWL_STYLE) & WS_CHILD)) break;
    }
    return FALSE;
}

void AfxPumpMessage(MSG* pMsg) {
    if (AfxPreTranslateMessage(pMsg)) return;
    ::TranslateMessage(pMsg);
    ::DispatchMessageA(pMsg);
}

BOOL AfxRegisterClass(WNDCLASSA* lpWndClass) {
    WNDCLASSA existing;
    if (::GetClassInfoA(lpWndClass->hInstance, lpWndClass->lpszClassName, &existing)) return TRUE;
    return ::RegisterClassA(lpWndClass) != 0;
}

int AfxMessageBox(const char* lpszText, UINT nType, UINT) {
    HWND owner = nullptr;
    if (g_pApp && g_pApp->m_pMainWnd && ::IsWindow(g_pApp->m_pMainWnd->m_hWnd))
        owner = ::GetLastActivePopup(g_pApp->m_pMainWnd->m_hWnd);
    if ((nType & MB_ICONMASK) == 0) {
        switch (nType & MB_TYPEMASK) {
        case MB_OK:
        case MB_OKCANCEL: nType |= MB_ICONEXCLAMATION; break;
        case MB_YESNO:
        case MB_YESNOCANCEL: nType |= MB_ICONQUESTION; break;
        case MB_ABORTRETRYIGNORE:
        case MB_RETRYCANCEL: break;
        default: break;
        }
    }
    return ::MessageBoxA(owner, lpszText, AfxGetAppName(), nType);
}

// ---------------------------------------------------------------------------------------------
// Threads

CWinThread::~CWinThread() {
    if (m_hThread) ::CloseHandle(m_hThread);
}

unsigned __stdcall CWinThread::Start(void* self) {
    auto* pThread = static_cast<CWinThread*>(self);
    UINT code = 0;
    try {
        code = pThread->m_pfnThreadProc(pThread->m_pThreadParams);
    } catch (...) {
        code = static_cast<UINT>(-1);
    }
    if (pThread->m_bAutoDelete) delete pThread;
    return code;
}

CWinThread* AfxBeginThread(AFX_THREADPROC pfnThreadProc, LPVOID pParam, int nPriority, UINT nStackSize,
                           DWORD dwCreateFlags, LPSECURITY_ATTRIBUTES lpSecurityAttrs) {
    auto* pThread = new CWinThread;
    pThread->m_pfnThreadProc = pfnThreadProc;
    pThread->m_pThreadParams = pParam;
    unsigned id = 0;
    uintptr_t h = _beginthreadex(lpSecurityAttrs, nStackSize, &CWinThread::Start, pThread, CREATE_SUSPENDED, &id);
    if (!h) {
        delete pThread;
        return nullptr;
    }
    pThread->m_hThread = reinterpret_cast<HANDLE>(h);
    pThread->m_nThreadID = id;
    ::SetThreadPriority(pThread->m_hThread, nPriority);
    if (!(dwCreateFlags & CREATE_SUSPENDED)) ::ResumeThread(pThread->m_hThread);
    return pThread;
}

bool WaitServingSentMessages(const HANDLE* handles, DWORD count, DWORD timeoutMs) {
    DWORD start = ::GetTickCount();
    for (;;) {
        DWORD elapsed = ::GetTickCount() - start;
        DWORD remaining = timeoutMs == INFINITE ? INFINITE : (elapsed >= timeoutMs ? 0 : timeoutMs - elapsed);
        DWORD r = ::MsgWaitForMultipleObjects(count, handles, FALSE, remaining, QS_SENDMESSAGE);
        if (r < WAIT_OBJECT_0 + count) return true;
        if (r != WAIT_OBJECT_0 + count) return false;  // timed out or failed
        MSG msg;
        ::PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

CString AfxLoadText(UINT id) {
    char text[512] = {};
    if (::LoadStringA(AfxGetResourceHandle(), id, text, sizeof(text)) <= 0) text[0] = '\0';
    return CString(text);
}
