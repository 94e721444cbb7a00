// The launcher's disk back-end as libtorrent's disk interface. Our own parts do every read,
// write and hash of the files they serve; the library's own back-end (StockDiskIo) is kept for
// the rare whole-file operations (check, move, rename, delete), with our handles closed first,
// and it hears every release and stop so that its caches stay true. Each call becomes one job
// object that the worker runs and hands back as the completion.
#include "torrent/DiskIo.h"

#include <algorithm>
#include <new>
#include <string>
#include <system_error>
#include <tuple>
#include <utility>
#include <vector>

#include <boost/asio/post.hpp>
#include <libtorrent/aux_/path.hpp>
#include <libtorrent/aux_/storage_free_list.hpp>
#include <libtorrent/error_code.hpp>
#include <libtorrent/file_storage.hpp>
#include <libtorrent/hasher.hpp>

#include "torrent/DiskFilePool.h"
#include "torrent/DiskJobs.h"
#include "torrent/DiskStorage.h"
#include "torrent/DiskWorker.h"
#include "torrent/PositionalIo.h"
#include "torrent/RunningPieceHash.h"
#include "torrent/StockDiskIo.h"

namespace {

// Write bytes waiting for the worker before peers are held back (at least; the library's
// max_queued_disk_bytes may raise it). Resumed when half of it is written.
constexpr std::int64_t kMinQueuedBytes = 4 * 1024 * 1024;

// Blocks given to the library with read results; BlockMemory needs no state, so a block never
// outlives its allocator.
struct ReadBuffers final : lt::buffer_allocator_interface {
    void free_disk_buffer(char* b) override { BlockMemory::Give(b); }
};
ReadBuffers g_buffers;

std::int64_t MicrosSince(lt::time_point start) {
    return lt::total_microseconds(lt::clock_type::now() - start);
}

class DiskIo final : public lt::disk_interface {
public:
    DiskIo(lt::io_context& ios, lt::settings_interface const& settings, lt::counters& counters, DiskIoOptions options)
        : m_ios(ios), m_settings(settings), m_stock(settings, counters), m_worker(ios, options, m_files.stats, counters) {
        m_files.writeFault = std::move(options.writeFault);
        m_stock.answered = std::move(options.libraryAnswered);
        ApplySettings();
    }

    // Allocates nothing.
    ~DiskIo() override {
        m_worker.Abort(true);
        // Torrents the library did not remove: their files closed and their storages given
        // back here; then the torrents they kept are freed, with no lock held, and a removal
        // that freeing one of them asks for finds nothing left to do.
        std::vector<Slot> left;
        left.swap(m_torrents);
        for (Slot& s : left)
            if (s.storage) ReleaseStorage(*s.storage);
        left.clear();
        m_files.pool.CloseAll();
    }

    // --- torrents ---------------------------------------------------------------------------

    lt::storage_holder new_torrent(lt::storage_params const& p, std::shared_ptr<void> const& torrent) override {
        // Everything it and its removal need is allocated before it is registered: when
        // memory runs out, nothing of it (and of the torrent it would keep) is left.
        Slot slot{std::make_shared<DiskStorage>(p, torrent, ++m_nextId),
                  std::make_unique<RemoveJob>(m_files, m_stock)};
        // The library's storage of the same torrent is made where every call to it runs.
        auto job = MakeJob(
            DiskJob::Kind::Plain, lt::operation_t::file_open, [] {}, std::tuple<>(),
            [this](DiskStorage& st, std::tuple<>&, lt::storage_error&) {
                m_stock.Add(st);
                return true;
            },
            [](std::tuple<>&, const lt::storage_error&) {});
        m_torrents.reserve(m_torrents.size() + 1);
        const lt::storage_index_t idx = m_free.new_index(lt::storage_index_t(static_cast<std::uint32_t>(m_torrents.size())));
        if (Index(idx) == m_torrents.size()) m_torrents.push_back(std::move(slot));
        else m_torrents[Index(idx)] = std::move(slot);
        Submit(idx, job, false, nullptr, AfterEnd::RunHere);
        return lt::storage_holder(idx, *this);
    }

