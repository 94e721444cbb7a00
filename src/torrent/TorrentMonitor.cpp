#include "torrent/TorrentMonitor.h"

#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <set>
#include <string>
#include <vector>

#include <libtorrent/address.hpp>
#include <libtorrent/alert_types.hpp>
#include <libtorrent/peer_info.hpp>
#include <libtorrent/session_stats.hpp>
#include <libtorrent/settings_pack.hpp>
#include <libtorrent/torrent_info.hpp>
#include <libtorrent/torrent_status.hpp>

#include "common/CodePage.h"
#include "common/Diagnostics.h"
#include "common/FilePaths.h"
#include "framework/afxwin.h"
#include "launcher/DownloadFolder.h"
#include "launcher/FolderTrust.h"
#include "download/HttpRange.h"
#include "torrent/InstallerCheck.h"
#include "torrent/InstallerPath.h"
#include "torrent/TorrentAddition.h"
#include "torrent/TorrentSession.h"

namespace {

constexpr DWORD kPeerListIntervalMs = 1000;
constexpr int kCellSize = MAX_PATH;
// A shell that refused the installer is asked again at most this often.
constexpr DWORD kOpenRetryMs = 1000;
// An installer held open by another program this long is reported to the player.
constexpr DWORD kBusyNoticeMs = 5000;
// The installer's pieces hashed in one pass (about 20 ms under Wine, which read and hashed
// 775 MiB/s from the cache; a 4 GiB installer is checked in about 5 s): the thread keeps
// publishing and answering between them.
constexpr std::int64_t kCheckBytesPerPass = 16 * 1024 * 1024;
// The web seeds' policy looks at the torrent this often; the origin fetcher's view is
// renewed more often, and one of its looks in four is a diagnostic line.
constexpr DWORD kWebSeedLookMs = 1000;
constexpr DWORD kOriginLookMs = 250;
constexpr int kOriginLooksPerLine = 4;
constexpr DWORD kAlertIntervalMs = 200;
// The disk back-end's writes waiting for space are looked at this often, and told after two
// looks in a row (a full disk is tried again every 2 s).
constexpr DWORD kStatsIntervalMs = 1000;
constexpr int kDiskFullLooks = 2;
// A torrent in error is cleared and tried again this often; a stall not seen for this long is
// over, and a later one is told again.
constexpr DWORD kErrorRetryMs = 5000;
constexpr DWORD kStallOverMs = 15000;
// Without a port mapping by then, a diagnostic line says so.
constexpr DWORD kNoMappingMs = 15000;
constexpr double kMiB = 1024.0 * 1024.0;
constexpr DWORD kPassIntervalMs = 10;
// Connections the launcher keeps to the origin when it fetches from it itself, each with one
// request of a piece at a time: between an answer's end and the next answer's start each waits
// a round trip (the player's uplink queue included), which the others fill. Two brought about
// 2.7 MiB/s of a 4 MiB/s origin on 1 MiB/s uplinks, four 3.7, six 3.5 to 3.9; eight brought
// 3.6, but with eight launchers made the origin send 1.86 x the installer instead of 1.19 x
// (pieces in flight at two launchers at once; see docs/swarm.md).
constexpr int kOriginConnections = 6;

struct StartContext {
    TorrentMonitor* monitor;
    HANDLE hQueueReady;
};

}  // namespace

UINT TorrentMonitor::TorrentMonitorThreadProc(LPVOID pParam) {
    auto* ctx = static_cast<StartContext*>(pParam);
    TorrentMonitor* monitor = ctx->monitor;
    MSG msg;
    // Make the thread's message queue before anyone posts to it.
    ::PeekMessageA(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    ::SetEvent(ctx->hQueueReady);  // ctx is gone after this
    // The shell opens the installer from this thread, and wants COM in a single-threaded
    // apartment there.
    const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);

    for (;;) {
        while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.hwnd == nullptr && (msg.message == WM_MONITOR_STOP || msg.message == WM_CLOSE)) {
                monitor->m_origin.reset();  // its threads use the session
                monitor->m_gauge.reset();
                monitor->EndCheck();
                if (SUCCEEDED(com)) ::CoUninitialize();
                ::SetEvent(monitor->m_done.get());
                return 0;
            }
            // Thread messages are dropped; the windows COM keeps on this thread get theirs.
            if (msg.hwnd) ::DispatchMessageA(&msg);
        }
        monitor->Pass();
        ::Sleep(kPassIntervalMs);
    }
}

