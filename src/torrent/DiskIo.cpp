// The launcher's disk back-end as libtorrent's disk interface. Our own parts do every read,
// write and hash of the files they serve; the library's own back-end is kept for the rare
// whole-file operations (check, move, rename, delete), with our handles closed first, and it
// hears every release and stop so that its caches stay true. Every call to it runs on the
// worker, under its lock; the network thread never waits for that lock.
#include "torrent/DiskIo.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <tuple>
#include <utility>
#include <vector>

#include <boost/asio/post.hpp>
#include <libtorrent/error_code.hpp>
#include <libtorrent/file_storage.hpp>
#include <libtorrent/hasher.hpp>
#include <libtorrent/posix_disk_io.hpp>

#include "torrent/DiskFilePool.h"
#include "torrent/DiskStorage.h"
#include "torrent/DiskWorker.h"
#include "torrent/PieceHasher.h"
#include "torrent/PositionalIo.h"
#include "torrent/SrwLock.h"

namespace {

constexpr int kBlockSize = lt::default_block_size;
// Write bytes waiting for the worker before peers are held back (at least; the library's
// max_queued_disk_bytes may raise it). Resumed when half of it is written.
constexpr std::int64_t kMinQueuedBytes = 4 * 1024 * 1024;

// Buffers given to the library with read results; free() needs no state, so a buffer never
// outlives its allocator.
struct MallocBuffers final : lt::buffer_allocator_interface {
    void free_disk_buffer(char* b) override { std::free(b); }
};
MallocBuffers g_buffers;

bool IsDiskFull(const lt::storage_error& e) {
    return e.ec.category() == lt::system_category() &&
           (e.ec.value() == ERROR_DISK_FULL || e.ec.value() == ERROR_HANDLE_DISK_FULL);
}

// The completion that calls a handler with `args`. Handlers are shared between a job's run
// and its failure path and are moved, never copied, when handed on; one handed on is empty
// here and not called again.
template <class H, class... A>
Completion Reply(const std::shared_ptr<H>& h, A&&... args) {
    return Completion::Of([h, t = std::make_tuple(std::forward<A>(args)...)]() mutable {
        if (*h) std::apply(*h, std::move(t));
    });
}

template <class H>
std::shared_ptr<H> Share(H&& handler) {
    return std::make_shared<H>(std::move(handler));
}

// Waits for a handler of the library's back-end that it posts to the network thread.
class Signal {
public:
    Signal() : m_event(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    void Set() { ::SetEvent(m_event.get()); }
    // False when `abandon` said so first (checked every 100 ms).
    template <class F>
    bool Wait(F&& abandon) {
        if (!m_event) return false;
        while (::WaitForSingleObject(m_event.get(), 100) != WAIT_OBJECT_0)
            if (abandon()) return false;
        return true;
    }

private:
    UniqueKernelHandle m_event;
};

class DiskIo final : public lt::disk_interface {
public:
    DiskIo(lt::io_context& ios, lt::settings_interface const& settings, lt::counters& counters, DiskIoOptions options)
        : m_ios(ios),
          m_settings(settings),
          m_writeFault(std::move(options.writeFault)),
          m_stock(lt::posix_disk_io_constructor(ios, settings, counters)),
          m_worker(ios, DiskWorkerOptions{options.diskFullRetryMs, std::move(options.completionFault)}) {
        ApplySettings();
    }

    ~DiskIo() override {
        m_worker.Abort(true);
        // Torrents the library did not remove: their files closed and their storages given
        // back here, the torrents they kept freed with no lock held.
        std::vector<std::shared_ptr<void>> owners;
        for (auto& st : m_torrents) {
            if (!st) continue;
            ReleaseStorage(*st);
            owners.push_back(st->TakeOwner());
        }
        m_torrents.clear();
        m_pool.CloseAll();
    }

    // --- torrents ---------------------------------------------------------------------------

    lt::storage_holder new_torrent(lt::storage_params const& p, std::shared_ptr<void> const& torrent) override {
        auto st = std::make_shared<DiskStorage>(p, torrent, ++m_nextId);
        lt::storage_index_t idx;
        if (!m_free.empty()) {
            idx = m_free.back();
            m_free.pop_back();
            m_torrents[Slot(idx)] = st;
        } else {
            idx = lt::storage_index_t(static_cast<std::uint32_t>(m_torrents.size()));
            m_torrents.push_back(st);
        }
        // The library's storage of the same torrent is made where every call to it runs.
        DiskJob j = Job(idx, DiskJob::Kind::Plain, lt::operation_t::file_open);
        j.run = [this](DiskStorage& s) {
            std::lock_guard<SrwLock> g(m_stockLock);
            s.stock = m_stock->new_torrent(s.StockParams(), nullptr);
            return JobOutcome{};
        };
        Submit(j, false, nullptr, AfterEnd::RunHere);
        return lt::storage_holder(idx, *this);
    }

