// The launch sequence: from the start parameter string to the started patcher.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/MirelLauncherApp.h"
#include "download/HttpDownload.h"
#include "download/PackedFile.h"
#include "framework/handles.h"
#include "launcher/StartParams.h"
#include "torrent/MonitorThread.h"
#include "ui/MirelLauncherDlg.h"

#include <shellapi.h>

HANDLE g_hHeartbeatEvent = nullptr;
HANDLE g_hMonitorDoneEvent = nullptr;

namespace {

// The owners of the two events; the globals are their handles, for the timer, the exits and
// the monitor thread.
UniqueKernelHandle g_heartbeatEventOwner;
UniqueKernelHandle g_monitorDoneEventOwner;

// How often the wait for the installer looks for its window when no message wakes it.
constexpr DWORD kInstallerPollMs = 10;

const char kPatcherClass[] = "Mirel Patcher";

// Each run starts with events that are not signalled. They are made once and reset on later
// runs, so no handle leaks and anyone holding them keeps seeing the current ones.
void PrepareEvent(UniqueKernelHandle& owner, HANDLE& h) {
    if (owner) {
        ::ResetEvent(owner.get());
    } else {
        owner.reset(::CreateEventA(nullptr, FALSE, FALSE, nullptr));
        h = owner.get();
    }
}

void EndRunningPatcher() {
    HWND hPatcher = ::FindWindowA(kPatcherClass, nullptr);
    if (!hPatcher) return;
    DWORD pid = 0;
    ::GetWindowThreadProcessId(hPatcher, &pid);
    UniqueKernelHandle process(::OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid));
    if (process) CMirelLauncherApp::SafeTerminateProcess(process.get(), 0);
}

}  // namespace

SequenceResult CMirelLauncherDlg::ProcessStartParam(const char* startParam) {
    StartParams params;
    SplitStartParams(startParam, params);
    char installPath[MAX_PATH] = {};
    char version[kVersionSize] = {};

    // The record first: an installed game's folder, and the download folder when the game is
    // installed, are never made ready for a download (nothing in them is moved or changed).
    m_bInstalled = EnsureGameFolder(params.recordKey, installPath) != FALSE;
    m_downloadFolder.KeepApartFrom(installPath);
    EnsureDownloadDir(nullptr);

    // The download folder decides only whether there is a torrent part: an installed game is
    // started whatever the folder's state. A download needs a folder that is ours alone, since
    // what is downloaded is opened, perhaps with an administrator's rights.
    const DownloadFolder::State folder = m_downloadFolder.state();
    const bool folderUsable = folder == DownloadFolder::Trusted;
    if (!m_bInstalled && !folderUsable) {
        if (folder == DownloadFolder::Busy)
            AfxMessageBox(AfxLoadText(IDS_ALREADY_RUNNING), MB_OK);
        else if (folder != DownloadFolder::Failed)
            MessageBox(AfxLoadText(IDS_FOLDER_REFUSED), AfxGetAppName(), MB_OK);
        SendMessage(WM_CLOSE);
        return kSequenceStopped;
    }

    PrepareEvent(g_heartbeatEventOwner, g_hHeartbeatEvent);
    PrepareEvent(g_monitorDoneEventOwner, g_hMonitorDoneEvent);

    m_bSignedOnly = BuiltInPublisherKey() != nullptr;
    m_bDescriptionChecked = false;  // only a description checked in this run counts
    if (!m_bInstalled) {
        CString failure;
        {
            CHttpDownload download;
            wchar_t url[kUrlFieldChars + 1] = {};
            std::mbstowcs(url, params.descriptionUrl, kUrlFieldChars);
            download.SetURL(url);
            download.SetDownloadFolder(m_szDownloadDir);
            download.SetOwner(m_hWnd);
            failure = download.Download();
            // Only a whole, unpacked (and, with a key, verified) description becomes Mirel.ndn.
            if (failure.IsEmpty())
                failure = UnpackFetchedDescription(download.GetFilePath(), download.GetDescriptionPath(),
                                                   BuiltInPublisherKey(), &m_bDescriptionChecked);
        }
        if (!failure.IsEmpty()) {
            AfxMessageBox(failure, MB_OK);
            SendMessage(WM_CLOSE);
            return kSequenceStopped;
        }
    }
    if (folderUsable) StartTorrentSession();

    if (!m_hMonitorThread && !m_torrentFiles.empty()) StartMonitorThread(this);

    if (!m_bInstalled) {
        const SequenceResult waited = WaitForInstaller();
        if (waited != kSequenceDone) return waited;
    }

    if (!ReadGameVersion(params.recordKey, version)) {
        MessageBox(AfxLoadText(IDS_NOT_INSTALLED), AfxGetAppName(), MB_OK);
        EndProcessNow();
    }

    m_bInstalled = EnsureGameFolder(params.recordKey, installPath) != FALSE;
    if (!m_bInstalled) return kSequenceStopped;

    lstrcpynA(m_szStatusText, m_szRunningText, MAX_PATH);
    EndRunningPatcher();

    if (std::strcmp(params.startFlag, "0") == 0) RunPatcher(installPath, version, params);

    PostStopRequest();

    SendMessage(WM_CLOSE);
    return kSequenceDone;
}

BOOL CMirelLauncherDlg::UnpackDownloadedFile(const char* path) {
    return UnpackPackedFile(path, nullptr) == UnpackStatus::Ok;
}

SequenceResult CMirelLauncherDlg::WaitForInstaller() {
    const CString setupTitle = AfxLoadText(IDS_SETUP_WINDOW_TITLE);
    for (;;) {
        // Any end of the dialog ends the run: a nested run of the sequence (message 2 sent
        // during this wait) that closed it, or a Cancel or OK command such as the one the
        // dialog's default handling of Alt+F4 posts. A user who closed the window expects the
        // download to stop, and the modal loop must get control back.
        if (IsModalEnded()) {
            PostStopRequest();
            return kSequenceInterrupted;
        }
        if (::FindWindowA(nullptr, setupTitle) && !m_bSetupWindowSeen) m_bSetupWindowSeen = true;
        if (!::FindWindowA(nullptr, setupTitle) && m_bSetupWindowSeen) return kSequenceDone;

        // Only the window's own posted messages; a close or a posted starter's message ends
        // the wait without being delivered.
        MSG msg;
        while (::PeekMessageA(&msg, m_hWnd, 0, 0, PM_REMOVE | PM_NOYIELD)) {
            if (msg.message == WM_CLOSE || msg.message == WM_START_PARAM) {
                PostStopRequest();
                return kSequenceInterrupted;
            }
            AfxPumpMessage(&msg);
        }
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, kInstallerPollMs, QS_ALLINPUT);
    }
}

void CMirelLauncherDlg::RunPatcher(const char* installPath, const char* version, const StartParams& params) {
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

    ::ShellExecuteA(m_hWnd, "open", copy, args, installPath, SW_SHOW);
}
