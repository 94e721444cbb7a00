// The launch sequence: from the start parameter string to the started patcher.
#include "ui/LaunchSequence.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "download/HttpDownload.h"
#include "download/PackedFile.h"
#include "framework/handles.h"
#include "launcher/InstallRecord.h"
#include "launcher/SafeTerminateProcess.h"
#include "launcher/StartParams.h"
#include "torrent/TorrentAddition.h"
#include "torrent/TorrentSession.h"
#include "ui/MirelLauncherDlg.h"

#include <shellapi.h>

HANDLE g_hHeartbeatEvent = nullptr;

namespace {

// The owner of the heartbeat event; the global is its handle, for the timer and the exit.
UniqueKernelHandle g_heartbeatEventOwner;

// How often the wait for the installer looks for its window when no message wakes it.
constexpr DWORD kInstallerPollMs = 10;

const char kPatcherClass[] = "Mirel Patcher";

// Each run starts with an event that is not signalled. It is made once and reset on later
// runs, so no handle leaks and anyone holding it keeps seeing the current one.
void PrepareEvent(UniqueKernelHandle& owner, HANDLE& h) {
    if (owner) {
        ::ResetEvent(owner.get());
    } else {
        owner.reset(::CreateEventA(nullptr, FALSE, FALSE, nullptr));
        h = owner.get();
    }
}

}  // namespace

void EndRunningPatcher() {
    HWND hPatcher = ::FindWindowA(kPatcherClass, nullptr);
    if (!hPatcher) return;
    DWORD pid = 0;
    ::GetWindowThreadProcessId(hPatcher, &pid);
    UniqueKernelHandle process(::OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid));
    if (process) SafeTerminateProcess(process.get(), 0);
}

SequenceResult CMirelLauncherDlg::ProcessStartParam(const char* startParam) {
    StartParams params;
    SplitStartParams(startParam, params);
    char installPath[MAX_PATH] = {};
    char version[kVersionSize] = {};

    // The record first: an installed game's folder, and the download folder when the game is
    // installed, are never made ready for a download (nothing in them is moved or changed).
    std::atomic<bool>& installed = m_monitor.Shared().installed;
    installed = EnsureGameFolder(params.recordKey, installPath) != FALSE;
    m_downloadFolder.KeepApartFrom(installPath);
    EnsureDownloadDir(nullptr);

    // The download folder decides only whether there is a torrent part: an installed game is
    // started whatever the folder's state. A download needs a folder that is ours alone, since
    // what is downloaded is opened, perhaps with an administrator's rights.
    const DownloadFolder::State folder = m_downloadFolder.state();
    const bool folderUsable = folder == DownloadFolder::Trusted;
    if (!installed && !folderUsable) {
        if (folder == DownloadFolder::Busy)
            AfxMessageBox(AfxLoadText(IDS_ALREADY_RUNNING), MB_OK);
        else if (folder != DownloadFolder::Failed)
            MessageBox(AfxLoadText(IDS_FOLDER_REFUSED), AfxGetAppName(), MB_OK);
        SendMessage(WM_CLOSE);
        return kSequenceStopped;
    }

    PrepareEvent(g_heartbeatEventOwner, g_hHeartbeatEvent);

    m_bDescriptionChecked = false;  // only a description checked in this run counts
    if (!installed) {
        CString failure;
        {
            CHttpDownload download;
            wchar_t url[kUrlFieldChars + 1] = {};
            std::mbstowcs(url, params.descriptionUrl, kUrlFieldChars);
            download.SetURL(url);
            download.SetDownloadFolder(m_config.downloadDir.c_str());
            download.SetOwner(m_hWnd);
            failure = download.Download();
            // Only a whole, unpacked (and, with a key, verified) description becomes Mirel.ndn.
            if (failure.IsEmpty())
                failure = UnpackFetchedDescription(download.GetFilePath(), download.GetDescriptionPath(),
                                                   BuiltInPublisherKeys(), &m_bDescriptionChecked);
        }
        if (!failure.IsEmpty()) {
            AfxMessageBox(failure, MB_OK);
            SendMessage(WM_CLOSE);
            return kSequenceStopped;
        }
    }
    if (folderUsable) StartTorrentSession();

    if (m_pSession && !m_monitor.Started() && !m_torrentFiles.empty())
        m_monitor.Start(*m_pSession, m_downloadFolder, m_config.downloadDir, m_hWnd);

    if (!installed) {
        const SequenceResult waited = WaitForInstaller();
        if (waited != kSequenceDone) return waited;
    }

    if (!ReadGameVersion(params.recordKey, version)) {
        MessageBox(AfxLoadText(IDS_NOT_INSTALLED), AfxGetAppName(), MB_OK);
        EndProcessNow();
    }

    installed = EnsureGameFolder(params.recordKey, installPath) != FALSE;
    if (!installed) return kSequenceStopped;

    lstrcpynA(m_szStatusText, m_szRunningText, MAX_PATH);
    EndRunningPatcher();

    if (std::strcmp(params.startFlag, "0") == 0) RunPatcher(m_hWnd, installPath, version, params);

    m_monitor.RequestStop();

    SendMessage(WM_CLOSE);
    return kSequenceDone;
}