TorrentMonitor::~TorrentMonitor() { Stop(INFINITE); }

bool TorrentMonitor::Start(TorrentSession& session, const DownloadFolder& folder, const std::string& downloadDir,
                           HWND window) {
    if (m_thread) return false;
    m_session = &session;
    m_folder = &folder;
    m_downloadDir = AnsiToWide(downloadDir);
    m_window = window;
    m_done.reset(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
    UniqueKernelHandle ready(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!m_done || !ready) return false;
    StartContext ctx{this, ready.get()};
    CWinThread* pThread = AfxBeginThread(&TorrentMonitorThreadProc, &ctx, THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED);
    if (!pThread) return false;
    pThread->m_bAutoDelete = TRUE;
    m_threadId = pThread->m_nThreadID;
    ::DuplicateHandle(::GetCurrentProcess(), pThread->m_hThread, ::GetCurrentProcess(), m_thread.put(), SYNCHRONIZE,
                      FALSE, 0);
    ::ResumeThread(pThread->m_hThread);  // from here on the object may delete itself
    ::WaitForSingleObject(ready.get(), INFINITE);
    return true;
}

bool TorrentMonitor::Running() const { return m_thread && ::WaitForSingleObject(m_thread.get(), 0) == WAIT_TIMEOUT; }

// Only to a thread that still runs: while our handle to it is open, its id cannot pass to
// another thread, so a thread that ends after the check gets nothing and nobody else does.
void TorrentMonitor::RequestStop() {
    if (Running()) ::PostThreadMessageA(m_threadId, WM_MONITOR_STOP, 0, 0);
}

bool TorrentMonitor::Stop(DWORD maxWaitMs) {
    if (!Running()) return true;
    RequestStop();
    HANDLE thread = m_thread.get();
    WaitServingSentMessages(&thread, 1, maxWaitMs);
    return !Running();
}

PeerRow FormatPeerRow(const lt::peer_info& peer) {
    PeerRow row;
    char cell[kCellSize];
    const char* kind = peer.connection_type == lt::peer_info::standard_bittorrent ? "p2p" : "http";
    std::memset(cell, 0, sizeof(cell));
    std::snprintf(cell, sizeof(cell), "%s %s : %d", kind, peer.ip.address().to_string().c_str(),
                  static_cast<int>(peer.ip.port()));
    row.cells[0] = cell;
    std::memset(cell, 0, sizeof(cell));
    std::snprintf(cell, sizeof(cell), "%d byte/s", peer.up_speed);
    row.cells[1] = cell;
    row.cells[2] = std::to_string(static_cast<long long>(peer.total_upload)) + " byte";
    std::memset(cell, 0, sizeof(cell));
    std::snprintf(cell, sizeof(cell), "%d byte/s", peer.down_speed);
    row.cells[3] = cell;
    row.cells[4] = std::to_string(static_cast<long long>(peer.total_download)) + " byte";
    return row;
}

// The peer-list refresh for one torrent. Only the rows are made here; the window's thread alone
// touches the peer window, so a refresh can never meet the window's Close.
void TorrentMonitor::RefreshPeerList(const lt::torrent_handle& handle) {
    if (m_shared.peerWindowClosed) return;
    DWORD now = ::GetTickCount();
    if (!(m_shared.peerListTick.load() + kPeerListIntervalMs < now)) return;
    m_shared.peerListTick = now;

    std::vector<lt::peer_info> peers;
    handle.get_peer_info(peers);
    std::vector<PeerRow> rows;
    rows.reserve(peers.size());
    for (const lt::peer_info& peer : peers) rows.push_back(FormatPeerRow(peer));
    // The origin, when the launcher fetches from it itself, is a row as the web seed was.
    if (m_origin && m_webSeedsOf == handle) rows.push_back(FormatPeerRow(m_origin->AsPeer(m_originRate)));
    m_shared.PostRows(std::move(rows));
    ::PostMessageA(m_window, WM_APP_PEER_ROWS, 0, 0);
}

// Another program holds the installer: asked again shortly, and after a while the player is
// told why the installer waits.
void TorrentMonitor::NoteBusy(DWORD now) {
    if (!m_busySince) m_busySince = now | 1;
    else if (!m_busyTold && now - m_busySince >= kBusyNoticeMs) {
        m_busyTold = true;
        ::PostMessageA(m_window, WM_APP_NOTICE, kNoticeInstallerBusy, 0);
    }
    m_openFailed = true;
    m_nextOpenTick = now + kOpenRetryMs;
}

void TorrentMonitor::Refuse(const lt::torrent_handle& handle, const char* why) {
    m_check.Release();
    m_checkHold.reset();
    m_checkBar = -1;
    m_refusedFor = handle;
    ++m_refusals;
    DiagnosticLine(stderr, "%s: not opened, %s\n", Utf8ToAnsi(handle.status(lt::torrent_handle::query_name).name).c_str(),
                   why);
    ::PostMessageA(m_window, WM_APP_NOTICE, kNoticeInstallerRefused, 0);
}

// Lets the installer go, and the bar show the torrent again.
void TorrentMonitor::EndCheck() {
    m_check.Release();
    m_checkHold.reset();
    m_checkFor = lt::torrent_handle();
    m_checkBar = -1;
    m_checkPassed = false;
    m_shellRefusedSince = 0;
}

// Opens what the torrent downloaded: the file the library wrote, by its UTF-16 path, and only
// when it lies inside the download folder, and the folder and the file are still ours alone.
// From then on its files are held (read sharing alone), every piece is hashed again through
// them, a part each pass, with the bar showing how far, and the installer is opened while still
// held. A piece that fails is fetched again: the library checks the files anew.
void TorrentMonitor::OpenContent(const lt::torrent_handle& handle, DWORD now) {
    std::wstring target;
    if (!m_check.Held()) {
        DWORD attributes = INVALID_FILE_ATTRIBUTES;
        if (ContentPath(handle, m_downloadDir, target))
            attributes = ::GetFileAttributesW(ExtendedPath(target).c_str());
        UniqueKernelHandle held;
        if (target.empty() || (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)))
            return Refuse(handle, "not a file inside the download folder");
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            m_openFailed = true;
            m_nextOpenTick = now + kOpenRetryMs;
            return;
        }
        const OpenCheck check = m_folder->StillTrusted() ? HoldIfStillOurs(target, held) : OpenCheck::NotOurs;
        if (check == OpenCheck::Busy) return NoteBusy(now);
        if (check == OpenCheck::NotOurs) return Refuse(handle, "it or the download folder is no longer ours alone");
        const std::string savePath = handle.status(lt::torrent_handle::query_save_path).save_path;
        std::wstring base;
        if (!Utf8ToWide(savePath, base)) return Refuse(handle, "its save path cannot be read");
        const InstallerCheck::Take take = m_check.Hold(handle.torrent_file(), FullPath(base), held.get());
        if (take == InstallerCheck::Take::Busy) return NoteBusy(now);
        if (take == InstallerCheck::Take::Failed) return Refuse(handle, "its files are not the ones checked");
        m_checkHold = std::move(held);
        m_checkFor = handle;
        m_checkTarget = target;
        m_checkBar = 0;
        ::PostMessageA(m_window, WM_APP_NOTICE, kNoticeCheckingInstaller, 0);
    }

    const bool done = m_check.Step(kCheckBytesPerPass);
    const std::int64_t total = m_check.Total();
    m_checkBar = total > 0 ? static_cast<int>(m_check.Checked() * 100 / total) : 100;
    if (m_check.Busy()) return NoteBusy(now);
    m_busySince = 0;
    if (!done) return;

    if (!m_check.Hashed())
        DiagnosticLine(stderr, "%s: no SHA-1 piece hashes; held through the opening, judged by the library alone\n",
                       Utf8ToAnsi(handle.status(lt::torrent_handle::query_name).name).c_str());
    if (!m_check.BadPieces().empty()) {
        DiagnosticLine(stderr, "%s: %d piece(s) changed on disk since they were checked (the first: %d); "
                               "fetched again, not opened\n",
                       Utf8ToAnsi(handle.status(lt::torrent_handle::query_name).name).c_str(),
                       static_cast<int>(m_check.BadPieces().size()), m_check.BadPieces().front());
        ++m_rechecks;
        EndCheck();  // the library's check reads the files itself
        handle.force_recheck();
        ::PostMessageA(m_window, WM_APP_NOTICE, kNoticeStatusPlain, 0);
        return;
    }
    if (!m_checkPassed) {
        m_checkPassed = true;
        ::PostMessageA(m_window, WM_APP_NOTICE, kNoticeStatusPlain, 0);
    }
    if (ShellOpen(m_checkTarget)) {
        m_launchedFor = handle;
        EndCheck();  // the installer's process holds its own image by now
        return;
    }
    // Held still: the shell is asked again shortly, for the same checked bytes. One that keeps
    // refusing (a path it cannot take, a program it will not start) is told, with the file.
    if (!m_shellRefusedSince) {
        m_shellRefusedSince = now | 1;
    } else if (!m_shellRefusalTold && now - m_shellRefusedSince >= kBusyNoticeMs) {
        m_shellRefusalTold = true;
        m_shared.SetNoticeDetail(kNoticeInstallerNotStarted, m_checkTarget);
        DiagnosticLine(stderr, "%s: the shell does not open it\n", WideToAnsi(m_checkTarget).c_str());
        ::PostMessageA(m_window, WM_APP_NOTICE, kNoticeInstallerNotStarted, 0);
    }
    m_openFailed = true;
    m_nextOpenTick = now + kOpenRetryMs;
}