    // The storage goes with the job: nothing here keeps it, so the job that closes its files
    // and gives back the library's storage is its last owner. Once the worker has ended (the
    // session is going), this runs here.
    void remove_torrent(lt::storage_index_t idx) override {
        if (Slot(idx) >= m_torrents.size()) return;
        DiskJob j;
        j.kind = DiskJob::Kind::WholeFile;
        j.op = lt::operation_t::file;
        j.storage = std::move(m_torrents[Slot(idx)]);
        m_free.push_back(idx);
        if (!j.storage) return;
        j.run = [this](DiskStorage& s) {
            ReleaseStorage(s);
            // The torrent it kept alive is the network thread's to free.
            return JobOutcome{Completion::Of([owner = s.TakeOwner()]() mutable { owner.reset(); })};
        };
        Submit(j, true, nullptr, AfterEnd::RunHere);
    }

    // --- reads, writes, hashes ----------------------------------------------------------------

    void async_read(lt::storage_index_t idx, lt::peer_request const& r,
                    std::function<void(lt::disk_buffer_holder, lt::storage_error const&)> handler,
                    lt::disk_job_flags_t) override {
        auto h = Share(std::move(handler));
        DiskJob j = Job(idx, DiskJob::Kind::Plain, lt::operation_t::file_read);
        j.fail = [h](const lt::storage_error& e) { return Reply(h, lt::disk_buffer_holder(), e); };
        j.run = [this, h, r](DiskStorage& st) {
            char* buf = static_cast<char*>(std::malloc(static_cast<size_t>(std::max(r.length, 1))));
            if (!buf) throw std::bad_alloc();
            lt::disk_buffer_holder holder(g_buffers, buf, r.length);
            lt::storage_error err;
            if (!st.Read(m_pool, m_io, r.piece, r.start, buf, r.length, err)) holder.reset();
            return JobOutcome{Reply(h, std::move(holder), err)};
        };
        Submit(j, false);
    }

    bool async_write(lt::storage_index_t idx, lt::peer_request const& r, char const* data,
                     std::shared_ptr<lt::disk_observer> o, std::function<void(lt::storage_error const&)> handler,
                     lt::disk_job_flags_t) override {
        auto h = Share(std::move(handler));
        std::shared_ptr<char> copy(static_cast<char*>(std::malloc(static_cast<size_t>(std::max(r.length, 1)))),
                                   std::free);
        if (!copy) {
            lt::storage_error e(boost::asio::error::no_memory, lt::operation_t::alloc_cache_piece);
            boost::asio::post(m_ios, [h, e] { (*h)(e); });
            return false;
        }
        std::memcpy(copy.get(), data, static_cast<size_t>(r.length));
        DiskJob j = Job(idx, DiskJob::Kind::Write, lt::operation_t::file_write);
        j.piece = static_cast<int>(r.piece);
        j.writeBytes = r.length;
        j.fail = [h](const lt::storage_error& e) { return Reply(h, e); };
        j.run = [this, h, r, copy](DiskStorage& st) {
            lt::storage_error err;
            if (!st.Write(m_pool, m_io, m_writeFault, r, copy.get(), err)) {
                if (IsDiskFull(err)) return JobOutcome::DiskFull(err);
                return JobOutcome{Reply(h, err)};
            }
            st.PieceHash(r.piece).Written(r.start, copy.get(), r.length, ReadBack(st, r.piece));
            return JobOutcome{Reply(h, lt::storage_error())};
        };
        return Submit(j, false, std::move(o)) == DiskWorker::Pushed::QueuedFull;
    }

