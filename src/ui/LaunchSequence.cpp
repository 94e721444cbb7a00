// The launch sequence: from the start parameter string to the started patcher.
#include "ui/LaunchSequence.h"

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <memory>
#include <string>
#include <cstring>

#include "common/CodePage.h"
#include "common/Diagnostics.h"
#include "download/HttpDownload.h"
#include "download/PackedFile.h"
#include "framework/handles.h"
#include "launcher/InstallRecord.h"
#include "launcher/SafeTerminateProcess.h"
#include "launcher/StartParams.h"
#include "torrent/MovedAsideRecovery.h"
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
    // what is downloaded is opened, perhaps with an administrator's rights; the player is told
    // why when there is none.
    const DownloadFolder::State folder = m_downloadFolder.state();
    const bool folderUsable = folder == DownloadFolder::Trusted;
    if (!installed && !folderUsable) {
        if (folder == DownloadFolder::Busy)
            AfxMessageBox(AfxLoadText(IDS_ALREADY_RUNNING), MB_OK);
        else
            MessageBox(AfxLoadText(folder == DownloadFolder::InUse ? IDS_FOLDER_IN_USE : IDS_FOLDER_REFUSED),
                       AfxGetAppName(), MB_OK);
        SendMessage(WM_CLOSE);
        return kSequenceStopped;
    }

    PrepareEvent(g_heartbeatEventOwner, g_hHeartbeatEvent);

    m_bDescriptionChecked = false;  // only a description checked in this run counts
    m_description.clear();           // and only one this run took is added from its bytes
    if (!installed) {
        // What is fetched, unpacked, read back and downloaded by the folder's path lands in the
        // folder judged and held: proven here, and again before the torrent is added.
        if (!FolderStillInPlace(installed)) return kSequenceStopped;
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
                                                   BuiltInPublisherKeys(), &m_bDescriptionChecked, ReleaseStore(),
                                                   &m_description);
        }
        if (!failure.IsEmpty()) {
            AfxMessageBox(failure, MB_OK);
            SendMessage(WM_CLOSE);
            return kSequenceStopped;
        }
        if (folderUsable && !ReadBackMovedAside()) return kSequenceInterrupted;
    }
    const bool torrentPart = folderUsable && FolderStillInPlace(installed);
    if (!installed && folderUsable && !torrentPart) return kSequenceStopped;
    if (torrentPart && !StartTorrentSession() && !installed) {
        // The description this run fetched could not be added: nothing would ever progress.
        MessageBox(AfxLoadText(IDS_TORRENT_NOT_ADDED), AfxGetAppName(), MB_OK);
        SendMessage(WM_CLOSE);
        return kSequenceStopped;
    }

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

namespace {

// States of the shared download folder in which the user's own folder is used instead: it is
// another user's, a link, a file, the game's, held open by another program (still after the
// wait), kept in place by what another program holds in it, or could not be made or made safe.
// Only a folder that another launcher of ours holds is left to that launcher (the player is
// told). Nobody else can thus keep a download from going on.
bool UseOwnFolderInstead(DownloadFolder::State state) {
    return state != DownloadFolder::Trusted && state != DownloadFolder::Busy;
}

const char* StateName(DownloadFolder::State state) {
    switch (state) {
    case DownloadFolder::Refused: return "a link, a file or not where its name says";
    case DownloadFolder::InUse: return "another program holds it open";
    case DownloadFolder::NotOurs: return "another user's";
    case DownloadFolder::Untrusted: return "it cannot be made ours alone";
    case DownloadFolder::Absent: return "missing";
    case DownloadFolder::GameFolder: return "the game's folder";
    default: return "it cannot be made";
    }
}

}  // namespace

BOOL CMirelLauncherDlg::EnsureDownloadDir(char* output) {
    const DownloadFolder::Use use =
        m_monitor.Shared().installed ? DownloadFolder::AsItStands : DownloadFolder::ForDownload;
    if (!m_downloadFolder.IsHeld()) {
        const DownloadFolder::State shared = m_downloadFolder.Take(m_config.downloadDir, use);
        // Taken once: the path is fixed from here on, before any monitor runs.
        if (UseOwnFolderInstead(shared) && !m_config.ownDownloadDir.empty() &&
            m_config.ownDownloadDir != m_config.downloadDir) {
            if (shared != DownloadFolder::Absent)
                DiagnosticLine(stderr, "%s: not used (%s); the download folder is %s\n", m_config.downloadDir.c_str(),
                               StateName(shared), m_config.ownDownloadDir.c_str());
            m_config.downloadDir = m_config.ownDownloadDir;
            m_downloadFolder.Take(m_config.downloadDir, use);
        }
    }
    if (m_downloadFolder.state() != DownloadFolder::Trusted || !m_downloadFolder.IsHeld()) return FALSE;
    if (output) lstrcpynA(output, m_config.downloadDir.c_str(), MAX_PATH);
    return TRUE;
}

