// Timers, the two exits and the commands of the main window.
#include <cstdio>
#include <cstdlib>

#include "app/MirelLauncherApp.h"
#include "torrent/MonitorThread.h"
#include "ui/MirelLauncherDlg.h"
#include "ui/TorrentInfoDlg.h"

namespace {

// The confirmed exit waits for the heartbeat of timer 4, which only this thread's own timer
// signals: a blocking wait could never see the next one, so it is bounded by one period.
constexpr DWORD kHeartbeatWaitMs = 1000;
// The unconfirmed exit waits for the monitor thread to take the stop request. It keeps
// serving messages sent to this thread meanwhile (the monitor may be inside such a call),
// and gives up after this long rather than hang.
constexpr DWORD kMonitorStopWaitMs = 5000;

}  // namespace

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

void CMirelLauncherDlg::OnTimer(UINT_PTR nIDEvent) {
    switch (nIDEvent) {
    case TIMER_HOVER: {
        POINT pt;
        ::GetCursorPos(&pt);
        if (m_btnExit.m_hWnd && m_btnExit.UpdateHover(pt.x, pt.y))
            m_btnExit.RedrawWindow(RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
        break;
    }
    case TIMER_REFRESH:
        // The window's own painting leaves the controls alone (see OnPaint).
        m_progress.RedrawWindow(RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
        RedrawWindow(RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
        if (!m_bPeerDlgClosed && m_pPeerDlg) m_pPeerDlg->DrainMessages();
        break;
    case TIMER_START:
        KillTimer(TIMER_START);
        ProcessStartParam(AfxGetApp()->m_lpCmdLine);
        break;
    case TIMER_SIGNAL:
        if (g_hHeartbeatEvent) ::SetEvent(g_hHeartbeatEvent);
        break;
    default:
        break;
    }
}

void CMirelLauncherDlg::ReleaseFace() {
    KillTimer(TIMER_HOVER);
    KillTimer(TIMER_REFRESH);
    if (m_hBkBitmap) {
        ::DeleteObject(m_hBkBitmap);
        m_hBkBitmap = nullptr;
    }
    if (m_hMemDC) {
        ::DeleteDC(m_hMemDC);
        m_hMemDC = nullptr;
    }
}

void CMirelLauncherDlg::EndProcessNow() {
    // With the BitTorrent session running, the runtime's exit would destroy static objects
    // that the library's threads are still using (a crash, and under a debugger a hang):
    // the process is then ended outright, which is what the exit means anyway.
    if (m_pSession) {
        std::fflush(nullptr);
        ::TerminateProcess(::GetCurrentProcess(), 0);
    }
    std::exit(0);
}

void CMirelLauncherDlg::OnBnClickedExit() {
    if (MessageBox(m_szExitConfirm, "Check", MB_OKCANCEL) != IDOK) return;
    m_bExitPending = true;
    ReleaseFace();
    if (m_pMonitorThread) {
        PostStopRequest();
        if (g_hHeartbeatEvent) ::WaitForSingleObject(g_hHeartbeatEvent, kHeartbeatWaitMs);
    }
    EndProcessNow();
}

void CMirelLauncherDlg::OnMenuExit() {
    m_bExitPending = true;
    ReleaseFace();
    if (!m_bPeerDlgClosed && m_pPeerDlg) {
        CTorrentInfoDlg* peer = m_pPeerDlg;
        m_pPeerDlg = nullptr;
        m_bPeerDlgClosed = true;
        peer->DestroyAndDelete();
    }
    if (m_pMonitorThread) {
        PostStopRequest();
        HANDLE waits[2];
        DWORD n = 0;
        if (g_hMonitorDoneEvent) waits[n++] = g_hMonitorDoneEvent;
        if (m_hMonitorThread) waits[n++] = m_hMonitorThread;
        if (n) WaitServingSentMessages(waits, n, kMonitorStopWaitMs);
    }
    EndProcessNow();
}

void CMirelLauncherDlg::OnMenuOpen() {
    CWnd* main = AfxGetApp()->m_pMainWnd;
    if (main && main->m_hWnd) main->ShowWindow(SW_SHOW);
    if (!m_bPeerDlgClosed && m_pPeerDlg) m_pPeerDlg->ShowWindow(SW_SHOW);
}

void CMirelLauncherDlg::OnShowPeerInfo() {
    if (!m_bPeerDlgClosed) return;
    auto* peer = new CTorrentInfoDlg(this);
    m_pPeerDlg = peer;
    if (!peer->Create(IDD_PEER_INFO, this)) {
        m_pPeerDlg = nullptr;
        delete peer;
        return;
    }
    peer->ShowWindow(SW_SHOW);
    m_bPeerDlgClosed = false;
}
