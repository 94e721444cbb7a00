// The disk back-end's worker thread: a queue of jobs run in order, their completions handed
// to the network thread in batches (every post to it is a round trip through the Wine
// server), back-pressure on writes, and writes that wait out a full disk without holding back
// anything else. A job is one object from its request to its completion: it is queued, run,
// and handed back as it is, so that queuing and completing it allocate nothing.
#pragma once
#include <windows.h>

#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <libtorrent/disk_interface.hpp>
#include <libtorrent/disk_observer.hpp>
#include <libtorrent/io_context.hpp>

#include "common/SrwLock.h"
#include "torrent/DiskIo.h"
#include "torrent/DiskStorage.h"

namespace lt = libtorrent;

class DiskJob {
public:
    enum class Kind {
        Plain,      // runs in its turn
        Write,      // writes blocks: waits behind a write of its torrent that the disk refused
        Hash,       // hashes or clears a piece: waits behind a refused write of that piece
        WholeFile,  // check, move, rename, delete, stop, remove: ends the torrent's waiting writes first
    };

    DiskJob(Kind k, lt::operation_t o) : kind(k), op(o) {}
    virtual ~DiskJob() = default;
    DiskJob(const DiskJob&) = delete;
    DiskJob& operator=(const DiskJob&) = delete;

    // Worker: does the job and keeps its result. False when the full disk refused a write:
    // `full` says why, and the job is run again later.
    virtual bool Run(DiskStorage& st, lt::storage_error& full) = 0;
    // Worker: `error` is the job's result instead.
    virtual void Fail(const lt::storage_error& error) noexcept = 0;
    // Network thread: hands the result to the library's handler.
    virtual void Complete() = 0;

    const Kind kind;
    const lt::operation_t op;
    int piece = -1;               // the piece a Write or Hash job works on
    std::int64_t writeBytes = 0;  // held against the back-pressure limit until done
    std::shared_ptr<DiskStorage> storage;  // null is an error of the caller

private:
    friend class JobList;
    friend class DiskWorker;
    DiskJob* m_next = nullptr;
    lt::storage_error m_parkedFor;  // why it waits for space
};

// Jobs in order, linked through the jobs themselves; owns them.
class JobList {
public:
    JobList() = default;
    JobList(JobList&& o) noexcept : m_head(o.m_head), m_tail(o.m_tail) { o.m_head = o.m_tail = nullptr; }
    JobList& operator=(JobList&& o) noexcept;
    ~JobList();

    bool Empty() const { return m_head == nullptr; }
    DiskJob* Front() const { return m_head; }
    void PushBack(std::unique_ptr<DiskJob> job) noexcept;
    void PushFront(std::unique_ptr<DiskJob> job) noexcept;
    std::unique_ptr<DiskJob> PopFront() noexcept;
    // Takes out the jobs `take` picks, in order.
    template <class F>
    JobList Extract(F&& take) noexcept;

private:
    DiskJob* m_head = nullptr;
    DiskJob* m_tail = nullptr;
};

template <class F>
JobList JobList::Extract(F&& take) noexcept {
    JobList out, rest;
    while (std::unique_ptr<DiskJob> j = PopFront()) {
        if (take(*j)) out.PushBack(std::move(j));
        else rest.PushBack(std::move(j));
    }
    *this = std::move(rest);
    return out;
}

class DiskWorker {
public:
    DiskWorker(lt::io_context& ios, const DiskIoOptions& options);
    ~DiskWorker();
    DiskWorker(const DiskWorker&) = delete;
    DiskWorker& operator=(const DiskWorker&) = delete;

    enum class Pushed { Queued, QueuedFull, Ended };
    // Queues a job; allocates nothing unless it holds peers back. QueuedFull: peers should
    // wait for `observer` before sending more. Ended: the worker has ended, and the job is
    // left to the caller.
    Pushed Push(std::unique_ptr<DiskJob>& job, bool wake, std::shared_ptr<lt::disk_observer> observer = nullptr);
    void Wake();
    // Ends the worker once its queue is done; a write waiting for disk space fails at once.
    void Abort(bool wait);

    void SetHighWater(std::int64_t bytes);

    // Network thread: completes and frees the jobs of a batch in order.
    static void RunBatch(JobList& batch);

private:
    void Run();
    void Dispatch(std::unique_ptr<DiskJob> job, bool aborting);
    // Runs a job; true when the full disk refused it and it is to be parked.
    bool Execute(DiskJob& job, bool aborting, lt::storage_error& full);
    // Sets a job aside until there is space (or until its torrent's next whole-file job).
    void Park(std::unique_ptr<DiskJob> job, const lt::storage_error& why, bool first);
    void RetryParked(bool aborting);
    void EndParked(DiskStorage* storage);
    bool PieceParked(const DiskStorage* storage, int piece) const;
    // The job is done, with its result or with `error`: queued for the network thread.
    void Done(std::unique_ptr<DiskJob> job);
    void Done(std::unique_ptr<DiskJob> job, const lt::storage_error& error);
    void Flush();

    lt::io_context& m_ios;
    const DWORD m_diskFullRetryMs;
    const std::function<void()> m_completionFault;

    // Shared, under m_lock.
    SrwLock m_lock;
    CONDITION_VARIABLE m_wake;
    JobList m_queue;
    bool m_idle = false;
    bool m_abort = false;
    bool m_ended = false;
    std::int64_t m_queuedBytes = 0;
    std::int64_t m_highWater = 4 * 1024 * 1024;
    std::vector<std::shared_ptr<lt::disk_observer>> m_observers;

    // Worker thread only.
    JobList m_parked;
    ULONGLONG m_retryAt = 0;
    JobList m_done;
    size_t m_doneCount = 0;

    boost::asio::executor_work_guard<lt::io_context::executor_type> m_work;
    std::thread m_thread;
};