// Gives the main torrent's web seeds work or takes it away (torrent/WebSeedPolicy.h), once a
// second while it downloads. Each change is a line on the standard output.
void TorrentMonitor::BalanceWebSeeds(const lt::torrent_handle& handle, DWORD now) {
    if (!(m_webSeedsOf == handle)) {
        m_webSeedsOf = handle;
        m_webSeeds = WebSeedPolicy();
        m_webSeedUrls.clear();
        m_webSeedTotals.clear();
        m_webSeedLooked = false;
        m_webSeedLookTick = now - kWebSeedLookMs;
        m_origin.reset();  // before the gauge its threads hand round trips to
        m_gauge.reset();
        m_gaugeTried = false;
        if (m_line.Limit() > 0) ApplyLineLimit(*m_session->session, 0);  // another torrent's line
        m_line = LineGovernor();
        m_remoteUpload = RemoteUploadMeter();
        m_lineTick = 0;
        m_lineLooks = 0;
        m_originTried = false;
        m_originPace = OriginPace();
        m_originLooks = 0;
        m_originBytesAtLook = 0;
    }
    const DWORD elapsed = now - m_webSeedLookTick;
    if (elapsed < (m_origin ? kOriginLookMs : kWebSeedLookMs)) return;
    m_webSeedLookTick = now;
    // While they work, the torrent's own list is the one to give back later.
    if (m_webSeeds.WebSeedsOn() && !m_origin) {
        const std::set<std::string> urls = handle.url_seeds();
        m_webSeedUrls.assign(urls.begin(), urls.end());
    }
    if (m_webSeedUrls.empty()) return;

    const lt::torrent_status status = handle.status(lt::torrent_handle::query_pieces);
    if (status.state == lt::torrent_status::seeding || status.state == lt::torrent_status::finished) m_origin.reset();
    if (status.state != lt::torrent_status::downloading) return;
    if (!m_originTried) TakeOverOrigin(handle);
    std::vector<lt::peer_info> peers;
    handle.get_peer_info(peers);
    std::vector<lt::partial_piece_info> queue;
    handle.get_download_queue(queue);
    const bool rates = m_webSeedLooked;
    const SwarmView view = ViewSwarm(status.pieces, peers, queue, m_webSeedTotals, rates ? elapsed : 0);
    m_webSeedLooked = true;
    if (m_origin) {
        LookAtOrigin(handle, view, rates ? elapsed : 0);
        return;
    }
    // The policy's view at each look.
    DiagnosticLine(stdout, "web seed look: %s; %d pieces needed, %d held by no ready peer (%d of them at the web seed), "
                           "%d in flight at peers, %d at the web seed; peers %d, ready %d; peers %.2f MiB/s, "
                           "web seed %.2f MiB/s, at best %.2f MiB/s\n",
                   m_webSeeds.WebSeedsOn() ? "on" : "off", view.needed, view.uncovered, view.uncoveredAtWebSeed,
                   view.inFlightAtPeers, view.atWebSeed, view.peers, view.ready, view.peerRate / kMiB,
                   view.webRate / kMiB, m_webSeeds.BestWebRate() / kMiB);
    switch (m_webSeeds.Look(view, now)) {
    case WebSeedPolicy::Action::Remove:
        for (const std::string& url : m_webSeedUrls) handle.remove_url_seed(url);
        DiagnosticLine(stdout, "web seed off: %d pieces needed (%d to %d), all held by peers; peers %.1f MiB/s, "
                                  "web seed at best %.1f MiB/s\n",
                          view.needed, view.firstNeeded, view.lastNeeded, view.peerRate / kMiB,
                          m_webSeeds.BestWebRate() / kMiB);
        break;
    case WebSeedPolicy::Action::Restore:
        for (const std::string& url : m_webSeedUrls) handle.add_url_seed(url);
        if (m_webSeeds.LastReason() == WebSeedPolicy::Reason::PieceNobodyHolds)
            DiagnosticLine(stdout, "web seed on: %d of %d pieces needed held by no peer\n", view.uncovered,
                              view.needed);
        else
            DiagnosticLine(stdout, "web seed on: peers %.1f MiB/s\n", view.peerRate / kMiB);
        break;
    case WebSeedPolicy::Action::None:
        break;
    }
}

