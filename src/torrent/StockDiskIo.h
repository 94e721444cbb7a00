// The bridge to the library's own disk back-end, kept for the rare whole-file operations
// (check, move, rename, delete, file priorities) and told of every release and stop so that its
// record of the files stays true. It does its work in the call and posts its handler; here
// the handlers are posted to a queue of our own, run as soon as the call returns, so that what
// the library's back-end answers becomes the result of our job: handed back in order with the
// others, exactly once, and never waited for on another thread.
#pragma once
#include <cerrno>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <tuple>
#include <type_traits>
#include <utility>

#include <libtorrent/disk_interface.hpp>
#include <libtorrent/io_context.hpp>
#include <libtorrent/performance_counters.hpp>
#include <libtorrent/settings_pack.hpp>

#include "common/SrwLock.h"
#include "torrent/DiskStorage.h"

namespace lt = libtorrent;

class StockDiskIo {
public:
    StockDiskIo(lt::settings_interface const& settings, lt::counters& counters);
    ~StockDiskIo();
    StockDiskIo(const StockDiskIo&) = delete;
    StockDiskIo& operator=(const StockDiskIo&) = delete;

    // The library's storage of `st`, made now.
    void Add(DiskStorage& st);
    // Given back; allocates nothing (the library's back-end keeps its slot for it).
    void Remove(DiskStorage& st) noexcept;
    // Our handles of `st` are closed: so are its (and, with `stop`, it stops the torrent).
    void Release(DiskStorage& st, bool stop);

    // Calls `call(disk, index, handler)`, one of the library's calls whose handler takes `R...`,
    // and returns what that handler was given. Throws when the call throws or never answers.
    template <class... R, class Call>
    std::tuple<std::decay_t<R>...> Forward(DiskStorage& st, Call&& call);

private:
    // Runs what the library's back-end posted.
    void RunAnswers();

    lt::io_context m_answers;
    SrwLock m_lock;
    std::unique_ptr<lt::disk_interface> m_disk;
};

template <class... R, class Call>
std::tuple<std::decay_t<R>...> StockDiskIo::Forward(DiskStorage& st, Call&& call) {
    // Shared with the handler: one the library's back-end posted and then failed after is
    // run by a later call, and finds it still there.
    auto answer = std::make_shared<std::optional<std::tuple<std::decay_t<R>...>>>();
    std::lock_guard<SrwLock> g(m_lock);
    if (!st.stock) throw std::system_error(EINVAL, std::generic_category());
    try {
        call(*m_disk, static_cast<lt::storage_index_t>(st.stock), [answer](R... r) { answer->emplace(r...); });
    } catch (...) {
        RunAnswers();
        throw;
    }
    RunAnswers();
    if (!*answer) throw std::system_error(EIO, std::generic_category());
    return std::move(**answer);
}