    // Allocates nothing: the library calls it from a destructor. The storage goes with the
    // job: nothing here keeps it, so the job that closes its files and gives back the
    // library's storage is its last owner. Once the worker has ended (the session is going),
    // this runs here.
    void remove_torrent(lt::storage_index_t idx) override {
        if (Index(idx) >= m_torrents.size() || !m_torrents[Index(idx)].storage) return;
        Slot& s = m_torrents[Index(idx)];
        std::unique_ptr<DiskJob> job = std::move(s.removal);
        job->storage = std::move(s.storage);
        m_free.add(idx);  // room kept by new_index
        Push(job, true, nullptr, AfterEnd::RunHere);
    }

    // --- reads, writes, hashes ----------------------------------------------------------------

    void async_read(lt::storage_index_t idx, lt::peer_request const& r,
                    std::function<void(lt::disk_buffer_holder, lt::storage_error const&)> handler,
                    lt::disk_job_flags_t) override {
        using Result = std::tuple<lt::disk_buffer_holder, lt::storage_error>;
        if (r.length < 0 || r.length > kBlockSize) {
            Refuse(handler, lt::disk_buffer_holder(), lt::storage_error(lt::error_code(boost::system::errc::invalid_argument,
                                                                                   lt::generic_category()),
                                                                     lt::operation_t::file_read));
            return;
        }
        auto job = MakeJob(
            DiskJob::Kind::Plain, lt::operation_t::file_read, std::move(handler), Result(),
            [this, r](DiskStorage& st, Result& out, lt::storage_error&) {
                char* buf = static_cast<char*>(BlockMemory::Take());
                lt::disk_buffer_holder holder(g_buffers, buf, r.length);
                lt::storage_error err;
                const lt::time_point start = lt::clock_type::now();
                if (st.Read(m_files.pool, m_files.io, r.piece, r.start, buf, r.length, err)) {
                    ++m_files.stats.readOps;
                    ++m_files.stats.blocksRead;
                    m_files.stats.readMicros += MicrosSince(start);
                } else {
                    holder.reset();
                }
                out = Result(std::move(holder), err);
                return true;
            },
            [](Result& out, const lt::storage_error& e) {
                std::get<0>(out).reset();
                std::get<1>(out) = e;
            });
        Submit(idx, job, false);
    }

    bool async_write(lt::storage_index_t idx, lt::peer_request const& r, char const* data,
                     std::shared_ptr<lt::disk_observer> o, std::function<void(lt::storage_error const&)> handler,
                     lt::disk_job_flags_t) override {
        if (r.length < 0 || r.length > kBlockSize) {
            Refuse(handler, lt::storage_error(lt::error_code(boost::system::errc::invalid_argument, lt::generic_category()),
                                              lt::operation_t::file_write));
            return false;
        }
        std::unique_ptr<DiskJob> job;
        try {
            job = std::make_unique<WriteJob>(m_files, r, data, std::move(handler));
        } catch (const std::bad_alloc&) {
            Refuse(handler, lt::storage_error(boost::asio::error::no_memory, lt::operation_t::alloc_cache_piece));
            return false;
        }
        return Submit(idx, job, false, std::move(o)) == DiskWorker::Pushed::QueuedFull;
    }