void TorrentMonitor::TakeOverOrigin(const lt::torrent_handle& handle) {
    m_originTried = true;
    const std::shared_ptr<const lt::torrent_info> info = handle.torrent_file();
    HttpUrl url;
    // One plain-HTTP web seed naming the file of a one-file torrent; anything else stays the
    // library's web seed, under the policy of torrent/WebSeedPolicy.h.
    if (!info || info->num_files() != 1 || m_webSeedUrls.size() != 1 || !ParseHttpUrl(m_webSeedUrls[0], url) ||
        url.path.back() == '/')
        return;
    std::string source = m_session->session->get_settings().get_str(lt::settings_pack::outgoing_interfaces);
    lt::error_code ec;
    const lt::address address = lt::make_address(source, ec);
    if (ec || !address.is_v4()) source.clear();
    for (const std::string& seed : m_webSeedUrls) handle.remove_url_seed(seed);
    m_origin = std::make_unique<OriginFetcher>(handle, url, source, info->piece_length(), info->total_size(),
                                               info->num_pieces());
    StartGauge(handle);
    m_origin->Start(kOriginConnections, m_gauge.get());
    DiagnosticLine(stdout, "origin: the launcher fetches the pieces nobody else brings from %s\n",
                   m_webSeedUrls[0].c_str());
}

