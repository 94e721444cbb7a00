// The disk back-end's worker thread: a queue of jobs run in order, their completions handed
// to the network thread in batches (every post to it is a round trip through the Wine
// server), back-pressure on writes, and writes that wait out a full disk without holding back
// anything else.
#pragma once
#include <windows.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <libtorrent/disk_interface.hpp>
#include <libtorrent/disk_observer.hpp>
#include <libtorrent/io_context.hpp>

#include "torrent/DiskStorage.h"
#include "torrent/SrwLock.h"

namespace lt = libtorrent;

// A completion for the network thread: a callable that can be moved only (read results hold a
// buffer).
class Completion {
public:
    Completion() = default;
    template <class F>
    static Completion Of(F&& f) {
        Completion c;
        c.m_fn.reset(new Holder<std::decay_t<F>>(std::forward<F>(f)));
        return c;
    }
    explicit operator bool() const { return m_fn != nullptr; }
    void operator()() { m_fn->Run(); }

private:
    struct Base {
        virtual ~Base() = default;
        virtual void Run() = 0;
    };
    template <class F>
    struct Holder final : Base {
        explicit Holder(F&& f) : fn(std::move(f)) {}
        void Run() override { fn(); }
        F fn;
    };
    std::unique_ptr<Base> m_fn;
};

// What a job's run gives back: its completion, or the error of a write that the full disk
// refused (the job is then tried again later).
struct JobOutcome {
    JobOutcome() = default;
    explicit JobOutcome(Completion c) : done(std::move(c)) {}
    static JobOutcome DiskFull(const lt::storage_error& e) {
        JobOutcome o;
        o.diskFull = true;
        o.error = e;
        return o;
    }

    Completion done;
    bool diskFull = false;
    lt::storage_error error;  // when diskFull
};

struct DiskJob {
    enum class Kind {
        Plain,      // runs in its turn
        Write,      // writes blocks: waits behind a write of its torrent that the disk refused
        Hash,       // hashes or clears a piece: waits behind a refused write of that piece
        WholeFile,  // check, move, rename, delete, remove: ends the torrent's waiting writes first
    };
    Kind kind = Kind::Plain;
    std::shared_ptr<DiskStorage> storage;
    lt::operation_t op = lt::operation_t::unknown;
    int piece = -1;               // the piece a Write or Hash job works on
    std::int64_t writeBytes = 0;  // held against the back-pressure limit until done
    // Does the job on the worker. Null `storage` is an error of the caller.
    std::function<JobOutcome(DiskStorage&)> run;
    // The completion that reports `error` instead.
    std::function<Completion(const lt::storage_error&)> fail;
};

struct DiskWorkerOptions {
    // A write that the full disk refused is tried again after this long.
    DWORD diskFullRetryMs = 2000;
    // Called as each job's completion is queued for the network thread; an exception from it
    // is taken as a failure of that job's bookkeeping (faults are injected through it).
    std::function<void()> completionFault;
};

class DiskWorker {
public:
    DiskWorker(lt::io_context& ios, DiskWorkerOptions options);
    ~DiskWorker();
    DiskWorker(const DiskWorker&) = delete;
    DiskWorker& operator=(const DiskWorker&) = delete;

    enum class Pushed { Queued, QueuedFull, Ended };
    // Queues a job. QueuedFull: peers should wait for `observer` before sending more. Ended:
    // the worker has ended; the job is left to the caller.
    Pushed Push(DiskJob& job, bool wake, std::shared_ptr<lt::disk_observer> observer = nullptr);
    void Wake();
    // Ends the worker once its queue is done; a write waiting for disk space fails at once.
    void Abort(bool wait);
    bool Ended() const;
    bool Aborting() const;

    void SetHighWater(std::int64_t bytes);
    std::int64_t QueuedBytes() const;

    // Worker thread: hands the completions so far to the network thread now (before work is
    // given to the library's back-end, which posts its own, so the order holds).
    void Flush();

private:
    struct Parked {
        DiskJob job;
        lt::storage_error error;  // why it waits
    };

    void Run();
    // Runs a job; true when the full disk refused it and it is to be parked.
    bool Execute(DiskJob& job, bool aborting, lt::storage_error& diskFull);
    void Dispatch(DiskJob& job, bool aborting);
    void RetryParked(bool aborting);
    void EndParked(DiskStorage* storage);
    bool PieceParked(const DiskStorage* storage, int piece) const;
    void Finish(DiskJob& job, Completion done);
    void Complete(DiskJob& job, const lt::storage_error& error);
    void Settle(DiskJob& job) noexcept;
    static void RunBatch(std::vector<Completion>& batch);

    lt::io_context& m_ios;
    DiskWorkerOptions m_options;

    // Shared, under m_lock.
    mutable SrwLock m_lock;
    CONDITION_VARIABLE m_wake;
    std::deque<DiskJob> m_queue;
    bool m_idle = false;
    bool m_abort = false;
    bool m_ended = false;
    std::int64_t m_queuedBytes = 0;
    std::int64_t m_highWater = 4 * 1024 * 1024;
    std::vector<std::shared_ptr<lt::disk_observer>> m_observers;

    // Worker thread only.
    std::deque<Parked> m_parked;
    ULONGLONG m_retryAt = 0;
    std::vector<Completion> m_done;

    boost::asio::executor_work_guard<lt::io_context::executor_type> m_work;
    std::thread m_thread;
};
