// The launcher's main window. It owns the launcher state, the torrent session and the controls;
// its member functions live in the folder of their concern (app/, launcher/, download/, torrent/, ui/).
#pragma once
#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "framework/afxwin.h"
#include "framework/afxgdi.h"
#include "framework/handles.h"
#include "launcher/DownloadFolder.h"
#include "res/resource.h"
#include "ui/BitmapButton.h"
#include "ui/MonitorShared.h"
#include "ui/ProgressEx.h"

enum {
    TIMER_HOVER = 1,
    TIMER_REFRESH = 2,
    TIMER_START = 3,
    TIMER_SIGNAL = 4,
};

// Process-wide events of the launch sequence.
extern HANDLE g_hHeartbeatEvent;    // signalled by timer 4, waited on by the confirmed exit
extern HANDLE g_hMonitorDoneEvent;  // signalled by the monitor thread when it stops

class CTorrentInfoDlg;
struct TorrentSession;

// The starter's message: the start parameter string waits in "Start Param Map". Its number is
// that of WM_DESTROY, which the window tells apart by whether it is being destroyed.
constexpr UINT WM_START_PARAM = 2;
// Posted by the monitor thread to the main window when fresh peer rows wait in m_shared.
constexpr UINT WM_APP_PEER_ROWS = WM_APP + 1;

// Results of the launch sequence.
enum SequenceResult {
    kSequenceDone = 0,         // the end of the sequence was reached
    kSequenceStopped = 1,      // it stopped early
    kSequenceInterrupted = 3,  // the wait for the installer was ended by a close
};

class CMirelLauncherDlg : public CDialog {
public:
    explicit CMirelLauncherDlg(CWnd* pParent = nullptr);
    ~CMirelLauncherDlg() override;

    // Launch sequence (launcher/LaunchSequence.cpp): the whole run for one start parameter string.
    SequenceResult ProcessStartParam(const char* startParam);

    // The download folder (launcher/DownloadFolder.cpp): taken for this run, as a download or an
    // installed game needs it; its path is copied to `output` (when given) on success.
    BOOL EnsureDownloadDir(char* output);
    // Installation record (launcher/InstallRecord.cpp).
    // Reads the record's InstallPath into installPath and creates that folder when it is
    // missing. TRUE (the game counts as installed) only when the folder was there already.
    BOOL EnsureGameFolder(const char* keyPath, char* installPath);
    BOOL ReadGameVersion(const char* keyPath, char* version);
    void GetFileVersionString(const char* path, CString& result);

    // Size label (download/SizeText.cpp).
    void SetSizeText(float fDone, float fTotal);
    static void FormatSize(float count, char* out, size_t size);

    // Packed download file (download/PackedFile.cpp).
    BOOL UnpackDownloadedFile(const char* path);

    // Torrent part (torrent/).
    BOOL StartTorrentSession();

    // Message 2: the start parameter string handed over in "Start Param Map" (app/StartParamMsg.cpp).
    LRESULT OnStartParamMsg(WPARAM wParam, LPARAM lParam);

    BOOL PreTranslateMessage(MSG* pMsg) override;

    // Appends the torrent files of the download folder (names containing ".ndn") to m_torrentFiles;
    // links are left out, and so is everything but a checked Mirel.ndn when m_bSignedOnly.
    void FindTorrentFiles();
    // Adds one torrent file to the session with the program's fixed parameters, keyed by its
    // path; failures are written to the standard error stream and the file is skipped.
    void AddTorrent(const std::string& strTorrentFile);

    using TransferFigures = MonitorShared::Figures;
    void PublishFigures(const TransferFigures& figures) { m_shared.PublishFigures(figures); }  // monitor thread
    void ShowFigures();  // window thread
    // Monitor thread: hands over the rows and wakes the window's thread.
    void PostPeerRows(std::vector<PeerRow>&& rows);

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

private:
    // The unit tests' view of the state below.
    friend struct DlgProbe;
    friend UINT TorrentMonitorThreadProc(LPVOID);
    friend void StartMonitorThread(CMirelLauncherDlg*);
    friend class CTorrentInfoDlg;

    // ---- launcher state
    CWinThread* m_pMonitorThread = nullptr;  // deletes itself when the thread ends: never looked at
    DWORD m_dwMonitorThreadId = 0;      // the monitor thread is reached by id, never through the object
    UniqueKernelHandle m_hMonitorThread;  // our own handle to it, to know when it has ended
    std::atomic<bool> m_bInstalled{false};
    bool m_bSetupWindowSeen = false;
    char m_szSystemRoot[MAX_PATH] = {};
    char m_szDownloadDir[MAX_PATH] = {};
    // The download folder while this launcher uses it, and what EnsureDownloadDir found.
    DownloadFolder m_downloadFolder;
    // An exit command is waiting: a message 2 then starts no launch sequence.
    bool m_bExitPending = false;

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
    CTorrentInfoDlg* m_pPeerDlg = nullptr;

    // ---- torrent part
    std::vector<std::string> m_torrentFiles;  // full paths of the torrent files found
    TorrentSession* m_pSession = nullptr;     // the session and the added torrents (torrent/TorrentSession.h)
    int m_nListenPort = 6881;                 // first port of the listen range (ten more follow)
    std::string m_strListenInterface;         // empty: all interfaces
    int m_nStorageMode = 1;  // sparse
    int m_nTorrentUploadLimit = 0;    // 0: no limit
    int m_nTorrentDownloadLimit = 0;  // 0: no limit
    int m_nMaxConnectionsPerTorrent = 50;
    // A launcher built with a publisher key adds only the description whose signature it checked
    // in this run (m_bDescriptionChecked); other torrent files are left alone.
    bool m_bSignedOnly = false;
    bool m_bDescriptionChecked = false;

    // The transfer's figures and the peer rows: the monitor thread publishes, the window's
    // refresh shows them (ShowFigures) and fills the peer window (OnPeerRows).
    MonitorShared m_shared;

    // One pass of the monitor thread over the torrents.
    void MonitorPass();
    void ReleaseFace();
    // Ends the process at once with exit code 0, without destroying the window.
    [[noreturn]] void EndProcessNow();
    void PostStopRequest();
    void DestroyTorrentSession();
    SequenceResult WaitForInstaller();
    void RunPatcher(const char* installPath, const char* version, const struct StartParams& params);
    void StopMonitorThread(DWORD maxWaitMs);
};
