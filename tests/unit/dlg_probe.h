// The unit tests' view of the main window's state, which the window keeps private (it names
// DlgProbe its friend): DlgProbe::m_progress(dlg) is dlg's m_progress.
#pragma once
#include "ui/MirelLauncherDlg.h"

struct DlgProbe {
#define MIREL_DLG_FIELD(name) \
    static auto& name(CMirelLauncherDlg& d) { return d.name; }
    MIREL_DLG_FIELD(m_bDescriptionChecked)
    MIREL_DLG_FIELD(m_description)
    MIREL_DLG_FIELD(m_bExitPending)
    MIREL_DLG_FIELD(m_btnExit)
    MIREL_DLG_FIELD(m_config)
    MIREL_DLG_FIELD(m_downloadFolder)
    MIREL_DLG_FIELD(m_monitor)
    MIREL_DLG_FIELD(m_pSession)
    MIREL_DLG_FIELD(m_progress)
    MIREL_DLG_FIELD(m_stSize)
    MIREL_DLG_FIELD(m_stStatus)
    MIREL_DLG_FIELD(m_szSizeText)
    MIREL_DLG_FIELD(m_szStatusText)
    MIREL_DLG_FIELD(m_torrentFiles)
#undef MIREL_DLG_FIELD
};
