// The publisher's torrent of one installer, made with libtorrent's create_torrent and the
// launcher's own SHA-1 (src/torrent/Sha1.h): a BitTorrent v1 torrent, or on request a hybrid
// (v1 and v2) one, whose web seeds and trackers the launcher can use.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

constexpr int kMinPieceKib = 16;
constexpr int kMaxPieceKib = 16384;
// The size chosen when none is given: from 256 KiB to 16 MiB, a power of two, the smallest that
// keeps the torrent at kMaxChosenPieces pieces or fewer.
constexpr int kMinChosenPiece = 256 * 1024;
constexpr int kMaxChosenPiece = 16 * 1024 * 1024;
constexpr uint64_t kMaxChosenPieces = 2048;

int ChoosePieceSize(uint64_t size);

// True for a URL the launcher can use as a web seed (http://, a host, an optional port, a path);
// otherwise false with the reason in `why`.
bool CheckWebSeedUrl(const std::string& url, std::string& why);
// The same for a tracker's announce URL (http://, or udp:// with a port).
bool CheckTrackerUrl(const std::string& url, std::string& why);
// A piece size given in KiB: a power of two from kMinPieceKib to kMaxPieceKib.
bool CheckPieceKib(long long kib, std::string& why);

struct TorrentRequest {
    std::wstring installer;  // the installer's path
    std::vector<std::string> webSeeds;
    std::vector<std::string> trackers;  // in the order given: the first is asked first
    int pieceSize = 0;                  // bytes; 0: ChoosePieceSize
    bool hybrid = false;
};

struct MadeTorrent {
    std::string metainfo;    // the bencoded torrent file
    std::string name;        // the installer's name in it (UTF-8)
    uint64_t size = 0;
    int pieceSize = 0;
    int pieces = 0;
    std::string infoHashV1;  // 40 hex digits
    std::string infoHashV2;  // 64 hex digits; empty for a v1 torrent
};

// Called while the installer is hashed: bytes hashed so far, and of how many.
using HashProgress = std::function<void(uint64_t done, uint64_t total)>;

// Makes the torrent in memory; false with a message for the publisher in `error` when the
// request or the installer is not usable (nothing is written either way).
bool MakeTorrent(const TorrentRequest& request, MadeTorrent& made, std::string& error,
                 const HashProgress& progress = HashProgress());
