// The BitTorrent session of the launcher and the helpers around it.
// Only the torrent part includes this header: the main window keeps an opaque TorrentSession*.
#pragma once
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <libtorrent/peer_info.hpp>
#include <libtorrent/session.hpp>
#include <libtorrent/settings_pack.hpp>
#include <libtorrent/torrent_handle.hpp>

#include <windows.h>

#include "common/CodePage.h"
#include "torrent/SessionSettings.h"
#include "torrent/WebSeedPolicy.h"
#include "common/WholeFile.h"

struct PeerRow;
namespace lt = libtorrent;

// The session and the torrents added to it.
struct TorrentSession {
    std::unique_ptr<lt::session> session;
    // The added torrents: key is the torrent file's full path (or empty), ordered byte-wise; of
    // equal keys the latest added comes last. The sequence adds on the UI thread (on each run)
    // while the monitor thread walks and prunes them, under the lock.
    std::mutex handlesLock;
    std::multimap<std::string, lt::torrent_handle> handles;

    // State of the monitor thread, kept across its passes.
    bool monitorStarted = false;     // the thread-start step has run
    lt::torrent_handle launchedFor;  // the main torrent whose installer the shell has accepted
    lt::torrent_handle refusedFor;   // one whose content lies outside the download folder: never opened
    DWORD nextOpenTick = 0;          // a failed open is tried again from this tick on
    bool openFailed = false;         // nextOpenTick holds

    // The main torrent's web seeds, taken away while the peers supply (torrent/WebSeedPolicy.h).
    lt::torrent_handle webSeedsOf;        // the torrent the policy below watches
    std::vector<std::string> webSeedUrls;  // its web seeds as it was added
    WebSeedPolicy webSeeds;
    DWORD webSeedLookTick = 0;            // the last look
    bool webSeedLooked = false;           // webSeedTotals holds
    ConnectionTotals webSeedTotals;       // what each connection had brought by then
    std::int64_t uploadedAtLook = 0;      // the torrent's payload sent by then
    UploadGovernor uploads;
};

// The main torrent: the description the launcher fetches, "Mirel.ndn" (the file name of the key,
// in any case). Its content alone is ever opened.
bool IsMainTorrentKey(const std::string& key);

// One row of the peer window for a peer of a torrent.
PeerRow FormatPeerRow(const lt::peer_info& peer);