BOOL CMirelLauncherDlg::EnsureDownloadDir(char* output) {
    const DownloadFolder::Use use =
        m_monitor.Shared().installed ? DownloadFolder::AsItStands : DownloadFolder::ForDownload;
    if (m_downloadFolder.Take(m_config.downloadDir, use) != DownloadFolder::Trusted || !m_downloadFolder.IsHeld())
        return FALSE;
    if (output) lstrcpynA(output, m_config.downloadDir.c_str(), MAX_PATH);
    return TRUE;
}

// The session is made on the first run; every run adds the torrent files it finds, so a later
// run that fetched a new description downloads it (one already added gives its handle back).
BOOL CMirelLauncherDlg::StartTorrentSession() {
    const std::vector<std::string> found =
        FindTorrentFiles(m_config.downloadDir, m_config.signedOnly, m_bDescriptionChecked);
    m_torrentFiles.insert(m_torrentFiles.end(), found.begin(), found.end());
    if (!m_pSession) m_pSession = OpenTorrentSession(m_config);
    if (!m_pSession) return FALSE;
    for (const std::string& file : found) AddTorrent(*m_pSession, file, m_config);
    return TRUE;
}

SequenceResult CMirelLauncherDlg::WaitForInstaller() {
    const CString setupTitle = AfxLoadText(IDS_SETUP_WINDOW_TITLE);
    for (;;) {
        // Any end of the dialog ends the run: a nested run of the sequence (message 2 sent
        // during this wait) that closed it, or a Cancel or OK command such as the one the
        // dialog's default handling of Alt+F4 posts. A user who closed the window expects the
        // download to stop, and the modal loop must get control back.
        if (IsModalEnded()) {
            m_monitor.RequestStop();
            return kSequenceInterrupted;
        }
        if (::FindWindowA(nullptr, setupTitle) && !m_bSetupWindowSeen) m_bSetupWindowSeen = true;
        if (!::FindWindowA(nullptr, setupTitle) && m_bSetupWindowSeen) return kSequenceDone;

        // Only the window's own posted messages; a close or a posted starter's message ends
        // the wait without being delivered.
        MSG msg;
        while (::PeekMessageA(&msg, m_hWnd, 0, 0, PM_REMOVE | PM_NOYIELD)) {
            if (msg.message == WM_CLOSE || msg.message == WM_START_PARAM) {
                m_monitor.RequestStop();
                return kSequenceInterrupted;
            }
            AfxPumpMessage(&msg);
        }
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, kInstallerPollMs, QS_ALLINPUT);
    }
}

void RunPatcher(HWND owner, const char* installPath, const char* version, const StartParams& params) {
    char args[kStartParamBufferSize];
    std::snprintf(args, sizeof(args), "%s*%s*%s*%s*%s*%s", params.relay2, installPath, params.relay4, version,
                  params.relay1, params.recordKey);

    CString source, copy;
    source.Format("%s\\%s", installPath, "Patcher.exe");
    copy.Format("%s\\%s", installPath, "MirelPatcher.exe");

    CString sourceVersion, copyVersion;
    GetFileVersionString(source, sourceVersion);
    GetFileVersionString(copy, copyVersion);
    if (sourceVersion != copyVersion) ::CopyFileA(source, copy, FALSE);

    ::ShellExecuteA(owner, "open", copy, args, installPath, SW_SHOW);
}
