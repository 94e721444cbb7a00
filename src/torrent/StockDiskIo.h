// The bridge to the library's own disk back-end, kept for the rare whole-file operations
// (check, move, rename, delete, file priorities) and told of every release and stop so that its
// record of the files stays true. It does its work in the call and posts its handler; here
// the handlers are posted to a queue of our own, run as soon as the call returns, so that what
// the library's back-end answers becomes the result of our job: handed back in order with the
// others, exactly once, and never waited for on another thread.
#pragma once
#include <cerrno>
#include <functional>
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
    // and puts what that handler was given in `out`. Throws when the call throws or never
    // answers, `out` then as it was. Once the library's back-end has answered, nothing here
    // allocates: the answer goes into the memory of `out` (strings and vectors reserved there
    // beforehand are filled without allocating).
    template <class... R, class Call>
    void Forward(DiskStorage& st, std::tuple<std::decay_t<R>...>& out, Call&& call);

    // Called on the worker as the library's back-end has answered a forwarded call (faults are
    // injected through it).
    std::function<void()> answered;

private:
    // Runs what the library's back-end posted.
    void RunAnswers();

    lt::io_context m_answers;
    SrwLock m_lock;
    std::unique_ptr<lt::disk_interface> m_disk;
};

template <class... R, class Call>
void StockDiskIo::Forward(DiskStorage& st, std::tuple<std::decay_t<R>...>& out, Call&& call) {
    using Values = std::tuple<std::decay_t<R>...>;
    // Shared with the handler: one the library's back-end posted and then failed after is
    // run by a later call, and finds it still there.
    struct Answer {
        Values values;
        bool given = false;
    };
    auto answer = std::make_shared<Answer>();
    answer->values = std::move(out);
    struct Restore {
        Values& out;
        Answer& answer;
        ~Restore() { out = std::move(answer.values); }
    } restore{out, *answer};
    std::lock_guard<SrwLock> g(m_lock);
    if (!st.stock) throw std::system_error(EINVAL, std::generic_category());
    try {
        call(*m_disk, static_cast<lt::storage_index_t>(st.stock), [answer](R... r) {
            answer->values = std::forward_as_tuple(r...);
            answer->given = true;
        });
    } catch (...) {
        RunAnswers();
        throw;
    }
    RunAnswers();
    if (!answer->given) throw std::system_error(EIO, std::generic_category());
    if (answered) answered();
}