namespace {

struct Told {
    std::string text, title;
};

DWORD WINAPI ShowTold(LPVOID p) {
    std::unique_ptr<Told> told(static_cast<Told*>(p));
    ::MessageBoxA(nullptr, told->text.c_str(), told->title.c_str(), MB_OK | MB_ICONINFORMATION | MB_SETFOREGROUND);
    return 0;
}

}  // namespace

// The player is told in a box of its own thread: the download goes on while it is read.
void CMirelLauncherDlg::TellWithoutWaiting(UINT textId, const std::string& argument) {
    CString text;
    text.Format(AfxLoadText(textId), argument.c_str());
    auto* told = new Told{static_cast<const char*>(text), AfxGetAppName()};
    HANDLE thread = ::CreateThread(nullptr, 0, &ShowTold, told, 0, nullptr);
    if (thread) ::CloseHandle(thread);
    else delete told;
}

// True while the download folder's path still names the folder held: every act by that path
// reaches the folder that was judged. When it does not, a download stops and the player is told
// (an installed game goes on without the torrent part).
bool CMirelLauncherDlg::FolderStillInPlace(bool installed) {
    if (m_downloadFolder.StillInPlace()) return true;
    DiagnosticLine(stderr, "%s: not used, it is no longer the folder that was judged\n", m_config.downloadDir.c_str());
    if (!installed) {
        MessageBox(AfxLoadText(IDS_FOLDER_REFUSED), AfxGetAppName(), MB_OK);
        SendMessage(WM_CLOSE);
    }
    return false;
}

// What the moved-aside folder (moved in this launcher's life, or in an earlier one whose reading
// back did not finish) holds of the description just taken is read back into the fresh folder,
// once, with the bar showing how far; the player is told where the old folder went when
// something of it stays. Without a description taken in this run, it waits for a later one.
// False when the window was closed meanwhile (a later start reads on).
bool CMirelLauncherDlg::ReadBackMovedAside() {
    const std::wstring& aside = m_downloadFolder.MovedAsideTo();
    if (aside.empty() || m_bMovedAsideRead || m_description.empty()) return true;
    m_bMovedAsideRead = true;
    lstrcpynA(m_szStatusText, AfxLoadText(IDS_RECOVERING), MAX_PATH);
    RedrawWindow(RDW_INVALIDATE | RDW_UPDATENOW);
    bool closed = false;
    const Recovery recovered = RecoverFromMovedAside(
        m_description, aside, AnsiToWide(m_config.downloadDir),
        [&](std::int64_t done, std::int64_t total) {
            m_progress.SetPos(total > 0 ? static_cast<int>(done * 100 / total) : 0);
            SetSizeText(static_cast<float>(done), static_cast<float>(total));
            MSG msg;
            while (!closed && ::PeekMessageA(&msg, m_hWnd, 0, 0, PM_REMOVE | PM_NOYIELD)) {
                if (msg.message == WM_CLOSE || msg.message == WM_START_PARAM) closed = true;
                else AfxPumpMessage(&msg);
            }
            return !closed && !IsModalEnded();
        });
    lstrcpynA(m_szStatusText, m_szPreparingText, MAX_PATH);
    m_progress.SetPos(0);
    if (closed || IsModalEnded()) {
        m_monitor.RequestStop();
        if (closed) SendMessage(WM_CLOSE);
        return false;
    }
    m_downloadFolder.MovedAsideReadBack();
    if (recovered.asideFound && !recovered.asideRemoved) TellWithoutWaiting(IDS_FOLDER_MOVED_ASIDE, WideToAnsi(aside));
    return true;
}

// The session is made on the first run; every run adds the torrent files it finds, so a later
// run that fetched a new description downloads it (one already added gives its handle back).
// False when the main torrent was found and could not be added, or the session not made.
// The description this run took is added from its bytes, those that were checked, whatever
// its file holds by now (and whether it is found at all).
BOOL CMirelLauncherDlg::StartTorrentSession() {
    std::vector<std::string> found =
        FindTorrentFiles(m_config.downloadDir, m_config.signedOnly, m_bDescriptionChecked);
    if (!m_description.empty()) {
        found.erase(std::remove_if(found.begin(), found.end(), IsMainTorrentKey), found.end());
        std::string key = m_config.downloadDir;
        if (!key.empty() && key.back() != '\\') key += '\\';
        found.insert(found.begin(), key + "Mirel.ndn");
    }
    m_torrentFiles.insert(m_torrentFiles.end(), found.begin(), found.end());
    if (!m_pSession) m_pSession = OpenTorrentSession(m_config);
    if (!m_pSession) return FALSE;
    // The main torrent first: what this run fetched wins over any other file naming its files.
    std::stable_partition(found.begin(), found.end(), [](const std::string& f) { return IsMainTorrentKey(f); });
    bool mainAdded = true;
    for (const std::string& file : found) {
        const bool main = IsMainTorrentKey(file);
        const std::string* content = main && !m_description.empty() ? &m_description : nullptr;
        if (!AddTorrent(*m_pSession, file, m_config, content) && main) mainAdded = false;
    }
    return mainAdded;
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
