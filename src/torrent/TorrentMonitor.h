// The torrent monitor: a thread of its own that watches the transfer, publishes the figures and
// the peer rows for the window (MonitorShared), balances the web seeds, and opens the installer
// once the main torrent is complete.
#pragma once
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <libtorrent/peer_info.hpp>
#include <libtorrent/torrent_handle.hpp>

#include "framework/handles.h"
#include "torrent/InstallerCheck.h"
#include "torrent/LineGovernor.h"
#include "torrent/LocalPeers.h"
#include "torrent/MonitorShared.h"
#include "torrent/OriginFetcher.h"
#include "torrent/WebSeedPolicy.h"

class DownloadFolder;
struct TorrentSession;

// The stop request, a thread message to the monitor thread (WM_CLOSE is taken alike); it
// answers by signalling its done event and ending. A thread message, so its number may be
// that of a window message.
constexpr UINT WM_MONITOR_STOP = 2;
// Posted by the monitor thread to the window it was given when fresh peer rows wait.
constexpr UINT WM_APP_PEER_ROWS = WM_APP + 1;
// Posted by the monitor thread to the window with something the player must be told (wParam).
constexpr UINT WM_APP_NOTICE = WM_APP + 2;
enum MonitorNotice : WPARAM {
    kNoticeInstallerRefused = 1,  // the installer is not opened: the folder is no longer ours alone
    kNoticeInstallerBusy = 2,     // another program holds the installer open: it is waited for
    kNoticeCheckingInstaller = 3, // the installer's pieces are hashed again before it opens
    kNoticeStatusPlain = 4,       // what the status line said no longer holds
    kNoticeInstallerNotStarted = 5,  // the shell keeps refusing the checked installer: the player
                                     // may open it (the notice's detail); it is still tried
    // The download stopped; the player can end the cause, and it goes on by itself.
    kNoticeDiskFull = 6,          // no space left where it writes (detail: the download folder)
    kNoticeFileHeld = 7,          // another program holds a file of it (detail: the file)
    kNoticeTorrentError = 8,      // another error (detail: the system's words for it)
};

class TorrentMonitor {
public:
    TorrentMonitor() = default;
    TorrentMonitor(const TorrentMonitor&) = delete;
    TorrentMonitor& operator=(const TorrentMonitor&) = delete;
    // Stops the thread and waits for its end: it uses what Start was given.
    ~TorrentMonitor();

    // Starts the thread, once, and returns when it takes thread messages. The session, the
    // download folder (held, and no longer changed) and the window must outlive the thread.
    bool Start(TorrentSession& session, const DownloadFolder& folder, const std::string& downloadDir, HWND window);
    bool Started() const { return static_cast<bool>(m_thread); }
    bool Running() const;
    // Asks a running thread to stop and returns at once.
    void RequestStop();
    // Asks it to stop and waits up to `maxWaitMs`, serving messages sent to this thread
    // meanwhile (the shell, opening the installer on the monitor thread, may send to every
    // top-level window). True once the thread has ended.
    bool Stop(DWORD maxWaitMs);

    HANDLE DoneEvent() const { return m_done.get(); }  // signalled as the thread stops
    HANDLE ThreadHandle() const { return m_thread.get(); }
    DWORD ThreadId() const { return m_threadId; }
    MonitorShared& Shared() { return m_shared; }

    // One pass over the torrents (the thread makes one every 10 ms).
    void Pass();
    // How many times a pass refused to open a torrent's content (any thread may ask).
    int Refusals() const { return m_refusals; }
    // How many times the check before the opening found changed pieces and had them fetched
    // again (any thread may ask).
    int Rechecks() const { return m_rechecks; }

private:
    static UINT TorrentMonitorThreadProc(LPVOID pParam);
    void OpenContent(const lt::torrent_handle& handle, DWORD now);
    void NoteBusy(DWORD now);
    void Refuse(const lt::torrent_handle& handle, const char* why);
    void EndCheck();
    void BalanceWebSeeds(const lt::torrent_handle& handle, DWORD now);
    // Takes the web seed from the library and fetches from the origin itself, when it can.
    void TakeOverOrigin(const lt::torrent_handle& handle);
    std::int64_t LookAtOrigin(const lt::torrent_handle& handle, const SwarmView& view, DWORD elapsed);
    void StartGauge(const lt::torrent_handle& handle);
    void GovernUpload(const lt::torrent_handle& handle, const lt::torrent_status& status, DWORD now);
    void RefreshPeerList(const lt::torrent_handle& handle);
    void ReadAlerts(DWORD now);
    void WatchForStall(const lt::torrent_handle& handle, const lt::torrent_status& status, DWORD now);

