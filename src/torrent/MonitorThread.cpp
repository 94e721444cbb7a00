#include "torrent/MonitorThread.h"

#include <objbase.h>

#include "ui/MirelLauncherDlg.h"

namespace {

constexpr DWORD kPassIntervalMs = 10;

struct StartContext {
    CMirelLauncherDlg* pDlg;
    HANDLE hQueueReady;
};

}  // namespace

UINT TorrentMonitorThreadProc(LPVOID pParam) {
    auto* ctx = static_cast<StartContext*>(pParam);
    CMirelLauncherDlg* pDlg = ctx->pDlg;
    MSG msg;
    // Make the thread's message queue before anyone posts to it.
    ::PeekMessageA(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    ::SetEvent(ctx->hQueueReady);  // ctx is gone after this
    // The shell opens the installer from this thread, and wants COM in a single-threaded
    // apartment there.
    const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);

    for (;;) {
        while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.hwnd == nullptr && (msg.message == WM_MONITOR_STOP || msg.message == WM_CLOSE)) {
                if (SUCCEEDED(com)) ::CoUninitialize();
                if (g_hMonitorDoneEvent) ::SetEvent(g_hMonitorDoneEvent);
                return 0;
            }
            // Thread messages are dropped; the windows COM keeps on this thread get theirs.
            if (msg.hwnd) ::DispatchMessageA(&msg);
        }
        pDlg->MonitorPass();
        ::Sleep(kPassIntervalMs);
    }
}

void StartMonitorThread(CMirelLauncherDlg* pDlg) {
    UniqueKernelHandle ready(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!ready) return;
    StartContext ctx{pDlg, ready.get()};
    CWinThread* pThread = AfxBeginThread(&TorrentMonitorThreadProc, &ctx, THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED);
    if (!pThread) return;
    pThread->m_bAutoDelete = TRUE;
    pDlg->m_pMonitorThread = pThread;
    pDlg->m_dwMonitorThreadId = pThread->m_nThreadID;
    ::DuplicateHandle(::GetCurrentProcess(), pThread->m_hThread, ::GetCurrentProcess(),
                      pDlg->m_hMonitorThread.put(), SYNCHRONIZE, FALSE, 0);
    ::ResumeThread(pThread->m_hThread);  // from here on the object may delete itself
    ::WaitForSingleObject(ready.get(), INFINITE);
}

// Only to a thread that still runs: while our handle to it is open, its id cannot pass to
// another thread, so a thread that ends after the check gets nothing and nobody else does.
void CMirelLauncherDlg::PostStopRequest() {
    if (!m_dwMonitorThreadId || !m_hMonitorThread) return;
    if (::WaitForSingleObject(m_hMonitorThread.get(), 0) != WAIT_TIMEOUT) return;
    ::PostThreadMessageA(m_dwMonitorThreadId, WM_MONITOR_STOP, 0, 0);
}

void CMirelLauncherDlg::StopMonitorThread(DWORD maxWaitMs) {
    if (!m_hMonitorThread) return;
    HANDLE thread = m_hMonitorThread.get();
    if (::WaitForSingleObject(thread, 0) == WAIT_OBJECT_0) return;
    PostStopRequest();
    WaitServingSentMessages(&thread, 1, maxWaitMs);
}