// The line's round trips are measured from the address the torrent's connections leave from,
// to the origin (torrent/LineGovernor.h); the player's own upload limit stays the ceiling.
void TorrentMonitor::StartGauge(const lt::torrent_handle& handle) {
    if (m_gaugeTried || m_webSeedUrls.empty()) return;
    m_gaugeTried = true;
    HttpUrl url;
    if (!ParseHttpUrl(m_webSeedUrls[0], url, true)) return;
    std::string source = m_session->session->get_settings().get_str(lt::settings_pack::outgoing_interfaces);
    lt::error_code ec;
    const lt::address address = lt::make_address(source, ec);
    if (ec || !address.is_v4()) source.clear();
    m_line = LineGovernor();
    m_line.SetCeiling(std::max(0, handle.upload_limit()));
    m_gauge = std::make_unique<LineGauge>(url, source);
    m_gauge->Start();
}

// Four looks a second at the line, while the installer downloads and while the torrent
// shares it afterwards; one look a second is a diagnostic line.
void TorrentMonitor::GovernUpload(const lt::torrent_handle& handle, const lt::torrent_status& status, DWORD now) {
    if (!(m_webSeedsOf == handle)) return;
    StartGauge(handle);
    if (!m_gauge) return;
    const DWORD elapsed = now - m_lineTick;
    if (m_lineTick && elapsed < kOriginLookMs) return;
    // What leaves through the player's line: peers on the player's own network (a PC room,
    // a household) are neither counted nor held to the limit, which is on the session's global
    // class; the player's own limit stays on the torrent.
    std::vector<lt::peer_info> peers;
    handle.get_peer_info(peers);
    const std::int64_t sent = m_remoteUpload.Take(peers);
    const std::int64_t upRate = m_lineTick && elapsed ? sent * 1000 / elapsed : 0;
    m_lineTick = now;
    const std::vector<double> roundTrips = m_gauge->Take();
    const int limit = m_line.Look(roundTrips, upRate, now);
    if (limit >= 0) ApplyLineLimit(*m_session->session, m_line.Limit() > 0 ? limit : 0);
    // Round trips four times a second while the torrent uploads or a limit stands.
    m_gauge->SetEager(upRate >= LineGovernor::kFloor || m_line.Limit() > 0);
    if (m_lineLooks++ % kOriginLooksPerLine == 0)
        DiagnosticLine(stdout, "line look: base %.1f ms, queue %.1f ms (%d round trips, %d handshakes); "
                               "upload %.2f MiB/s, carried %.2f MiB/s, limit %d KiB/s\n",
                       m_line.BaseMs(), m_line.QueueMs(), static_cast<int>(roundTrips.size()), m_gauge->Probes(),
                       upRate / kMiB, m_line.Carried() / kMiB, m_line.Limit() / 1024);
}

