#include "torrent/DiskJobs.h"

#include <cstring>

#include "torrent/DiskErrors.h"

bool DiskFiles::ReadBack(DiskStorage& st, lt::piece_index_t piece, int off, char* out, int len) {
    lt::storage_error ignored;
    return st.Read(pool, io, piece, off, out, len, ignored);
}

WriteJob::WriteJob(DiskFiles& files, const lt::peer_request& r, const char* data,
                   std::function<void(lt::storage_error const&)> handler)
    : DiskJob(Kind::Write, lt::operation_t::file_write), m_files(files), m_r(r), m_handler(std::move(handler)) {
    piece = static_cast<int>(r.piece);
    writeBytes = r.length;
    std::memcpy(m_data, data, static_cast<size_t>(r.length));
}

bool WriteJob::Run(DiskStorage& st, lt::storage_error& full) {
    lt::storage_error err;
    if (!st.Write(m_files.pool, m_files.io, m_files.writeFault, m_r, m_data, err)) {
        if (IsDiskFull(err)) {
            full = err;
            return false;
        }
        m_error = err;
        return true;
    }
    auto readBack = [this, &st](int off, char* out, int len) { return m_files.ReadBack(st, m_r.piece, off, out, len); };
    st.PieceHash(m_r.piece).Written(m_r.start, m_data, m_r.length, readBack);
    m_error = lt::storage_error();
    return true;
}

bool RemoveJob::Run(DiskStorage& st, lt::storage_error&) {
    m_owner = st.TakeOwner();
    m_files.pool.CloseStorage(st.Id());
    st.ClearPieceHashes();
    m_stock.Remove(st);
    return true;
}