    void async_hash(lt::storage_index_t idx, lt::piece_index_t piece, lt::span<lt::sha256_hash> v2,
                    lt::disk_job_flags_t flags,
                    std::function<void(lt::piece_index_t, lt::sha1_hash const&, lt::storage_error const&)> handler) override {
        using Result = std::tuple<lt::piece_index_t, lt::sha1_hash, lt::storage_error>;
        auto job = MakeJob(
            DiskJob::Kind::Hash, lt::operation_t::file_read, std::move(handler), Result(piece, {}, {}),
            [this, piece, v2, flags](DiskStorage& st, Result& out, lt::storage_error&) {
                std::unique_ptr<RunningPieceHash> ph = st.TakePieceHash(piece);
                if (!ph) ph = st.NewPieceHash(piece);
                lt::storage_error err;
                lt::sha1_hash sha1;
                const bool v1 = bool(flags & lt::disk_interface::v1_hash);
                const lt::time_point start = lt::clock_type::now();
                ph->Finish(v1, v2, sha1, [&](int off, char* out, int len) {
                    return m_files.ReadBack(st, piece, off, out, len, err);
                });
                m_files.stats.hashMicros += MicrosSince(start);
                if (err) sha1 = lt::sha1_hash();
                out = Result(piece, sha1, err);
                return true;
            },
            [piece](Result& out, const lt::storage_error& e) { out = Result(piece, lt::sha1_hash(), e); });
        job->piece = static_cast<int>(piece);
        job->flags = flags;
        Submit(idx, job, false);
    }

    void async_hash2(lt::storage_index_t idx, lt::piece_index_t piece, int offset, lt::disk_job_flags_t,
                     std::function<void(lt::piece_index_t, lt::sha256_hash const&, lt::storage_error const&)> handler) override {
        using Result = std::tuple<lt::piece_index_t, lt::sha256_hash, lt::storage_error>;
        auto job = MakeJob(
            DiskJob::Kind::Hash, lt::operation_t::file_read, std::move(handler), Result(piece, {}, {}),
            [this, piece, offset](DiskStorage& st, Result& out, lt::storage_error&) {
                lt::sha256_hash hash;
                lt::storage_error err;
                const RunningPieceHash* ph = st.FindPieceHash(piece);
                if (!ph || !ph->BlockHash(offset, hash)) {
                    const int len = std::min(kBlockSize, st.Files().piece_size2(piece) - offset);
                    std::vector<char> buf(static_cast<size_t>(std::max(len, 0)));
                    if (len > 0 && m_files.ReadBack(st, piece, offset, buf.data(), len, err))
                        hash = lt::hasher256(buf.data(), len).final();
                }
                out = Result(piece, hash, err);
                return true;
            },
            [piece](Result& out, const lt::storage_error& e) { out = Result(piece, lt::sha256_hash(), e); });
        job->piece = static_cast<int>(piece);
        Submit(idx, job, false);
    }

    void async_clear_piece(lt::storage_index_t idx, lt::piece_index_t piece,
                           std::function<void(lt::piece_index_t)> handler) override {
        using Result = std::tuple<lt::piece_index_t>;
        auto job = MakeJob(
            DiskJob::Kind::Hash, lt::operation_t::unknown, std::move(handler), Result(piece),
            [piece](DiskStorage& st, Result&, lt::storage_error&) {
                st.ClearPieceHash(piece);
                return true;
            },
            [](Result&, const lt::storage_error&) {});
        job->piece = static_cast<int>(piece);
        Submit(idx, job, false);
    }

    // --- releasing files ------------------------------------------------------------------------

    // A fence, as in the library's back-end: it answers once every earlier write of the
    // torrent is on the disk (a flush of the cache and resume data wait for it), writes that
    // wait for space included. Reads and hashes of other pieces go on meanwhile.
    void async_release_files(lt::storage_index_t idx, std::function<void()> handler) override {
        CloseFiles(idx, std::move(handler), false);
    }

    // Like the library's back-end, a stop answers once the torrent's writes are done: those
    // waiting for disk space end with their error first. A check's hashes still queued are
    // dropped.
    void async_stop_torrent(lt::storage_index_t idx, std::function<void()> handler) override {
        AbortCheckHashes(idx);
        CloseFiles(idx, std::move(handler), true);
    }

    // --- rare operations: the library's own back-end, our handles closed first -----------------

