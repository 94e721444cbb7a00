// Reading back what a moved-aside download folder holds of the current download: its bytes are
// data, not code. They are read through handles (never a link, never written), copied into the
// fresh folder and judged there by the piece hashes when the torrent is added; only missing or
// bad pieces are then fetched.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

struct Recovery {
    int filesCopied = 0;        // files of the torrent found aside and copied
    std::int64_t bytesCopied = 0;
    int copiesRemoved = 0;      // aside copies removed: their bytes, whole, are now in the fresh folder
    bool asideRemoved = false;  // the moved-aside folder held nothing more, and is gone
};

// `torrentFile`: the description (ANSI path) whose files are looked for; `aside`: the folder
// the download folder was moved to; `folder`: the fresh download folder. A file already in the
// fresh folder is left alone. An aside copy with one name, read whole while nobody could write
// it, is removed once its bytes are in the fresh folder (nothing is kept twice); so are the lock
// and descriptions identical to the fresh folder's, and resume hints are carried over. Everything
// else stays. `progress(done, total)` is called between blocks; false stops the copying.
Recovery RecoverFromMovedAside(const std::string& torrentFile, const std::wstring& aside, const std::wstring& folder,
                               const std::function<bool(std::int64_t done, std::int64_t total)>& progress);