    // Given by Start, before the thread runs, and never changed.
    TorrentSession* m_session = nullptr;
    const DownloadFolder* m_folder = nullptr;
    std::wstring m_downloadDir;
    HWND m_window = nullptr;

    UniqueKernelHandle m_thread;  // our own handle to the thread: while open, its id stays its own
    DWORD m_threadId = 0;
    UniqueKernelHandle m_done;
    MonitorShared m_shared;

    // The thread's own state, kept across its passes.
    bool m_started = false;          // the first pass has run
    DWORD m_alertTick = 0;           // alerts were last read then
    DWORD m_startTick = 0;           // the first pass
    bool m_portMapped = false;       // a port mapping succeeded
    bool m_noMappingSaid = false;
    // A stalled download (an error of the torrent, writes waiting for disk space) is told once
    // a while, and the torrent's error cleared now and then so that it tries again.
    DWORD m_statsTick = 0;           // session statistics last asked for
    int m_diskFullLooks = 0;         // statistics in a row with writes waiting for space
    DWORD m_errorRetryTick = 0;      // the torrent's error last cleared
    DWORD m_stallSeenTick = 0;       // a stall last seen (0: none since the last telling ended)
    unsigned m_stallsTold = 0;       // bit per notice told in this stall
    // The latest disk error the library reported for a torrent: after a failed write it may
    // only upload (its own answer), with no error left on the torrent.
    lt::torrent_handle m_fileErrorOf;
    lt::error_code m_fileError;
    std::string m_fileErrorPath;     // UTF-8, as the library names it
    lt::torrent_handle m_launchedFor;  // the main torrent whose installer the shell has accepted
    lt::torrent_handle m_refusedFor;   // one whose content is not ours alone: never opened
    std::atomic<int> m_refusals{0};
    DWORD m_nextOpenTick = 0;        // a failed open is tried again from this tick on
    DWORD m_busySince = 0;           // the installer held by another program since (0: it is not)
    bool m_busyTold = false;         // the player was told so
    bool m_openFailed = false;       // m_nextOpenTick holds
    // The installer held and hashed again before it is opened (torrent/InstallerCheck.h).
    InstallerCheck m_check;
    UniqueKernelHandle m_checkHold;  // the hold taken when it was judged ours alone
    lt::torrent_handle m_checkFor;   // the torrent whose content is held
    std::wstring m_checkTarget;      // what is opened
    int m_checkBar = -1;             // the bar during the check (-1: the torrent's own)
    bool m_checkPassed = false;      // every piece passed; the shell is asked
    DWORD m_shellRefusedSince = 0;   // the shell refused it since (0: it has not)
    bool m_shellRefusalTold = false;
    std::atomic<int> m_rechecks{0};
    // The main torrent's web seeds, taken away while the peers supply (torrent/WebSeedPolicy.h).
    lt::torrent_handle m_webSeedsOf;         // the torrent the policy below watches
    std::vector<std::string> m_webSeedUrls;  // its web seeds as it was added
    WebSeedPolicy m_webSeeds;
    DWORD m_webSeedLookTick = 0;             // the last look
    bool m_webSeedLooked = false;            // m_webSeedTotals holds
    ConnectionTotals m_webSeedTotals;        // what each connection had brought by then
    // The upload governor (torrent/LineGovernor.h): declared before the fetcher, which hands
    // the gauge its round trips, so that the fetcher's threads end first.
    std::unique_ptr<LineGauge> m_gauge;
    bool m_gaugeTried = false;
    LineGovernor m_line;
    DWORD m_lineTick = 0;                    // its last look (0: none yet)
    RemoteUploadMeter m_remoteUpload;        // what was sent through the player's line
    int m_lineLooks = 0;
    // The origin fetched by the launcher itself (torrent/OriginFetcher.h) instead of the
    // library's web seed; stopped before the thread ends.
    bool m_originTried = false;
    std::unique_ptr<OriginFetcher> m_origin;
    OriginPace m_originPace;
    std::int64_t m_originBytesAtLook = 0;
    int m_originLooks = 0;
    std::int64_t m_originRate = 0;           // bytes/s at the last look, for the peer window
};

// One row of the peer window for a peer of a torrent.
PeerRow FormatPeerRow(const lt::peer_info& peer);
