#include "torrent/DiskStorage.h"

#include <cstring>
#include <new>
#include <system_error>

#include <boost/asio/error.hpp>

#include "torrent/DiskErrors.h"
#include "torrent/LibraryPath.h"

DiskStorage::DiskStorage(const lt::storage_params& p, std::shared_ptr<void> owner, std::uint64_t id)
    : m_files(p.files),
      m_savePath(p.path),
      m_mode(p.mode),
      m_priorities(p.priorities),
      m_infoHash(p.info_hash),
      m_owner(std::move(owner)),
      m_id(id) {
    if (p.mapped_files) m_mapped = std::make_unique<lt::file_storage>(*p.mapped_files);
}

std::unique_ptr<lt::file_storage> DiskStorage::Renamed(lt::file_index_t file, const std::string& name) const {
    auto renamed = std::make_unique<lt::file_storage>(Files());
    renamed->rename_file(file, name);
    return renamed;
}

lt::storage_params DiskStorage::StockParams() const {
    return lt::storage_params(m_files, m_mapped.get(), m_savePath, m_mode, m_priorities, m_infoHash);
}

bool DiskStorage::Write(DiskFilePool& pool, const PositionalIo& io, const WriteFault& fault,
                        const lt::peer_request& r, char* data, lt::storage_error& err) {
    // An exception while a file is written is that file's write error.
    lt::file_index_t at(-1);
    try {
        return WriteSlices(pool, io, fault, r, data, err, at);
    } catch (const std::bad_alloc&) {
        err = lt::storage_error(boost::asio::error::no_memory, at, lt::operation_t::file_write);
    } catch (const std::system_error& e) {
        err = lt::storage_error(LibraryError(e.code()), at, lt::operation_t::file_write);
    }
    return false;
}

// Walks the files that a piece's bytes from `start` cover: pad files are zeros in `data`, and
// every other part is moved by `step` (one call of the system at a time) until it is all moved.
template <class Step>
bool DiskStorage::Transfer(DiskFilePool& pool, lt::piece_index_t piece, int start, int length, char* data, bool write,
                           lt::file_index_t& at, lt::storage_error& err, Step step) {
    const lt::file_storage& fs = Files();
    for (const lt::file_slice& s : fs.map_block(piece, start, length)) {
        char* p = data;
        data += s.size;
        if (fs.pad_file_at(s.file_index)) {
            std::memset(p, 0, static_cast<size_t>(s.size));
            continue;
        }
        at = s.file_index;
        const DiskFilePool::Opened f = OpenFile(pool, s.file_index, write);
        if (f.error) {
            err = lt::storage_error(Win32Error(f.error), s.file_index, f.op);
            return false;
        }
        for (std::int64_t off = s.offset, left = s.size; left > 0;) {
            DWORD moved = 0;
            if (!step(f.handle, s.file_index, p, static_cast<DWORD>(left), off, moved)) return false;
            p += moved;
            off += moved;
            left -= moved;
        }
    }
    return true;
}

bool DiskStorage::WriteSlices(DiskFilePool& pool, const PositionalIo& io, const WriteFault& fault,
                              const lt::peer_request& r, char* data, lt::storage_error& err,
                              lt::file_index_t& at) {
    return Transfer(pool, r.piece, r.start, r.length, data, true, at, err,
                    [&](HANDLE h, lt::file_index_t file, char* p, DWORD length, std::int64_t off, DWORD& put) {
                        DWORD e = fault ? fault(file, off) : 0;
                        if (!e) {
                            e = io.Write(h, p, length, off, put);
                            if (!e && put == 0) e = ERROR_WRITE_FAULT;
                        }
                        if (e) err = lt::storage_error(Win32Error(e), file, lt::operation_t::file_write);
                        return !e;
                    });
}

// The pool's open handle for a file, or the file opened now (made, sparse or not, for writing).
DiskFilePool::Opened DiskStorage::OpenFile(DiskFilePool& pool, lt::file_index_t index, bool write) {
    DiskFilePool::Opened f{pool.Cached(m_id, index, write)};
    if (f.handle != INVALID_HANDLE_VALUE) return f;
    const lt::file_storage& fs = Files();
    DiskFilePool::NewFile make{};
    if (write) make = DiskFilePool::NewFile{m_mode == lt::storage_mode_sparse, fs.file_size(index)};
    return pool.Open(m_id, index, WidePath(fs.file_path(index, m_savePath)), write, make);
}

bool DiskStorage::Read(DiskFilePool& pool, const PositionalIo& io, lt::piece_index_t piece, int start, char* out,
                       int length, lt::storage_error& err) {
    lt::file_index_t at(-1);
    return Transfer(pool, piece, start, length, out, false, at, err,
                    [&](HANDLE h, lt::file_index_t file, char* p, DWORD want, std::int64_t off, DWORD& got) {
                        const DWORD e = io.Read(h, p, want, off, got);
                        if (e == ERROR_HANDLE_EOF || (!e && got == 0))
                            err = lt::storage_error(lt::errors::file_too_short, file, lt::operation_t::file_read);
                        else if (e)
                            err = lt::storage_error(Win32Error(e), file, lt::operation_t::file_read);
                        return !e && got != 0;
                    });
}

RunningPieceHash& DiskStorage::PieceHash(lt::piece_index_t piece) {
    auto& slot = m_hashes[static_cast<int>(piece)];
    if (!slot) slot = NewPieceHash(piece);
    return *slot;
}

std::unique_ptr<RunningPieceHash> DiskStorage::NewPieceHash(lt::piece_index_t piece) const {
    const lt::file_storage& fs = Files();
    return std::make_unique<RunningPieceHash>(fs.piece_size(piece), IsV2() ? fs.piece_size2(piece) : 0);
}

const RunningPieceHash* DiskStorage::FindPieceHash(lt::piece_index_t piece) const {
    auto it = m_hashes.find(static_cast<int>(piece));
    return it == m_hashes.end() ? nullptr : it->second.get();
}

std::unique_ptr<RunningPieceHash> DiskStorage::TakePieceHash(lt::piece_index_t piece) {
    auto it = m_hashes.find(static_cast<int>(piece));
    if (it == m_hashes.end()) return nullptr;
    std::unique_ptr<RunningPieceHash> out = std::move(it->second);
    m_hashes.erase(it);
    return out;
}
