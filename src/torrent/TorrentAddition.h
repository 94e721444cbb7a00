// Finding the torrent files of the download folder and adding them to the session.
#pragma once
#include <string>
#include <vector>

struct LaunchConfig;
struct TorrentSession;

// The main torrent: the description the launcher fetches, the file named exactly "Mirel.ndn".
// Its content alone is ever opened.
bool IsMainTorrentKey(const std::string& key);

// The torrent files of `folder` (names containing ".ndn"), by full path; links are left out,
// and with `signedOnly` everything but the main torrent when `descriptionChecked`.
std::vector<std::string> FindTorrentFiles(const std::string& folder, bool signedOnly, bool descriptionChecked);

// Adds one torrent file to the session with the program's fixed parameters, keyed by its
// path, saved in config.downloadDir; failures are written to the standard error stream and the
// file is skipped (false). A new main torrent replaces the earlier one, and removes any other
// torrent whose files are its files.
bool AddTorrent(TorrentSession& session, const std::string& torrentFile, const LaunchConfig& config);
