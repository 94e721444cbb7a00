// Finding the torrent files of the download folder and adding them to the session.
#pragma once
#include <string>
#include <vector>

struct LaunchConfig;
struct TorrentSession;

// The main torrent: the description the launcher fetches, the file named exactly "Mirel.ndn".
// Its content alone is ever opened.
bool IsMainTorrentKey(const std::string& key);

// True when a file's name marks a torrent file: it ends in ".ndn" (in that case).
bool IsTorrentFileName(const std::string& name);

// The torrent files of `folder` (names ending in ".ndn"), by full path; links are left out,
// and with `signedOnly` everything but the main torrent when `descriptionChecked`.
std::vector<std::string> FindTorrentFiles(const std::string& folder, bool signedOnly, bool descriptionChecked);

// Adds one torrent to the session with the program's fixed parameters, keyed by the path of its
// file, saved in config.downloadDir; failures are written to the standard error stream and the
// torrent is skipped (false). `content`, when given, is the torrent's metainfo (the description
// that was checked): it is what is added, and the file is not read. A new main torrent replaces
// the earlier one, and removes any other torrent whose files are its files, names compared
// where they really lead (long names, links resolved).
bool AddTorrent(TorrentSession& session, const std::string& torrentFile, const LaunchConfig& config,
                const std::string* content = nullptr);
