// One torrent as the disk back-end sees it: where its files are, and the reads and writes of
// a piece's bytes across them. Reads, writes and hashes run on the back-end's worker only.
#pragma once
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

#include <libtorrent/aux_/vector.hpp>
#include <libtorrent/disk_interface.hpp>
#include <libtorrent/download_priority.hpp>
#include <libtorrent/file_storage.hpp>
#include <libtorrent/storage_defs.hpp>

#include "torrent/DiskFilePool.h"
#include "torrent/DiskIo.h"
#include "torrent/PositionalIo.h"
#include "torrent/RunningPieceHash.h"

namespace lt = libtorrent;

class DiskStorage {
public:
    DiskStorage(const lt::storage_params& p, std::shared_ptr<void> owner, std::uint64_t id);

    const lt::file_storage& Files() const { return m_mapped ? *m_mapped : m_files; }
    std::uint64_t Id() const { return m_id; }
    const std::string& SavePath() const { return m_savePath; }
    // Room for a save path of `length`, so that SetSavePath then allocates nothing.
    void ReserveSavePath(size_t length) { m_savePath.reserve(length); }
    void SetSavePath(const std::string& path) { m_savePath.assign(path); }
    // The files with one renamed, made before the library's back-end renames it, and
    // followed once it has (allocating nothing).
    std::unique_ptr<lt::file_storage> Renamed(lt::file_index_t file, const std::string& name) const;
    void SetFiles(std::unique_ptr<lt::file_storage> files) noexcept { m_mapped = std::move(files); }
    bool IsV2() const { return m_files.v2(); }

    // Parameters for the library's own storage of the same torrent.
    lt::storage_params StockParams() const;

    // Writes a block at its piece offset across the files it covers. Pad bytes are not
    // written, and are set to zero in `data`, as they read back: the library passes on what
    // a peer sent there, and the block's hash is taken from `data`.
    bool Write(DiskFilePool& pool, const PositionalIo& io, const WriteFault& fault, const lt::peer_request& r,
               char* data, lt::storage_error& err);
    // Reads `length` bytes of `piece` at `start`; pad files read as zeros.
    bool Read(DiskFilePool& pool, const PositionalIo& io, lt::piece_index_t piece, int start, char* out, int length,
              lt::storage_error& err);

    // The running hash of a piece, made when first asked for.
    RunningPieceHash& PieceHash(lt::piece_index_t piece);
    // A fresh one, not kept.
    std::unique_ptr<RunningPieceHash> NewPieceHash(lt::piece_index_t piece) const;
    const RunningPieceHash* FindPieceHash(lt::piece_index_t piece) const;
    // Taken out (for the piece's final hash), or null.
    std::unique_ptr<RunningPieceHash> TakePieceHash(lt::piece_index_t piece);
    void ClearPieceHash(lt::piece_index_t piece) { m_hashes.erase(static_cast<int>(piece)); }
    void ClearPieceHashes() { m_hashes.clear(); }

    // The torrent this storage keeps alive; handed over to be freed on the network thread.
    std::shared_ptr<void> TakeOwner() { return std::move(m_owner); }

    // The library's own storage of the same torrent (made, used and given back by
    // StockDiskIo only).
    lt::storage_holder stock;
    // Jobs of this torrent waiting behind a write the full disk refused (worker thread).
    int parked = 0;
    // The last pass over the waiting jobs in which one of this torrent's was refused again
    // (worker thread).
    std::uint32_t refusedInPass = 0;
    // A check's hashes of this torrent queued up to this job are dropped.
    std::atomic<std::uint64_t> checkHashesAbortedUpTo{0};

private:
    DiskFilePool::Opened OpenFile(DiskFilePool& pool, lt::file_index_t index, bool write);
    bool WriteSlices(DiskFilePool& pool, const PositionalIo& io, const WriteFault& fault, const lt::peer_request& r,
                     char* data, lt::storage_error& err, lt::file_index_t& at);
    template <class Step>
    bool Transfer(DiskFilePool& pool, lt::piece_index_t piece, int start, int length, char* data, bool write,
                  lt::file_index_t& at, lt::storage_error& err, Step step);

    const lt::file_storage& m_files;
    std::unique_ptr<lt::file_storage> m_mapped;  // renamed files
    std::string m_savePath;
    lt::storage_mode_t m_mode;
    lt::aux::vector<lt::download_priority_t, lt::file_index_t> m_priorities;
    lt::sha1_hash m_infoHash;
    std::shared_ptr<void> m_owner;  // keeps the torrent (and `m_files`) alive
    std::uint64_t m_id;
    std::unordered_map<int, std::unique_ptr<RunningPieceHash>> m_hashes;
};
