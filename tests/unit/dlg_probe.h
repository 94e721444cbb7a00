// The unit tests' view of the main window's state, which the window keeps private (it names
// DlgProbe its friend): DlgProbe::m_progress(dlg) is dlg's m_progress.
#pragma once
#include "ui/MirelLauncherDlg.h"

struct DlgProbe {
#define MIREL_DLG_FIELD(name) \
    static auto& name(CMirelLauncherDlg& d) { return d.name; }
    MIREL_DLG_FIELD(m_bDescriptionChecked)
    MIREL_DLG_FIELD(m_bExitPending)
    MIREL_DLG_FIELD(m_bInstalled)
    MIREL_DLG_FIELD(m_bSignedOnly)
    MIREL_DLG_FIELD(m_btnExit)
    MIREL_DLG_FIELD(m_downloadFolder)
    MIREL_DLG_FIELD(m_dwMonitorThreadId)
    MIREL_DLG_FIELD(m_hMonitorThread)
    MIREL_DLG_FIELD(m_nListenPort)
    MIREL_DLG_FIELD(m_nTorrentDownloadLimit)
    MIREL_DLG_FIELD(m_nTorrentUploadLimit)
    MIREL_DLG_FIELD(m_pSession)
    MIREL_DLG_FIELD(m_progress)
    MIREL_DLG_FIELD(m_shared)
    MIREL_DLG_FIELD(m_stSize)
    MIREL_DLG_FIELD(m_stStatus)
    MIREL_DLG_FIELD(m_strListenInterface)
    MIREL_DLG_FIELD(m_szDownloadDir)
    MIREL_DLG_FIELD(m_szSizeText)
    MIREL_DLG_FIELD(m_szStatusText)
    MIREL_DLG_FIELD(m_szSystemRoot)
    MIREL_DLG_FIELD(m_torrentFiles)
#undef MIREL_DLG_FIELD
};