    void async_check_files(lt::storage_index_t idx, lt::add_torrent_params const* resume,
                           lt::aux::vector<std::string, lt::file_index_t> links,
                           std::function<void(lt::status_t, lt::storage_error const&)> handler) override {
        using Result = std::tuple<lt::status_t, lt::storage_error>;
        auto job = MakeJob(
            DiskJob::Kind::WholeFile, lt::operation_t::check_resume, std::move(handler),
            Result(lt::status_t::fatal_disk_error, {}),
            [this, resume, links = std::move(links)](DiskStorage& st, Result& out, lt::storage_error&) mutable {
                CloseForStock(st);
                m_stock.Forward<lt::status_t, lt::storage_error const&>(
                    st, out, [&](lt::disk_interface& d, lt::storage_index_t i, auto answer) {
                        d.async_check_files(i, resume, std::move(links), std::move(answer));
                    });
                return true;
            },
            [](Result& out, const lt::storage_error& e) { out = Result(lt::status_t::fatal_disk_error, e); });
        Submit(idx, job, true);
    }

    void async_move_storage(lt::storage_index_t idx, std::string path, lt::move_flags_t flags,
                            std::function<void(lt::status_t, std::string const&, lt::storage_error const&)> handler) override {
        using Result = std::tuple<lt::status_t, std::string, lt::storage_error>;
        auto job = MakeJob(
            DiskJob::Kind::WholeFile, lt::operation_t::file_rename, std::move(handler),
            Result(lt::status_t::fatal_disk_error, path, {}),
            [this, path, flags](DiskStorage& st, Result& out, lt::storage_error&) {
                CloseForStock(st);
                // The answer is the new place or the old one: room for either is made now, so
                // that ours follows without allocating once the files have moved.
                const size_t room = std::max(lt::complete(path).size(), st.SavePath().size());
                std::get<1>(out).reserve(room);
                st.ReserveSavePath(room);
                m_stock.Forward<lt::status_t, std::string const&, lt::storage_error const&>(
                    st, out, [&](lt::disk_interface& d, lt::storage_index_t i, auto answer) {
                        d.async_move_storage(i, path, flags, std::move(answer));
                    });
                // Where the library's storage is now, moved or not: ours follows.
                st.SetSavePath(std::get<1>(out));
                return true;
            },
            [](Result& out, const lt::storage_error& e) {
                std::get<0>(out) = lt::status_t::fatal_disk_error;
                std::get<2>(out) = e;
            });
        Submit(idx, job, true);
    }

    void async_rename_file(lt::storage_index_t idx, lt::file_index_t file, std::string name,
                           std::function<void(std::string const&, lt::file_index_t, lt::storage_error const&)> handler) override {
        using Result = std::tuple<std::string, lt::file_index_t, lt::storage_error>;
        auto job = MakeJob(
            DiskJob::Kind::WholeFile, lt::operation_t::file_rename, std::move(handler), Result(name, file, {}),
            [this, file, name](DiskStorage& st, Result& out, lt::storage_error&) {
                CloseForStock(st);
                std::unique_ptr<lt::file_storage> renamed = st.Renamed(file, name);
                m_stock.Forward<std::string const&, lt::file_index_t, lt::storage_error const&>(
                    st, out, [&](lt::disk_interface& d, lt::storage_index_t i, auto answer) {
                        d.async_rename_file(i, file, name, std::move(answer));
                    });
                if (!std::get<2>(out)) st.SetFiles(std::move(renamed));
                return true;
            },
            [](Result& out, const lt::storage_error& e) { std::get<2>(out) = e; });
        Submit(idx, job, true);
    }

    void async_delete_files(lt::storage_index_t idx, lt::remove_flags_t options,
                            std::function<void(lt::storage_error const&)> handler) override {
        AbortCheckHashes(idx);
        using Result = std::tuple<lt::storage_error>;
        auto job = MakeJob(
            DiskJob::Kind::WholeFile, lt::operation_t::file_remove, std::move(handler), Result(),
            [this, options](DiskStorage& st, Result& out, lt::storage_error&) {
                CloseForStock(st);
                m_stock.Forward<lt::storage_error const&>(
                    st, out, [&](lt::disk_interface& d, lt::storage_index_t i, auto answer) {
                        d.async_delete_files(i, options, std::move(answer));
                    });
                return true;
            },
            [](Result& out, const lt::storage_error& e) { std::get<0>(out) = e; });
        Submit(idx, job, true);
    }

