#include "torrent/StockDiskIo.h"

#include <libtorrent/posix_disk_io.hpp>

StockDiskIo::StockDiskIo(lt::settings_interface const& settings, lt::counters& counters)
    : m_disk(lt::posix_disk_io_constructor(m_answers, settings, counters)) {}

StockDiskIo::~StockDiskIo() = default;

void StockDiskIo::Add(DiskStorage& st) {
    std::lock_guard<SrwLock> g(m_lock);
    st.stock = m_disk->new_torrent(st.StockParams(), nullptr);
}

void StockDiskIo::Remove(DiskStorage& st) noexcept {
    std::lock_guard<SrwLock> g(m_lock);
    st.stock.reset();
}

void StockDiskIo::Release(DiskStorage& st, bool stop) {
    std::lock_guard<SrwLock> g(m_lock);
    if (!st.stock) return;
    const auto i = static_cast<lt::storage_index_t>(st.stock);
    m_disk->async_release_files(i, {});
    if (stop) m_disk->async_stop_torrent(i, {});
    RunAnswers();
}

void StockDiskIo::RunAnswers() {
    m_answers.restart();
    m_answers.poll();
}
