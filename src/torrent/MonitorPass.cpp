// One pass of the monitor thread: progress of the main torrent, the peer list, and opening
// the installer once the download is complete.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <set>
#include <string>
#include <vector>

#include <libtorrent/peer_info.hpp>
#include <libtorrent/torrent_status.hpp>

#include "torrent/InstallerPath.h"
#include "common/Diagnostics.h"
#include "torrent/TorrentSession.h"
#include "ui/MirelLauncherDlg.h"
#include "ui/TorrentInfoDlg.h"

namespace {

constexpr DWORD kPeerListIntervalMs = 1000;
constexpr int kCellSize = MAX_PATH;
// A shell that refused the installer is asked again at most this often.
constexpr DWORD kOpenRetryMs = 1000;
// The web seeds' policy looks at the torrent this often.
constexpr DWORD kWebSeedLookMs = 1000;
constexpr double kMiB = 1024.0 * 1024.0;

}  // namespace

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

namespace {

// The peer-list refresh for one torrent. Only the rows are made here; the main thread alone
// touches the peer window, so a refresh can never meet the window's Close.
void RefreshPeerList(CMirelLauncherDlg& dlg, MonitorShared& shared, const lt::torrent_handle& handle) {
    if (shared.peerWindowClosed) return;
    DWORD now = ::GetTickCount();
    if (!(shared.peerListTick.load() + kPeerListIntervalMs < now)) return;
    shared.peerListTick = now;

    std::vector<lt::peer_info> peers;
    handle.get_peer_info(peers);
    std::vector<PeerRow> rows;
    rows.reserve(peers.size());
    for (const lt::peer_info& peer : peers) rows.push_back(FormatPeerRow(peer));
    dlg.PostPeerRows(std::move(rows));
}

// Opens what the torrent downloaded: the file the library wrote, by its UTF-16 path, and only
// when it lies inside the download folder, and the folder and the file are still ours alone
// right before the open (held meanwhile, so that neither can be swapped).
void OpenContent(const DownloadFolder& downloadFolder, const std::wstring& folder, TorrentSession& ses,
                 const lt::torrent_handle& handle, DWORD now) {
    std::wstring target;
    DWORD attributes = INVALID_FILE_ATTRIBUTES;
    if (ContentPath(handle, folder, target))
        attributes = ::GetFileAttributesW(target.c_str());
    const char* refused = nullptr;
    UniqueKernelHandle held;
    if (target.empty() || (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)))
        refused = "not a file inside the download folder";
    else if (attributes != INVALID_FILE_ATTRIBUTES && !(downloadFolder.StillTrusted() && HoldIfStillOurs(target, held)))
        refused = "it or the download folder is no longer ours alone";
    if (refused) {
        ses.refusedFor = handle;
        TorrentDiagnostic(stderr, "%s: not opened, %s\n",
                          Utf8ToAnsi(handle.status(lt::torrent_handle::query_name).name).c_str(), refused);
        return;
    }
    if (attributes != INVALID_FILE_ATTRIBUTES && ShellOpen(target)) {
        ses.launchedFor = handle;
        return;
    }
    ses.openFailed = true;
    ses.nextOpenTick = now + kOpenRetryMs;
}