    // Our back-end writes every file itself, wanted or not: the priorities change nothing of
    // its open files, running hashes and waiting writes. The library's back-end keeps its
    // record of them for its checks (it moves a file out of its part file, which it never
    // has here, through handles of its own that share the file with ours).
    void async_set_file_priority(lt::storage_index_t idx, lt::aux::vector<lt::download_priority_t, lt::file_index_t> prio,
                                 std::function<void(lt::storage_error const&,
                                                    lt::aux::vector<lt::download_priority_t, lt::file_index_t>)> handler) override {
        using Priorities = lt::aux::vector<lt::download_priority_t, lt::file_index_t>;
        using Result = std::tuple<lt::storage_error, Priorities>;
        auto job = MakeJob(
            DiskJob::Kind::Plain, lt::operation_t::partfile_move, std::move(handler), Result(lt::storage_error(), prio),
            [this](DiskStorage& st, Result& out, lt::storage_error&) {
                Priorities asked = std::get<1>(out);
                m_stock.Forward<lt::storage_error const&, Priorities>(
                    st, out, [&](lt::disk_interface& d, lt::storage_index_t i, auto answer) {
                        d.async_set_file_priority(i, std::move(asked), std::move(answer));
                    });
                return true;
            },
            [](Result& out, const lt::storage_error& e) { std::get<0>(out) = e; });
        Submit(idx, job, true);
    }

    // --- the rest of the interface ----------------------------------------------------------------

    // What the worker did is added to the session's counters as it hands back completions;
    // here the gauges.
    void update_stats_counters(lt::counters& c) const override {
        m_worker.Gauges(c);
        c.set_value(lt::counters::disk_blocks_in_use, BlockMemory::InUse());
    }

    std::vector<lt::open_file_state> get_status(lt::storage_index_t idx) const override {
        if (Index(idx) >= m_torrents.size() || !m_torrents[Index(idx)].storage) return {};
        return m_files.pool.Status(m_torrents[Index(idx)].storage->Id());
    }

    // Jobs queued before it are done (a check's hashes are dropped); later ones are answered as
    // aborted, but for a torrent's removal, which gives back what it holds.
    void abort(bool wait) override { m_worker.Abort(wait); }

    void submit_jobs() override { m_worker.Wake(); }

    // The library's back-end is not told: it keeps the session's settings by reference and
    // reads them in its checks; what else it would update serves reads and hashes it never
    // does here.
    void settings_updated() override { ApplySettings(); }

private:
    enum class AfterEnd { Abort, RunHere };

    // A torrent: its storage, and the job that will remove it.
    struct Slot {
        std::shared_ptr<DiskStorage> storage;
        std::unique_ptr<DiskJob> removal;
    };

    static size_t Index(lt::storage_index_t idx) { return static_cast<size_t>(static_cast<std::uint32_t>(idx)); }

    void ApplySettings() {
        m_files.pool.SetLimit(m_settings.get_int(lt::settings_pack::file_pool_size));
        m_worker.SetHighWater(
            std::max<std::int64_t>(kMinQueuedBytes, m_settings.get_int(lt::settings_pack::max_queued_disk_bytes)));
    }

    // The one way in for the jobs of a torrent.
    DiskWorker::Pushed Submit(lt::storage_index_t idx, std::unique_ptr<DiskJob>& job, bool wake,
                              std::shared_ptr<lt::disk_observer> observer = nullptr,
                              AfterEnd afterEnd = AfterEnd::Abort) {
        if (Index(idx) < m_torrents.size()) job->storage = m_torrents[Index(idx)].storage;
        return Push(job, wake, std::move(observer), afterEnd);
    }