// One look at the swarm for the origin fetcher: it gets the pieces' sources and whether the
// peers are slower than the origin; a fetcher that gave up hands the web seed back to the library.
std::int64_t TorrentMonitor::LookAtOrigin(const lt::torrent_handle& handle, const SwarmView& view, DWORD elapsed) {
    const std::int64_t given = m_origin->BytesGiven();
    const std::int64_t originRate = elapsed ? (given - m_originBytesAtLook) * 1000 / elapsed : 0;
    m_originBytesAtLook = given;
    if (m_originLooks % kOriginLooksPerLine == 0) m_originRate = originRate;
    const bool slow = elapsed ? m_originPace.Look(view.peerRate, originRate) : false;
    m_origin->Update(view.sources, slow);
    int held = 0;
    for (PieceSource source : view.sources) held += source == PieceSource::Peer;
    if (m_originLooks++ % kOriginLooksPerLine == 0)
        DiagnosticLine(stdout, "origin look: %d pieces needed, %d held by live peers, %d in flight at them, %d nobody's; "
                           "peers %d, ready %d, stalled %d; peers %.2f MiB/s, origin %.2f MiB/s (best %.2f)%s\n",
                   view.needed, held, view.needed - held - view.uncovered, view.uncovered, view.peers, view.ready,
                   view.stalled, view.peerRate / kMiB, originRate / kMiB, m_originPace.BestOriginRate() / kMiB,
                   slow ? "; peers slower: held pieces too" : "");
    if (m_origin->GaveUp()) {
        const std::string error = m_origin->LastError();
        m_origin.reset();
        for (const std::string& url : m_webSeedUrls) handle.add_url_seed(url);
        DiagnosticLine(stdout, "origin: fetching failed (%s); the web seed is the library's again\n", error.c_str());
    }
    return originRate;
}