// Gives the main torrent's web seeds work or takes it away (torrent/WebSeedPolicy.h), once a
// second while it downloads. Each change is a line on the standard output.
void BalanceWebSeeds(TorrentSession& ses, const lt::torrent_handle& handle, DWORD now) {
    if (!(ses.webSeedsOf == handle)) {
        ses.webSeedsOf = handle;
        ses.webSeeds = WebSeedPolicy();
        ses.webSeedUrls.clear();
        ses.webSeedTotals.clear();
        ses.webSeedLooked = false;
        ses.uploadedAtLook = 0;
        ses.uploads = UploadGovernor();
        ses.webSeedLookTick = now - kWebSeedLookMs;
    }
    const DWORD elapsed = now - ses.webSeedLookTick;
    if (elapsed < kWebSeedLookMs) return;
    ses.webSeedLookTick = now;
    // While they work, the torrent's own list is the one to give back later.
    if (ses.webSeeds.WebSeedsOn()) {
        const std::set<std::string> urls = handle.url_seeds();
        ses.webSeedUrls.assign(urls.begin(), urls.end());
    }
    if (ses.webSeedUrls.empty()) return;

    const lt::torrent_status status = handle.status(lt::torrent_handle::query_pieces);
    if (status.state != lt::torrent_status::downloading) return;
    std::vector<lt::peer_info> peers;
    handle.get_peer_info(peers);
    const bool rates = ses.webSeedLooked;
    const SwarmView view = ViewSwarm(status.pieces, peers, ses.webSeedTotals, rates ? elapsed : 0);
    const std::int64_t upRate = rates ? (status.total_payload_upload - ses.uploadedAtLook) * 1000 / elapsed : 0;
    ses.uploadedAtLook = status.total_payload_upload;
    ses.webSeedLooked = true;
    if (rates) {
        const int limit = ses.uploads.Look(ses.webSeeds.WebSeedsOn(), view.webRate, upRate);
        if (limit >= 0) {
            handle.set_upload_limit(limit);
            TorrentDiagnostic(stdout, "upload limit %d KiB/s: web seed %.1f MiB/s, at best %.1f MiB/s\n", limit / 1024,
                              ses.uploads.MeanWebRate() / kMiB, ses.uploads.BestMeanWebRate() / kMiB);
        }
    }
    switch (ses.webSeeds.Look(view, now)) {
    case WebSeedPolicy::Action::Remove:
        for (const std::string& url : ses.webSeedUrls) handle.remove_url_seed(url);
        TorrentDiagnostic(stdout, "web seed off: %d pieces needed (%d to %d), all held by peers; peers %.1f MiB/s, "
                                  "web seed at best %.1f MiB/s\n",
                          view.needed, view.firstNeeded, view.lastNeeded, view.peerRate / kMiB,
                          ses.webSeeds.BestWebRate() / kMiB);
        break;
    case WebSeedPolicy::Action::Restore:
        for (const std::string& url : ses.webSeedUrls) handle.add_url_seed(url);
        if (ses.webSeeds.LastReason() == WebSeedPolicy::Reason::PieceNobodyHolds)
            TorrentDiagnostic(stdout, "web seed on: %d of %d pieces needed held by no peer\n", view.uncovered,
                              view.needed);
        else
            TorrentDiagnostic(stdout, "web seed on: peers %.1f MiB/s\n", view.peerRate / kMiB);
        break;
    case WebSeedPolicy::Action::None:
        break;
    }
}

}  // namespace

void CMirelLauncherDlg::MonitorPass() {
    TorrentSession* ses = m_pSession;
    if (!ses) return;
    try {
        if (!ses->monitorStarted) {
            ses->monitorStarted = true;
            if (m_bInstalled) {
                TransferFigures full;
                full.nBarPos = 100;
                PublishFigures(full);
            }
        }

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
            if (!m_bInstalled && IsMainTorrentKey(entry.first)) {
                status = current.status(lt::torrent_handle::query_accurate_download_counters);
                mainTorrent = current;
                TransferFigures figures;
                figures.bSize = true;
                figures.fDone = static_cast<float>(status.total_done);
                figures.fWanted = static_cast<float>(status.total_wanted);
                // Nothing wanted: no share to show, the bar keeps its position.
                if (figures.fWanted > 0.0f)
                    figures.nBarPos = static_cast<int>(figures.fDone * 100.0 / figures.fWanted);
                PublishFigures(figures);
            }
            RefreshPeerList(*this, m_shared, current);
        }

        // Only the content of the description this run fetched is opened, never that of another
        // torrent file that happens to sort last. A pass without it skips the test. A later run
        // that fetched another description opens that one's installer too.
        if (mainTorrent.is_valid() && !(ses->launchedFor == mainTorrent) && !(ses->refusedFor == mainTorrent) &&
            !m_bInstalled) {
            const DWORD now = ::GetTickCount();
            const bool due = !ses->openFailed || static_cast<LONG>(now - ses->nextOpenTick) >= 0;
            if (status.state == lt::torrent_status::seeding && due) OpenContent(m_downloadFolder, AnsiToWide(m_szDownloadDir), *ses, mainTorrent, now);
        }
        if (mainTorrent.is_valid() && !m_bInstalled) BalanceWebSeeds(*ses, mainTorrent, ::GetTickCount());
    } catch (const std::exception&) {
        // A torrent that went away in the middle of the pass; the next pass sees it removed.
    }
}
