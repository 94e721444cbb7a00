// The launcher's main window: its controls, the launch sequence it runs for each start
// parameter string, the download folder it holds, the torrent session and the monitor thread.
// Its member functions are all in ui/: the window, its timers, the starter's message and the
// exits in MirelLauncherDlg.cpp, the sequence in LaunchSequence.cpp.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "framework/afxwin.h"
#include "framework/afxgdi.h"
#include "framework/handles.h"
#include "launcher/DownloadFolder.h"
#include "launcher/LaunchConfig.h"
#include "res/resource.h"
#include "torrent/TorrentMonitor.h"
#include "ui/LaunchSequence.h"
#include "ui/BitmapButton.h"
#include "ui/ProgressEx.h"

enum {
    TIMER_HOVER = 1,
    TIMER_REFRESH = 2,
    TIMER_START = 3,
    TIMER_SIGNAL = 4,
};

// Signalled by timer 4, waited on by the confirmed exit.
extern HANDLE g_hHeartbeatEvent;

class CTorrentInfoDlg;
struct TorrentSession;

// The starter's message: the start parameter string waits in "Start Param Map". Its number is
// that of WM_DESTROY, which the window tells apart by whether it is being destroyed.
constexpr UINT WM_START_PARAM = 2;

class CMirelLauncherDlg : public CDialog {
public:
    explicit CMirelLauncherDlg(const LaunchConfig& config = LaunchConfig(), CWnd* pParent = nullptr);
    ~CMirelLauncherDlg() override;

    // The whole run for one start parameter string (LaunchSequence.cpp).
    SequenceResult ProcessStartParam(const char* startParam);
    // The download folder, taken for this run as a download or an installed game needs it; its
    // path is copied to `output` (when given) on success.
    BOOL EnsureDownloadDir(char* output);
    // Makes the session on the first call and adds the torrent files the folder holds now.
    BOOL StartTorrentSession();

    // Message 2: the start parameter string handed over in "Start Param Map" (StartParamMsg.cpp).
    LRESULT OnStartParamMsg(WPARAM wParam, LPARAM lParam);

    BOOL PreTranslateMessage(MSG* pMsg) override;

    // The size label: "done/total" as FormatSize writes each (ui/SizeText.h).
    void SetSizeText(float fDone, float fTotal);
    // Window thread: shows the figures the monitor published since the last call.
    void ShowFigures();
    // The peer window while it is open, else null.
    CTorrentInfoDlg* PeerWindow() const { return m_pPeerDlg; }

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    BOOL OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult) override;

    void LoadTexts();
    void InitLayout();
    void OnPaint();
    void OnTimer(UINT_PTR nIDEvent);
    void OnLButtonDown();
    void OnBnClickedExit();
    void OnMenuOpen();
    void OnMenuExit();
    void OnShowPeerInfo();
    void OnPeerRows();
    void OnNotice(WPARAM notice);
    void ShowStatus(const char* text);

private:
    // The unit tests' view of the state below.
    friend struct DlgProbe;

    // ---- fixed for the window's life once the download folder is taken (its path may then
    // become the user's own folder), before the monitor thread starts
    LaunchConfig m_config;

    // ---- launcher state (window thread)
    bool m_bSetupWindowSeen = false;
    // The download folder while this launcher uses it. Once held it is never taken again, so
    // the monitor thread may look at it.
    DownloadFolder m_downloadFolder;
    // An exit command is waiting: a message 2 then starts no launch sequence.
    bool m_bExitPending = false;
    // A description whose signature was checked in this run (see LaunchConfig::signedOnly).
    bool m_bDescriptionChecked = false;
    // The description this run took (unpacked, and with a key checked): the bytes added as the
    // main torrent and read back from a moved-aside folder. Empty when this run took none.
    std::string m_description;
    // The folder moved aside has been read back, or tried to (once in the launcher's life).
    bool m_bMovedAsideRead = false;

    // ---- widgets and drawing
    CBitmap m_bmpFace;
    CFont m_font;
    COLORREF m_crText = RGB(255, 255, 255);
    char m_szStatusText[MAX_PATH] = {};
    char m_szSizeText[MAX_PATH] = {};
    char m_szExitConfirm[MAX_PATH] = {};
    char m_szPreparingText[MAX_PATH] = {};
    char m_szRunningText[MAX_PATH] = {};
    HACCEL m_hAccel = nullptr;
    HICON m_hIcon = nullptr;
    CProgressEx m_progress;
    CMyBitmapButton m_btnExit;
    CStatic m_stStatus;
    CStatic m_stSize;
    CTorrentInfoDlg* m_pPeerDlg = nullptr;  // the peer window while open (SetPeerWindow)

    // ---- torrent part
    std::vector<std::string> m_torrentFiles;  // full paths of the torrent files found
    // Made on the window thread before the monitor starts; the monitor is stopped before it goes.
    std::unique_ptr<TorrentSession> m_pSession;
    // The monitor thread; what it shares with this thread is in m_monitor.Shared() alone.
    TorrentMonitor m_monitor;

    void SetPeerWindow(CTorrentInfoDlg* peer);
    void ReleaseFace();
    // Ends the process at once with exit code 0, without destroying the window.
    [[noreturn]] void EndProcessNow();
    SequenceResult WaitForInstaller();
    bool ReadBackMovedAside();
    bool FolderStillInPlace(bool installed);
    void TellWithoutWaiting(UINT textId, const std::string& argument);
};