    void async_hash(lt::storage_index_t idx, lt::piece_index_t piece, lt::span<lt::sha256_hash> v2,
                    lt::disk_job_flags_t flags,
                    std::function<void(lt::piece_index_t, lt::sha1_hash const&, lt::storage_error const&)> handler) override {
        auto h = Share(std::move(handler));
        DiskJob j = Job(idx, DiskJob::Kind::Hash, lt::operation_t::file_read);
        j.piece = static_cast<int>(piece);
        j.fail = [h, piece](const lt::storage_error& e) { return Reply(h, piece, lt::sha1_hash(), e); };
        j.run = [this, h, piece, v2, flags](DiskStorage& st) {
            std::unique_ptr<RunningPieceHash> ph = st.TakePieceHash(piece);
            if (!ph) ph = st.NewPieceHash(piece);
            lt::storage_error err;
            lt::sha1_hash sha1;
            const bool v1 = bool(flags & lt::disk_interface::v1_hash);
            ph->Finish(v1, v2, sha1, [&](int off, char* out, int len) {
                return st.Read(m_pool, m_io, piece, off, out, len, err);
            });
            if (err) sha1 = lt::sha1_hash();
            return JobOutcome{Reply(h, piece, sha1, err)};
        };
        Submit(j, false);
    }

    void async_hash2(lt::storage_index_t idx, lt::piece_index_t piece, int offset, lt::disk_job_flags_t,
                     std::function<void(lt::piece_index_t, lt::sha256_hash const&, lt::storage_error const&)> handler) override {
        auto h = Share(std::move(handler));
        DiskJob j = Job(idx, DiskJob::Kind::Hash, lt::operation_t::file_read);
        j.piece = static_cast<int>(piece);
        j.fail = [h, piece](const lt::storage_error& e) { return Reply(h, piece, lt::sha256_hash(), e); };
        j.run = [this, h, piece, offset](DiskStorage& st) {
            lt::sha256_hash hash;
            lt::storage_error err;
            const RunningPieceHash* ph = st.FindPieceHash(piece);
            if (!ph || !ph->BlockHash(offset, hash)) {
                const int len = std::min(kBlockSize, st.Files().piece_size2(piece) - offset);
                std::vector<char> buf(static_cast<size_t>(std::max(len, 0)));
                if (len > 0 && st.Read(m_pool, m_io, piece, offset, buf.data(), len, err))
                    hash = lt::hasher256(buf.data(), len).final();
            }
            return JobOutcome{Reply(h, piece, hash, err)};
        };
        Submit(j, false);
    }

    void async_clear_piece(lt::storage_index_t idx, lt::piece_index_t piece,
                           std::function<void(lt::piece_index_t)> handler) override {
        auto h = Share(std::move(handler));
        DiskJob j = Job(idx, DiskJob::Kind::Hash, lt::operation_t::unknown);
        j.piece = static_cast<int>(piece);
        j.fail = [h, piece](const lt::storage_error&) { return Reply(h, piece); };
        j.run = [h, piece](DiskStorage& st) {
            st.ClearPieceHash(piece);
            return JobOutcome{Reply(h, piece)};
        };
        Submit(j, false);
    }

    // --- releasing files ------------------------------------------------------------------------

    void async_release_files(lt::storage_index_t idx, std::function<void()> handler) override {
        CloseFiles(idx, std::move(handler), false);
    }

    void async_stop_torrent(lt::storage_index_t idx, std::function<void()> handler) override {
        CloseFiles(idx, std::move(handler), true);
    }

    // --- rare operations: the library's own back-end, our handles closed first -----------------

    void async_check_files(lt::storage_index_t idx, lt::add_torrent_params const* resume,
                           lt::aux::vector<std::string, lt::file_index_t> links,
                           std::function<void(lt::status_t, lt::storage_error const&)> handler) override {
        auto h = Share(std::move(handler));
        auto l = Share(std::move(links));
        DiskJob j = Job(idx, DiskJob::Kind::WholeFile, lt::operation_t::check_resume);
        j.fail = [h](const lt::storage_error& e) { return Reply(h, lt::status_t::fatal_disk_error, e); };
        j.run = [this, h, l, resume](DiskStorage& st) {
            CloseForStock(st);
            StockCall(st, [&](lt::disk_interface& stock, lt::storage_index_t i) {
                stock.async_check_files(i, resume, std::move(*l), std::move(*h));
            });
            return JobOutcome{};
        };
        Submit(j, true);
    }

    void async_move_storage(lt::storage_index_t idx, std::string path, lt::move_flags_t flags,
                            std::function<void(lt::status_t, std::string const&, lt::storage_error const&)> handler) override {
        auto h = Share(std::move(handler));
        DiskJob j = Job(idx, DiskJob::Kind::WholeFile, lt::operation_t::file_rename);
        j.fail = [h, path](const lt::storage_error& e) { return Reply(h, lt::status_t::fatal_disk_error, path, e); };
        j.run = [this, h, path, flags](DiskStorage& st) {
            CloseForStock(st);
            auto sig = std::make_shared<Signal>();
            auto where = std::make_shared<std::string>(st.SavePath());
            StockCall(st, [&](lt::disk_interface& stock, lt::storage_index_t i) {
                stock.async_move_storage(i, path, flags,
                                         [sig, where, h](lt::status_t s, std::string const& p, lt::storage_error const& e) {
                                             *where = p;
                                             sig->Set();
                                             if (*h) (*h)(s, p, e);
                                         });
            });
            // Where the library's storage is now, moved or not: ours follows.
            if (sig->Wait([this] { return m_worker.Aborting(); })) st.SetSavePath(*where);
            return JobOutcome{};
        };
        Submit(j, true);
    }