// What stops the main torrent's download is told to the player, with what to do: a full disk
// (the disk back-end holds the writes and tries them again), a file another program holds, any
// other error of the torrent. An error is cleared every few seconds, so that the download goes
// on by itself once its cause is gone.
void TorrentMonitor::WatchForStall(const lt::torrent_handle& handle, const lt::torrent_status& status, DWORD now) {
    // After a failed write the library may leave the torrent only uploading, its error cleared.
    const bool complete =
        status.state == lt::torrent_status::seeding || status.state == lt::torrent_status::finished;
    const bool uploadOnly = !complete && (status.flags & lt::torrent_flags::upload_mode);
    lt::error_code cause = status.errc;
    std::string file;  // UTF-8
    if (cause) {
        const std::shared_ptr<const lt::torrent_info> info = handle.torrent_file();
        if (info && status.error_file >= lt::file_index_t{0} && status.error_file < info->files().end_file())
            file = info->files().file_path(status.error_file,
                                           handle.status(lt::torrent_handle::query_save_path).save_path);
    } else if (uploadOnly && m_fileErrorOf == handle) {
        cause = m_fileError;
        file = m_fileErrorPath;
    }
    WPARAM notice = 0;
    std::wstring detail;
    if (cause || uploadOnly) {
        const bool system = cause.category() == lt::system_category();
        const int code = cause.value();
        if ((system && (code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL)) ||
            (cause && cause == boost::system::errc::no_space_on_device)) {
            notice = kNoticeDiskFull;
        } else if (system && (code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION)) {
            notice = kNoticeFileHeld;
            if (!file.empty() && Utf8ToWide(file, detail))
                for (wchar_t& c : detail)
                    if (c == L'/') c = L'\\';
        } else {
            notice = kNoticeTorrentError;
            detail = AnsiToWide(cause ? cause.message() : std::string("upload only"));
        }
        if (now - m_errorRetryTick >= kErrorRetryMs) {
            m_errorRetryTick = now;
            DiagnosticLine(stderr, "download stopped (%s); tried again\n",
                           cause ? cause.message().c_str() : "upload only");
            handle.clear_error();
            handle.unset_flags(lt::torrent_flags::upload_mode);
            handle.resume();
        }
    } else if (m_diskFullLooks >= kDiskFullLooks) {
        notice = kNoticeDiskFull;
    }
    if (notice == kNoticeDiskFull || (notice == kNoticeFileHeld && detail.empty())) detail = m_downloadDir;
    if (!notice) {
        if (m_stallSeenTick && now - m_stallSeenTick >= kStallOverMs) {
            m_stallSeenTick = 0;
            m_stallsTold = 0;
        }
        return;
    }
    m_stallSeenTick = now | 1;
    const unsigned bit = 1u << notice;
    if (m_stallsTold & bit) return;
    m_stallsTold |= bit;
    m_shared.SetNoticeDetail(notice, detail);
    ::PostMessageA(m_window, WM_APP_NOTICE, notice, 0);
}

// The session's alerts, read by this thread alone: the port mappings' results (UPnP and NAT-PMP,
// which a player's router may or may not offer) become diagnostic lines; the rest is dropped.
void TorrentMonitor::ReadAlerts(DWORD now) {
    if (now - m_alertTick < kAlertIntervalMs) return;
    m_alertTick = now;
    if (now - m_statsTick >= kStatsIntervalMs) {
        m_statsTick = now;
        m_session->session->post_session_stats();
    }
    static const int blockedJobs = lt::find_metric_idx("disk.blocked_disk_jobs");
    std::vector<lt::alert*> alerts;
    m_session->session->pop_alerts(&alerts);
    for (const lt::alert* a : alerts) {
        // A piece the origin gave that the library found bad counts against the origin.
        if (const auto* bad = lt::alert_cast<lt::hash_failed_alert>(a))
            if (m_origin && bad->handle == m_webSeedsOf) m_origin->HashFailed(static_cast<int>(bad->piece_index));
        if (const auto* failed = lt::alert_cast<lt::file_error_alert>(a)) {
            m_fileErrorOf = failed->handle;
            m_fileError = failed->error;
            m_fileErrorPath = failed->filename();
        }
        if (const auto* stats = lt::alert_cast<lt::session_stats_alert>(a)) {
            const lt::span<const std::int64_t> values = stats->counters();
            const bool waiting = blockedJobs >= 0 && blockedJobs < values.size() && values[blockedJobs] > 0;
            m_diskFullLooks = waiting ? m_diskFullLooks + 1 : 0;
        }
        if (lt::alert_cast<lt::portmap_alert>(a)) m_portMapped = true;
        if (lt::alert_cast<lt::portmap_alert>(a) || lt::alert_cast<lt::portmap_error_alert>(a))
            DiagnosticLine(stdout, "port mapping: %s\n", a->message().c_str());
    }
    // A router that offers neither answers nothing at all: said once.
    if (!m_portMapped && !m_noMappingSaid && now - m_startTick >= kNoMappingMs) {
        m_noMappingSaid = true;
        DiagnosticLine(stdout, "port mapping: none after %u s (no router answered over UPnP or NAT-PMP)\n",
                       static_cast<unsigned>(kNoMappingMs / 1000));
    }
}

