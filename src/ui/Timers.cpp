// The main window's four timers: button hover, refresh, the one-shot start and the heartbeat.
#include "app/MirelLauncherApp.h"
#include "ui/MirelLauncherDlg.h"
#include "ui/TorrentInfoDlg.h"

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
        ShowFigures();
        // The window's own painting leaves the controls alone (see OnPaint).
        m_progress.RedrawWindow(RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
        RedrawWindow(RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
        if (CTorrentInfoDlg* peer = PeerWindow()) peer->DrainMessages();
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
