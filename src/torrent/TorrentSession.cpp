// The BitTorrent session of the launcher.
#include "ui/MirelLauncherDlg.h"

// Until the BitTorrent engine is linked in, no torrent is ever added: the not-installed path
// then waits for an installer that no download will bring, as it does when no torrent starts.
BOOL CMirelLauncherDlg::StartTorrentSession() {
    m_torrentFiles.clear();
    return FALSE;
}

void CMirelLauncherDlg::DestroyTorrentSession() {}

void CMirelLauncherDlg::MonitorPass() {}
