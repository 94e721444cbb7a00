// A small stand-in for the dialog framework: windows, dialogs, the application object and threads.
// Only what the launcher uses; every object is a thin layer over the Win32 handle it wraps.
#pragma once
#include <windows.h>
#include <commctrl.h>

#include "afxstr.h"

class CWnd;
class CDialog;

// Data exchange: binds controls of a dialog to their objects by subclassing them.
struct CDataExchange {
    CDialog* m_pDlgWnd;
    BOOL m_bSaveAndValidate;
};
void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& control);

class CWnd {
public:
    CWnd() = default;
    virtual ~CWnd();
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;

    HWND m_hWnd = nullptr;

    HWND GetSafeHwnd() const { return m_hWnd; }
    operator HWND() const { return m_hWnd; }
    // The object bound to a window by this framework, or null.
    static CWnd* FromHandlePermanent(HWND hWnd);

    // Subclassing: route the window's messages through WindowProc.
    BOOL SubclassWindow(HWND hWnd);
    BOOL SubclassDlgItem(UINT nID, CWnd* pParent);
    HWND UnsubclassWindow();

    virtual BOOL PreTranslateMessage(MSG* pMsg);
    // A message of a subclassed window; the default passes it on to the original procedure.
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    // Notifications a parent reflects to its child control (owner drawing); TRUE when handled.
    virtual BOOL OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult);
    virtual void PostNcDestroy() {}

    // True from the start of DestroyWindow until the window is gone.
    bool IsBeingDestroyed() const { return m_bDestroying; }

    BOOL DestroyWindow();
    BOOL ShowWindow(int nCmdShow) { return ::ShowWindow(m_hWnd, nCmdShow); }
    void MoveWindow(int x, int y, int cx, int cy, BOOL bRepaint = TRUE) { ::MoveWindow(m_hWnd, x, y, cx, cy, bRepaint); }
    BOOL SetWindowPos(HWND after, int x, int y, int cx, int cy, UINT flags) { return ::SetWindowPos(m_hWnd, after, x, y, cx, cy, flags); }
    void CenterWindow();
    void SetWindowText(const char* text) { ::SetWindowTextA(m_hWnd, text); }
    int GetWindowText(char* buf, int size) const { return ::GetWindowTextA(m_hWnd, buf, size); }
    void GetClientRect(RECT* r) const { ::GetClientRect(m_hWnd, r); }
    void GetWindowRect(RECT* r) const { ::GetWindowRect(m_hWnd, r); }
    void ScreenToClient(POINT* p) const { ::ScreenToClient(m_hWnd, p); }
    UINT_PTR SetTimer(UINT_PTR id, UINT elapse) { return ::SetTimer(m_hWnd, id, elapse, nullptr); }
    BOOL KillTimer(UINT_PTR id) { return ::KillTimer(m_hWnd, id); }
    BOOL RedrawWindow(UINT flags) { return ::RedrawWindow(m_hWnd, nullptr, nullptr, flags); }
    void Invalidate(BOOL erase = TRUE) { ::InvalidateRect(m_hWnd, nullptr, erase); }
    HWND GetDlgItem(int id) const { return ::GetDlgItem(m_hWnd, id); }
    LRESULT SendMessage(UINT m, WPARAM w = 0, LPARAM l = 0) { return ::SendMessageA(m_hWnd, m, w, l); }
    BOOL PostMessage(UINT m, WPARAM w = 0, LPARAM l = 0) { return ::PostMessageA(m_hWnd, m, w, l); }
    int MessageBox(const char* text, const char* caption = nullptr, UINT type = MB_OK);
    BOOL IsWindowVisible() const { return ::IsWindowVisible(m_hWnd); }
    BOOL IsIconic() const { return ::IsIconic(m_hWnd); }

protected:
    // Passes the message being handled to the original window procedure.
    LRESULT Default();

    static LRESULT CALLBACK SubclassProc(HWND, UINT, WPARAM, LPARAM);
    void Bind(HWND hWnd);
    void Unbind();

    WNDPROC m_pfnSuper = nullptr;
    MSG m_current{};
    bool m_bDestroying = false;
};

class CDialog : public CWnd {
public:
    explicit CDialog(UINT nIDTemplate, CWnd* pParentWnd = nullptr);
    ~CDialog() override;

