// The BitTorrent session of the launcher and the torrents added to it.
#pragma once
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <libtorrent/session.hpp>
#include <libtorrent/torrent_handle.hpp>

namespace lt = libtorrent;

// The session and the torrents added to it.
struct TorrentSession {
    std::unique_ptr<lt::session> session;
    // The added torrents: key is the torrent file's full path (or empty), ordered byte-wise; of
    // equal keys the latest added comes last. The sequence adds on the UI thread (on each run)
    // while the monitor thread walks and prunes them, under the lock.
    std::mutex handlesLock;
    std::multimap<std::string, lt::torrent_handle> handles;
};

struct LaunchConfig;

// The session with the program's fixed configuration (over the saved state in the working
// directory's ".ses_state", which is read and never written); null when the library fails.
std::unique_ptr<TorrentSession> OpenTorrentSession(const LaunchConfig& config);
