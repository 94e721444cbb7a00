// The BitTorrent session of the launcher: its start with the fixed configuration, and its end.
#include "torrent/TorrentSession.h"

#include <exception>

#include "common/Diagnostics.h"
#include "torrent/DiskIo.h"
#include "ui/MirelLauncherDlg.h"

namespace {

// The session state file, read from the working directory and never written.
const char kSessionStateFile[] = ".ses_state";

}  // namespace

// The session is made on the first run; every run adds the torrent files it finds, so a later
// run that fetched a new description downloads it (one already added gives its handle back).
BOOL CMirelLauncherDlg::StartTorrentSession() {
    const size_t known = m_torrentFiles.size();
    FindTorrentFiles();
    const std::vector<std::string> found(m_torrentFiles.begin() + known, m_torrentFiles.end());
    if (m_pSession) {
        for (const std::string& file : found) AddTorrent(file);
        return TRUE;
    }

    try {
        lt::settings_pack settings = MakeSessionSettings(m_nListenPort, m_strListenInterface);
        lt::session_params params;
        if (ReadSessionState(kSessionStateFile, params))
            params = MergeSessionState(std::move(params), settings);
        else
            params.settings = settings;

        params.disk_io_constructor = LauncherDiskIoConstructor;

        auto ses = std::make_unique<TorrentSession>();
        ses->session = std::make_unique<lt::session>(std::move(params));
        m_pSession = ses.release();
    } catch (const std::exception& e) {
        TorrentDiagnostic(stderr, "torrent session: %s\n", e.what());
        return FALSE;
    }

    for (const std::string& file : found) AddTorrent(file);
    return TRUE;
}

void CMirelLauncherDlg::DestroyTorrentSession() {
    // Called once the monitor thread has stopped: nobody uses the handles any more.
    TorrentSession* ses = m_pSession;
    m_pSession = nullptr;
    try {
        delete ses;
    } catch (...) {
    }
}
