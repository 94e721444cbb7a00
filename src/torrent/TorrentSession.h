// The BitTorrent session of the launcher and the helpers around it.
// Only the torrent part includes this header: the main window keeps an opaque TorrentSession*.
#pragma once
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <libtorrent/peer_info.hpp>
#include <libtorrent/session.hpp>
#include <libtorrent/settings_pack.hpp>
#include <libtorrent/torrent_handle.hpp>

#include <windows.h>

struct PeerRow;
namespace lt = libtorrent;

// The session and the torrents added to it.
struct TorrentSession {
    std::unique_ptr<lt::session> session;
    // The added torrents: key is the torrent file's full path (or empty), ordered byte-wise.
    // Filled on the UI thread before the monitor thread starts; after that only the monitor
    // thread touches it.
    std::multimap<std::string, lt::torrent_handle> handles;

    // State of the monitor thread, kept across its passes.
    bool monitorStarted = false;  // the thread-start step has run
    bool launched = false;        // the shell has accepted the installer
    bool openRefused = false;     // the content lies outside the download folder: never opened
    DWORD nextOpenTick = 0;       // a failed open is tried again from this tick on
    bool openFailed = false;      // nextOpenTick holds
};

// The session settings of the program, as a complete pack: the library defaults with the
// program's own values (identity, DHT routers, proxies, listen range, transfer settings).
lt::settings_pack MakeSessionSettings(int listenPort, const std::string& listenInterface);

// Reads a saved session state (".ses_state" form). True when the file was present, not empty
// and valid bencoding within the depth limit; then `state` holds what it carried.
bool ReadSessionState(const char* fileName, lt::session_params& state);

// Puts the program's settings over a loaded state: everything the program configures comes
// from `program`; the loaded state keeps only what the program does not configure (the DHT's
// own tuning and the encryption policy) and the DHT's node ids and routing table.
lt::session_params MergeSessionState(lt::session_params&& state, const lt::settings_pack& program);

// Text in the ANSI code page (949 here) <-> UTF-8, the library's encoding.
std::string AnsiToUtf8(const std::string& text);
std::string Utf8ToAnsi(const std::string& text);
// An ANSI path as the library wants it: UTF-8, runs of separators folded into one (the
// library hands Windows "\\?\" paths, which are not normalised).
std::string ToLibraryPath(const std::string& ansiPath);

// One row of the peer window for a peer of a torrent.
PeerRow FormatPeerRow(const lt::peer_info& peer);

// Reads a whole file given by an ANSI path; false when it cannot be opened or read.
bool ReadWholeFile(const std::string& ansiPath, std::vector<char>& buffer);
