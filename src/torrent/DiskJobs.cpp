#include "torrent/DiskJobs.h"

#include <atomic>
#include <cstring>
#include <new>

#include <libtorrent/time.hpp>

#include "torrent/DiskErrors.h"

namespace {

// Blocks kept for reuse at most: more than the write queue holds back peers at (4 MiB), so
// that a steady download takes none from the heap.
constexpr USHORT kKeptBlocks = 512;

// A lock-free list (the system's), shared by every thread that takes or gives blocks.
struct alignas(MEMORY_ALLOCATION_ALIGNMENT) BlockList {
    BlockList() { ::InitializeSListHead(&head); }
    SLIST_HEADER head;
};
BlockList g_kept;
std::atomic<int> g_inUse{0};

std::int64_t MicrosSince(lt::time_point start) {
    return lt::total_microseconds(lt::clock_type::now() - start);
}

}  // namespace

void* BlockMemory::Take() {
    void* p = ::InterlockedPopEntrySList(&g_kept.head);
    if (!p) p = ::operator new(kSize);
    g_inUse.fetch_add(1, std::memory_order_relaxed);
    return p;
}

void BlockMemory::Give(void* p) noexcept {
    if (!p) return;
    g_inUse.fetch_sub(1, std::memory_order_relaxed);
    if (::QueryDepthSList(&g_kept.head) >= kKeptBlocks) {
        ::operator delete(p);
        return;
    }
    ::InterlockedPushEntrySList(&g_kept.head, static_cast<SLIST_ENTRY*>(p));
}

int BlockMemory::InUse() { return g_inUse.load(std::memory_order_relaxed); }

void* WriteJob::operator new(size_t size) {
    static_assert(sizeof(WriteJob) <= BlockMemory::kSize, "a received block's job outgrew its memory");
    if (size > BlockMemory::kSize) throw std::bad_alloc();
    return BlockMemory::Take();
}

bool DiskFiles::ReadBack(DiskStorage& st, lt::piece_index_t piece, int off, char* out, int len,
                         lt::storage_error& err) {
    if (!st.Read(pool, io, piece, off, out, len, err)) return false;
    ++stats.readBack;
    ++stats.blocksRead;
    return true;
}

WriteJob::WriteJob(DiskFiles& files, const lt::peer_request& r, const char* data,
                   std::function<void(lt::storage_error const&)> handler)
    : DiskJob(Kind::Write, lt::operation_t::file_write), m_files(files), m_r(r), m_handler(std::move(handler)) {
    piece = static_cast<int>(r.piece);
    offset = r.start;
    writeBytes = r.length;
    std::memcpy(m_data, data, static_cast<size_t>(r.length));
}

bool WriteJob::Run(DiskStorage& st, lt::storage_error& full) {
    lt::storage_error err;
    const lt::time_point start = lt::clock_type::now();
    if (!st.Write(m_files.pool, m_files.io, m_files.writeFault, m_r, m_data, err)) {
        if (IsDiskFull(err)) {
            full = err;
            return false;
        }
        m_error = err;
        return true;
    }
    ++m_files.stats.blocksWritten;
    m_files.stats.writeMicros += MicrosSince(start);
    auto readBack = [this, &st](int off, char* out, int len) {
        lt::storage_error ignored;
        return m_files.ReadBack(st, m_r.piece, off, out, len, ignored);
    };
    st.PieceHash(m_r.piece).Written(m_r.start, m_data, m_r.length, readBack);
    m_error = lt::storage_error();
    return true;
}

bool WriteJob::RunTogether(DiskStorage& st, DiskJob* const* next, int count) {
    // The blocks one after another in one buffer, written at once; each block's hash is then
    // taken from it (where pad bytes are zero, as they read back).
    int total = m_r.length;
    for (int i = 0; i < count; ++i) total += static_cast<WriteJob*>(next[i])->m_r.length;
    std::vector<char>& buf = m_files.together;
    if (buf.size() < static_cast<size_t>(total)) buf.resize(static_cast<size_t>(total));
    std::memcpy(buf.data(), m_data, static_cast<size_t>(m_r.length));
    for (int i = 0, at = m_r.length; i < count; ++i) {
        const WriteJob& j = *static_cast<WriteJob*>(next[i]);
        std::memcpy(buf.data() + at, j.m_data, static_cast<size_t>(j.m_r.length));
        at += j.m_r.length;
    }
    lt::storage_error err;
    const lt::time_point start = lt::clock_type::now();
    if (!st.Write(m_files.pool, m_files.io, m_files.writeFault, lt::peer_request{m_r.piece, m_r.start, total},
                  buf.data(), err))
        return false;
    m_files.stats.blocksWritten += count + 1;
    m_files.stats.writeMicros += MicrosSince(start);
    auto readBack = [this, &st](int off, char* out, int len) {
        lt::storage_error ignored;
        return m_files.ReadBack(st, m_r.piece, off, out, len, ignored);
    };
    RunningPieceHash& hash = st.PieceHash(m_r.piece);
    for (int i = -1; i < count; ++i) {
        WriteJob& j = i < 0 ? *this : *static_cast<WriteJob*>(next[i]);
        hash.Written(j.m_r.start, buf.data() + (j.m_r.start - m_r.start), j.m_r.length, readBack);
        j.m_error = lt::storage_error();
    }
    return true;
}

bool RemoveJob::Run(DiskStorage& st, lt::storage_error&) {
    m_owner = st.TakeOwner();
    m_files.pool.CloseStorage(st.Id());
    st.ClearPieceHashes();
    m_stock.Remove(st);
    return true;
}