    void async_rename_file(lt::storage_index_t idx, lt::file_index_t file, std::string name,
                           std::function<void(std::string const&, lt::file_index_t, lt::storage_error const&)> handler) override {
        auto h = Share(std::move(handler));
        DiskJob j = Job(idx, DiskJob::Kind::WholeFile, lt::operation_t::file_rename);
        j.fail = [h, name, file](const lt::storage_error& e) { return Reply(h, name, file, e); };
        j.run = [this, h, file, name](DiskStorage& st) {
            CloseForStock(st);
            auto sig = std::make_shared<Signal>();
            auto renamed = std::make_shared<bool>(false);
            StockCall(st, [&](lt::disk_interface& stock, lt::storage_index_t i) {
                stock.async_rename_file(i, file, name,
                                        [sig, renamed, h](std::string const& n, lt::file_index_t f,
                                                          lt::storage_error const& e) {
                                            *renamed = !e;
                                            sig->Set();
                                            if (*h) (*h)(n, f, e);
                                        });
            });
            if (sig->Wait([this] { return m_worker.Aborting(); }) && *renamed) st.RenameFile(file, name);
            return JobOutcome{};
        };
        Submit(j, true);
    }

    void async_delete_files(lt::storage_index_t idx, lt::remove_flags_t options,
                            std::function<void(lt::storage_error const&)> handler) override {
        auto h = Share(std::move(handler));
        DiskJob j = Job(idx, DiskJob::Kind::WholeFile, lt::operation_t::file_remove);
        j.fail = [h](const lt::storage_error& e) { return Reply(h, e); };
        j.run = [this, h, options](DiskStorage& st) {
            CloseForStock(st);
            StockCall(st, [&](lt::disk_interface& stock, lt::storage_index_t i) {
                stock.async_delete_files(i, options, std::move(*h));
            });
            return JobOutcome{};
        };
        Submit(j, true);
    }

    // Our back-end writes every file itself, wanted or not; the library's keeps its record of
    // the priorities for its checks.
    void async_set_file_priority(lt::storage_index_t idx, lt::aux::vector<lt::download_priority_t, lt::file_index_t> prio,
                                 std::function<void(lt::storage_error const&,
                                                    lt::aux::vector<lt::download_priority_t, lt::file_index_t>)> handler) override {
        auto h = Share(std::move(handler));
        auto p = Share(std::move(prio));
        DiskJob j = Job(idx, DiskJob::Kind::WholeFile, lt::operation_t::partfile_move);
        j.fail = [h, p](const lt::storage_error& e) { return Reply(h, e, *p); };
        j.run = [this, h, p](DiskStorage& st) {
            CloseForStock(st);
            StockCall(st, [&](lt::disk_interface& stock, lt::storage_index_t i) {
                stock.async_set_file_priority(i, std::move(*p), std::move(*h));
            });
            return JobOutcome{};
        };
        Submit(j, true);
    }

    // --- the rest of the interface ----------------------------------------------------------------

    void update_stats_counters(lt::counters&) const override {}

    std::vector<lt::open_file_state> get_status(lt::storage_index_t idx) const override {
        if (Slot(idx) >= m_torrents.size() || !m_torrents[Slot(idx)]) return {};
        return m_pool.Status(m_torrents[Slot(idx)]->Id());
    }

    void abort(bool wait) override { m_worker.Abort(wait); }

    void submit_jobs() override { m_worker.Wake(); }

    // The library's back-end is not told: it keeps the session's settings by reference and
    // reads them in its checks; what else it would update serves reads and hashes it never
    // does here.
    void settings_updated() override { ApplySettings(); }

private:
    enum class AfterEnd { Abort, RunHere };

    static size_t Slot(lt::storage_index_t idx) { return static_cast<size_t>(static_cast<std::uint32_t>(idx)); }

    void ApplySettings() {
        m_pool.SetLimit(m_settings.get_int(lt::settings_pack::file_pool_size));
        m_worker.SetHighWater(
            std::max<std::int64_t>(kMinQueuedBytes, m_settings.get_int(lt::settings_pack::max_queued_disk_bytes)));
    }