void TorrentMonitor::Pass() {
    TorrentSession* ses = m_session;
    if (!ses) return;
    const bool installed = m_shared.installed;
    try {
        if (!m_started) {
            m_started = true;
            m_startTick = ::GetTickCount();
            if (installed) {
                MonitorShared::Figures full;
                full.barPos = 100;
                m_shared.PublishFigures(full);
            }
        }

        if (ses->session) ReadAlerts(::GetTickCount());

        // The entries as they stand: a later run of the sequence may add to them meanwhile.
        std::vector<std::pair<std::string, lt::torrent_handle>> entries;
        {
            std::lock_guard<std::mutex> lock(ses->handlesLock);
            for (auto it = ses->handles.begin(); it != ses->handles.end();) {
                if (!it->second.is_valid()) {
                    it = ses->handles.erase(it);
                    continue;
                }
                entries.push_back(*it);
                ++it;
            }
        }

        lt::torrent_handle mainTorrent;  // the main torrent, whose content is the installer
        lt::torrent_status status;
        for (const auto& entry : entries) {
            const lt::torrent_handle& current = entry.second;
            if (!installed && IsMainTorrentKey(entry.first)) {
                status = current.status(lt::torrent_handle::query_accurate_download_counters);
                mainTorrent = current;
                MonitorShared::Figures figures;
                figures.hasSize = true;
                figures.done = static_cast<float>(status.total_done);
                figures.wanted = static_cast<float>(status.total_wanted);
                // Nothing wanted: no share to show, the bar keeps its position. While the
                // installer is checked, the bar shows how far.
                if (m_checkBar >= 0 && m_checkFor == current)
                    figures.barPos = m_checkBar;
                else if (figures.wanted > 0.0f)
                    figures.barPos = static_cast<int>(figures.done * 100.0 / figures.wanted);
                m_shared.PublishFigures(figures);
            }
            RefreshPeerList(current);
        }

        // Only the content of the description this run fetched is opened, never that of another
        // torrent file that happens to sort last. A pass without it skips the test. A later run
        // that fetched another description opens that one's installer too.
        // A check under way ends when its torrent is no longer the complete main one.
        if (m_check.Held() && (!(m_checkFor == mainTorrent) || installed || status.state != lt::torrent_status::seeding)) {
            EndCheck();
            ::PostMessageA(m_window, WM_APP_NOTICE, kNoticeStatusPlain, 0);
        }
        if (mainTorrent.is_valid() && !(m_launchedFor == mainTorrent) && !(m_refusedFor == mainTorrent) && !installed) {
            const DWORD now = ::GetTickCount();
            const bool due = !m_openFailed || static_cast<LONG>(now - m_nextOpenTick) >= 0;
            if (status.state == lt::torrent_status::seeding && due) OpenContent(mainTorrent, now);
        }
        if (mainTorrent.is_valid() && !installed) {
            WatchForStall(mainTorrent, status, ::GetTickCount());
            BalanceWebSeeds(mainTorrent, ::GetTickCount());
            GovernUpload(mainTorrent, status, ::GetTickCount());
        } else {
            m_origin.reset();
            m_gauge.reset();
        }
    } catch (const std::exception&) {
        // A torrent that went away in the middle of the pass; the next pass sees it removed.
    }
}