    virtual INT_PTR DoModal();
    // Creates the dialog as a modeless window.
    BOOL Create(UINT nIDTemplate, CWnd* pParentWnd = nullptr);
    void EndDialog(int nResult);
    // True once EndDialog has ended the modal loop (the loop may not have noticed yet).
    bool IsModalEnded() const { return m_bEndModal; }

    virtual BOOL OnInitDialog();
    virtual void DoDataExchange(CDataExchange* pDX);
    BOOL PreTranslateMessage(MSG* pMsg) override;
    virtual void OnOK() { EndDialog(IDOK); }
    virtual void OnCancel() { EndDialog(IDCANCEL); }

protected:
    // The dialog's own messages. Return TRUE with *pResult set when handled; FALSE lets the
    // default dialog processing run.
    virtual BOOL OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult);

    UINT m_nIDTemplate;
    CWnd* m_pParentWnd;

private:
    static INT_PTR CALLBACK DlgProc(HWND, UINT, WPARAM, LPARAM);
    BOOL RouteMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult);

    bool m_bModal = false;
    bool m_bEndModal = false;
    int m_nModalResult = -1;
};

class CWinThread;

class CWinApp {
public:
    explicit CWinApp(const char* lpszAppName = nullptr);
    virtual ~CWinApp();

    virtual BOOL InitInstance() { return TRUE; }
    virtual int Run();
    virtual int ExitInstance() { return 0; }

    HICON LoadIcon(UINT nID) const { return ::LoadIconA(m_hInstance, MAKEINTRESOURCEA(nID)); }

    HINSTANCE m_hInstance = nullptr;
    char* m_lpCmdLine = nullptr;
    int m_nCmdShow = SW_SHOWNORMAL;
    const char* m_pszAppName = nullptr;
    CWnd* m_pMainWnd = nullptr;

private:
    friend int AfxWinMain(HINSTANCE, LPSTR, int);
    char m_szAppName[MAX_PATH] = {};
};

CWinApp* AfxGetApp();
HINSTANCE AfxGetInstanceHandle();
HINSTANCE AfxGetResourceHandle();
// A text of the string table, in the ANSI code page; empty when there is none.
CString AfxLoadText(UINT id);
const char* AfxGetAppName();
int AfxWinMain(HINSTANCE hInstance, LPSTR lpCmdLine, int nCmdShow);
// Offers a message to the framework objects of its window and that window's parents.
BOOL AfxPreTranslateMessage(MSG* pMsg);
// Delivers one message taken from the queue: unless a window object handled it in
// PreTranslateMessage, its keys are translated and it is dispatched.
void AfxPumpMessage(MSG* pMsg);
// Waits for any of the handles while still delivering messages sent to this thread (a thread
// in a synchronous call into our windows is served); false on time-out or failure.
bool WaitServingSentMessages(const HANDLE* handles, DWORD count, DWORD timeoutMs);

BOOL AfxRegisterClass(WNDCLASSA* lpWndClass);
// A message box owned by the main window, captioned with the application's title.
int AfxMessageBox(const char* lpszText, UINT nType = MB_OK, UINT nIDHelp = 0);

// The command line after the program name, exactly as the process received it.
const char* AfxCommandLineTail(const char* fullCommandLine);

typedef UINT (*AFX_THREADPROC)(LPVOID);

class CWinThread {
public:
    virtual ~CWinThread();
    HANDLE m_hThread = nullptr;
    DWORD m_nThreadID = 0;
    BOOL m_bAutoDelete = TRUE;

private:
    friend CWinThread* AfxBeginThread(AFX_THREADPROC, LPVOID, int, UINT, DWORD, LPSECURITY_ATTRIBUTES);
    static unsigned __stdcall Start(void* self);
    AFX_THREADPROC m_pfnThreadProc = nullptr;
    LPVOID m_pThreadParams = nullptr;
};

CWinThread* AfxBeginThread(AFX_THREADPROC pfnThreadProc, LPVOID pParam, int nPriority = THREAD_PRIORITY_NORMAL,
                           UINT nStackSize = 0, DWORD dwCreateFlags = 0, LPSECURITY_ATTRIBUTES lpSecurityAttrs = nullptr);