    DiskJob Job(lt::storage_index_t idx, DiskJob::Kind kind, lt::operation_t op) const {
        DiskJob j;
        j.kind = kind;
        j.op = op;
        if (Slot(idx) < m_torrents.size()) j.storage = m_torrents[Slot(idx)];
        return j;
    }

    // The one way in for every job. Once the worker has ended, a job that gives resources back
    // runs here; any other is answered as aborted.
    DiskWorker::Pushed Submit(DiskJob& j, bool wake, std::shared_ptr<lt::disk_observer> observer = nullptr,
                              AfterEnd afterEnd = AfterEnd::Abort) {
        const DiskWorker::Pushed pushed = m_worker.Push(j, wake, std::move(observer));
        if (pushed != DiskWorker::Pushed::Ended) return pushed;
        if (afterEnd == AfterEnd::RunHere && j.storage) {
            JobOutcome out = j.run(*j.storage);
            if (out.done) out.done();
        } else if (j.fail) {
            auto c = std::make_shared<Completion>(
                j.fail(lt::storage_error(boost::asio::error::operation_aborted, j.op)));
            if (*c) boost::asio::post(m_ios, [c] { (*c)(); });
        }
        return pushed;
    }

    void CloseFiles(lt::storage_index_t idx, std::function<void()> handler, bool stop) {
        auto h = Share(std::move(handler));
        DiskJob j = Job(idx, DiskJob::Kind::Plain, lt::operation_t::file);
        j.fail = [h](const lt::storage_error&) { return Reply(h); };
        j.run = [this, h, stop](DiskStorage& st) {
            m_pool.CloseStorage(st.Id());
            // The library's back-end hears it too, so that its record of which files exist is
            // asked afresh by the next check.
            StockCall(st, [&](lt::disk_interface& stock, lt::storage_index_t i) {
                stock.async_release_files(i, {});
                if (stop) stock.async_stop_torrent(i, {});
            });
            return JobOutcome{Reply(h)};
        };
        Submit(j, true);
    }

    // Before the library's back-end works on whole files: ours are closed and what was hashed
    // from them is forgotten.
    void CloseForStock(DiskStorage& st) {
        m_pool.CloseStorage(st.Id());
        st.ClearPieceHashes();
    }

    // Calls the library's back-end for `st`, after handing back what is done so far, so that
    // handlers keep their order.
    template <class F>
    void StockCall(DiskStorage& st, F&& call) {
        m_worker.Flush();
        std::lock_guard<SrwLock> g(m_stockLock);
        if (!st.stock) throw std::system_error(EINVAL, std::generic_category());
        call(*m_stock, static_cast<lt::storage_index_t>(st.stock));
    }

    // Reads back written blocks for a piece's running hash.
    RunningPieceHash::ReadBack ReadBack(DiskStorage& st, lt::piece_index_t piece) {
        return [this, &st, piece](int off, char* out, int len) {
            lt::storage_error ignored;
            return st.Read(m_pool, m_io, piece, off, out, len, ignored);
        };
    }

    void ReleaseStorage(DiskStorage& st) {
        m_pool.CloseStorage(st.Id());
        st.ClearPieceHashes();
        std::lock_guard<SrwLock> g(m_stockLock);
        st.stock.reset();
    }

    lt::io_context& m_ios;
    lt::settings_interface const& m_settings;
    WriteFault m_writeFault;

    SrwLock m_stockLock;
    std::unique_ptr<lt::disk_interface> m_stock;  // before the storages: they give its indices back

    // Network thread only.
    std::vector<std::shared_ptr<DiskStorage>> m_torrents;
    std::vector<lt::storage_index_t> m_free;
    std::uint64_t m_nextId = 0;

    // Used by the worker; outlive it.
    PositionalIo m_io;
    DiskFilePool m_pool;

    DiskWorker m_worker;  // last: ends first
};

}  // namespace

std::unique_ptr<lt::disk_interface> MakeDiskIo(lt::io_context& ios, lt::settings_interface const& settings,
                                               lt::counters& counters, DiskIoOptions options) {
    return std::make_unique<DiskIo>(ios, settings, counters, std::move(options));
}

std::unique_ptr<lt::disk_interface> LauncherDiskIoConstructor(lt::io_context& ios,
                                                              lt::settings_interface const& settings,
                                                              lt::counters& counters) {
    return MakeDiskIo(ios, settings, counters);
}
