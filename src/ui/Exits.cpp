// The two exits and the other commands of the main window.
#include <cstdio>
#include <cstdlib>

#include "app/MirelLauncherApp.h"
#include "torrent/TorrentSession.h"
#include "ui/MirelLauncherDlg.h"
#include "ui/TorrentInfoDlg.h"

namespace {

// The confirmed exit waits for the heartbeat of timer 4, which only this thread's own timer
// signals: a blocking wait could never see the next one, so it is bounded by one period.
constexpr DWORD kHeartbeatWaitMs = 1000;
// The unconfirmed exit waits for the monitor thread to take the stop request. It keeps
// serving messages sent to this thread meanwhile (the shell, opening the installer on the
// monitor thread, may broadcast to every top-level window), and gives up after this long
// rather than hang.
constexpr DWORD kMonitorStopWaitMs = 5000;

}  // namespace

void CMirelLauncherDlg::ReleaseFace() {
    KillTimer(TIMER_HOVER);
    KillTimer(TIMER_REFRESH);
    m_bmpFace.DeleteObject();
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
    if (m_monitor.Started()) {
        m_monitor.RequestStop();
        if (g_hHeartbeatEvent) ::WaitForSingleObject(g_hHeartbeatEvent, kHeartbeatWaitMs);
    }
    EndProcessNow();
}

void CMirelLauncherDlg::OnMenuExit() {
    m_bExitPending = true;
    ReleaseFace();
    if (CTorrentInfoDlg* peer = PeerWindow()) {
        SetPeerWindow(nullptr);
        peer->DestroyAndDelete();
    }
    if (m_monitor.Started()) {
        m_monitor.RequestStop();
        HANDLE waits[2] = {m_monitor.DoneEvent(), m_monitor.ThreadHandle()};
        WaitServingSentMessages(waits, 2, kMonitorStopWaitMs);
    }
    EndProcessNow();
}

void CMirelLauncherDlg::OnMenuOpen() {
    CWnd* main = AfxGetApp()->m_pMainWnd;
    if (main && main->m_hWnd) main->ShowWindow(SW_SHOW);
    if (CTorrentInfoDlg* peer = PeerWindow()) peer->ShowWindow(SW_SHOW);
}

void CMirelLauncherDlg::OnShowPeerInfo() {
    if (PeerWindow()) return;
    // Its Close button ends it; the window then has no peer window again.
    auto* peer = new CTorrentInfoDlg(this, [this] { SetPeerWindow(nullptr); });
    if (!peer->Create(IDD_PEER_INFO, this)) {
        delete peer;
        return;
    }
    peer->ShowWindow(SW_SHOW);
    SetPeerWindow(peer);
}
