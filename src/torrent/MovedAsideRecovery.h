// Reading back what a moved-aside download folder holds of the current download: its bytes are
// data, not code. They are read through handles (never a link, never written), copied into the
// fresh folder and judged there by the piece hashes, here and again when the torrent is added;
// only missing or bad pieces are then fetched.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

struct Recovery {
    int filesCopied = 0;        // files of the torrent found aside and copied
    std::int64_t bytesCopied = 0;
    int copiesRemoved = 0;      // aside copies removed: their bytes are in the fresh folder, proven
    bool asideFound = false;    // the moved-aside folder was there to read
    bool asideRemoved = false;  // the moved-aside folder held nothing more, and is gone
    bool stopped = false;       // `progress` said stop: what is left is read back another time
};

// `description`: the torrent's metainfo (the description that was checked, as bytes: never read
// again from a file) whose files are looked for; `aside`: the folder the download folder was
// moved to; `folder`: the fresh download folder. Only the torrent's own files are carried in,
// each at most as long as the torrent says: a file already in the fresh folder is left alone,
// nothing else (no resume data, no other torrent file) is copied. An aside copy with one name,
// read whole while nobody could write it, is removed once every piece it holds has passed the
// piece hash in the fresh folder (or holds nothing but zeros there: a part never written), so
// that nothing is kept twice and nothing unproven is lost; so are the lock and descriptions
// identical to the fresh folder's. Everything else stays. `progress(done, total)` is called
// between blocks, over the copying and the hashing; false stops the work (a copy cut short is
// removed from the fresh folder, its aside copy staying whole).
Recovery RecoverFromMovedAside(const std::string& description, const std::wstring& aside, const std::wstring& folder,
                               const std::function<bool(std::int64_t done, std::int64_t total)>& progress);
