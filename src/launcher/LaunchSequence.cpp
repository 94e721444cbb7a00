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

const char kSetupWindowTitle[] = "미렐온라인 설치 ";
const char kNotInstalledText[] = "게임이 설치되지 않았습니다. \n기존버전을 삭제한 후 다시 설치해주세요.";
const char kPatcherClass[] = "Mirel Patcher";
const char kFolderRefusedText[] =
    "다운로드 폴더를 안전하게 사용할 수 없습니다. \n다운로드 폴더를 삭제한 후 다시 실행해주세요.";

// Each run starts with events that are not signalled. They are made once and reset on later
// runs, so no handle leaks and anyone holding them keeps seeing the current ones.
void PrepareEvent(HANDLE& h) {
    if (h)
        ::ResetEvent(h);
    else
        h = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
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

int CMirelLauncherDlg::ProcessStartParam(const char* startParam) {
    StartParams params;
    SplitStartParams(startParam, params);
    char installPath[MAX_PATH] = {};
    char version[kVersionSize] = {};

    std::memset(m_szDownFolder, 0, sizeof(m_szDownFolder));
    if (!EnsureDownloadDir(m_szDownFolder)) {
        if (m_nFolderState == FOLDER_REFUSED)
            MessageBox(kFolderRefusedText, AfxGetAppName(), MB_OK);
        else if (m_nFolderState == FOLDER_BUSY)
            AfxMessageBox(kAlreadyRunningText, MB_OK);
        SendMessage(WM_CLOSE);
        return 1;
    }

    m_bInstalled = IsGameInstalled(params.field3, installPath) != FALSE;
    // What is downloaded is opened, perhaps with an administrator's rights: not from a folder
    // in which someone else may change files.
    if (!m_bInstalled && m_nFolderState != FOLDER_TRUSTED) {
        MessageBox(kFolderRefusedText, AfxGetAppName(), MB_OK);
        SendMessage(WM_CLOSE);
        return 1;
    }

    PrepareEvent(g_hHeartbeatEvent);
    PrepareEvent(g_hMonitorDoneEvent);

    if (!m_bInstalled) {
        CString failure;
        {
            CHttpDownload download;
            wchar_t url[kUrlFieldChars + 1] = {};
            std::mbstowcs(url, params.field5, kUrlFieldChars);
            download.SetURL(url);
            download.SetDownloadFolder(m_szDownloadDir);
            download.m_phWndOwner = &m_hWnd;
            failure = download.Download();
            if (failure.IsEmpty()) failure = UnpackFetchedDescription(download.GetFilePath());
        }
        if (!failure.IsEmpty()) {
            AfxMessageBox(failure, MB_OK);
            SendMessage(WM_CLOSE);
            return 1;
        }
    }
    StartTorrentSession();

    if (!m_pMonitorThread && !m_torrentFiles.empty()) StartMonitorThread(this);

    if (!m_bInstalled) {
        int waited = WaitForInstaller();
        if (waited != 0) return waited;
    }

    if (!ReadGameVersion(params.field3, version)) {
        MessageBox(kNotInstalledText, AfxGetAppName(), MB_OK);
        EndProcessNow();
    }

    m_bInstalled = IsGameInstalled(params.field3, installPath) != FALSE;
    if (!m_bInstalled) return 1;

    lstrcpynA(m_szStatusText, m_szRunningText, MAX_PATH);
    EndRunningPatcher();

    if (std::strcmp(params.field6, "0") == 0) RunPatcher(installPath, version, params);

    PostStopRequest();

    SendMessage(WM_CLOSE);
    return 0;
}

int CMirelLauncherDlg::WaitForInstaller() {
    for (;;) {
        // A nested run of the sequence (message 2 sent during this wait) may have closed the
        // dialog: nothing is left to wait for then, and the modal loop must get control back.
        if (IsModalEnded()) {
            PostStopRequest();
            return 3;
        }
        if (::FindWindowA(nullptr, kSetupWindowTitle) && !m_bSetupWindowSeen) m_bSetupWindowSeen = true;
        if (!::FindWindowA(nullptr, kSetupWindowTitle) && m_bSetupWindowSeen) return 0;

        MSG msg;
        while (::PeekMessageA(&msg, m_hWnd, 0, 0, PM_REMOVE | PM_NOYIELD)) {
            PreTranslateMessage(&msg);
            if (msg.message == WM_CLOSE || msg.message == 2) {
                PostStopRequest();
                return 3;
            }
            ::DispatchMessageA(&msg);
        }
        ::Sleep(10);
    }
}

void CMirelLauncherDlg::RunPatcher(const char* installPath, const char* version, const StartParams& params) {
    char args[kStartParamBufferSize];
    std::snprintf(args, sizeof(args), "%s*%s*%s*%s*%s*%s", params.field2, installPath, params.field4, version,
                  params.field1, params.field3);

    CString source, copy;
    source.Format("%s\\%s", installPath, "Patcher.exe");
    copy.Format("%s\\%s", installPath, "MirelPatcher.exe");

    CString sourceVersion, copyVersion;
    GetFileVersionString(source, sourceVersion);
    GetFileVersionString(copy, copyVersion);
    if (sourceVersion != copyVersion) ::CopyFileA(source, copy, FALSE);

    ::ShellExecuteA(m_hWnd, "open", copy, args, installPath, SW_SHOW);
}