    // Once the session's abort has begun, a job is answered as aborted, but for one that
    // makes or gives back a torrent's resources: it is queued while the worker runs, and runs
    // here once it has ended.
    DiskWorker::Pushed Push(std::unique_ptr<DiskJob>& job, bool wake, std::shared_ptr<lt::disk_observer> observer,
                            AfterEnd afterEnd) {
        const bool runHere = afterEnd == AfterEnd::RunHere;
        const DiskWorker::Pushed pushed = m_worker.Push(job, wake, std::move(observer), runHere);
        if (pushed != DiskWorker::Pushed::Ended) return pushed;
        if (runHere && job->storage) {
            try {
                lt::storage_error ignored;
                job->Run(*job->storage, ignored);
            } catch (...) {
                job->Fail(lt::storage_error(boost::asio::error::operation_aborted, job->op));
            }
            job->storage.reset();
            m_worker.Completions().CompleteNow(std::move(job));
        } else {
            job->Fail(lt::storage_error(boost::asio::error::operation_aborted, job->op));
            job->storage.reset();
            m_worker.Hand(std::move(job));
        }
        return pushed;
    }

    // A call refused before it became a job: its handler is called as a completion.
    template <class Handler, class... A>
    void Refuse(Handler& handler, A&&... result) {
        std::unique_ptr<DiskJob> job = MakeJob(
            DiskJob::Kind::Plain, lt::operation_t::unknown, std::move(handler),
            std::make_tuple(std::forward<A>(result)...), [](DiskStorage&, auto&, lt::storage_error&) { return true; },
            [](auto&, const lt::storage_error&) {});
        m_worker.Hand(std::move(job));
    }

    void AbortCheckHashes(lt::storage_index_t idx) {
        if (Index(idx) < m_torrents.size() && m_torrents[Index(idx)].storage)
            m_worker.AbortHashes(*m_torrents[Index(idx)].storage);
    }

    void CloseFiles(lt::storage_index_t idx, std::function<void()> handler, bool stop) {
        auto job = MakeJob(
            stop ? DiskJob::Kind::WholeFile : DiskJob::Kind::Fence, lt::operation_t::file, std::move(handler),
            std::tuple<>(),
            [this, stop](DiskStorage& st, std::tuple<>&, lt::storage_error&) {
                m_files.pool.CloseStorage(st.Id());
                // The library's back-end hears it too, so that its record of which files exist
                // is asked afresh by the next check.
                m_stock.Release(st, stop);
                return true;
            },
            [](std::tuple<>&, const lt::storage_error&) {});
        Submit(idx, job, true);
    }

    // Before the library's back-end works on whole files: ours are closed and what was hashed
    // from them is forgotten.
    void CloseForStock(DiskStorage& st) {
        m_files.pool.CloseStorage(st.Id());
        st.ClearPieceHashes();
    }

    void ReleaseStorage(DiskStorage& st) {
        m_files.pool.CloseStorage(st.Id());
        st.ClearPieceHashes();
        m_stock.Remove(st);
    }

    lt::io_context& m_ios;
    lt::settings_interface const& m_settings;

    StockDiskIo m_stock;  // before the storages: they give its indices back

    // Network thread only.
    std::vector<Slot> m_torrents;
    lt::aux::storage_free_list m_free;
    std::uint64_t m_nextId = 0;

    DiskFiles m_files;  // used by the worker; outlives it

    DiskWorker m_worker;  // last: ends first
};

}  // namespace

std::unique_ptr<lt::disk_interface> MakeDiskIo(lt::io_context& ios, lt::settings_interface const& settings,
                                               lt::counters& counters, DiskIoOptions options) {
    return std::make_unique<DiskIo>(ios, settings, counters, std::move(options));
}

WriteFault g_launcherWriteFaultForTests;

std::unique_ptr<lt::disk_interface> LauncherDiskIoConstructor(lt::io_context& ios,
                                                              lt::settings_interface const& settings,
                                                              lt::counters& counters) {
    DiskIoOptions options;
    options.writeFault = g_launcherWriteFaultForTests;
    return MakeDiskIo(ios, settings, counters, std::move(options));
}
