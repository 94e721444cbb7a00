// The disk back-end's worker thread: a queue of jobs run in order, their completions handed
// to the network thread in batches (every post to it is a round trip through the Wine
// server), back-pressure on writes, and writes that wait out a full disk without holding back
// anything else. A job is one object from its request to its completion: it is queued, run,
// and handed back as it is, so that queuing and completing it allocate nothing.
#pragma once
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <libtorrent/disk_interface.hpp>
#include <libtorrent/disk_observer.hpp>
#include <libtorrent/io_context.hpp>
#include <libtorrent/performance_counters.hpp>

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
        Fence,      // releases the files: waits behind every refused write of its torrent
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
    // Worker, a Write job: writes itself and the `count` writes that follow it in its piece
    // (`next`) with one call of the system, and keeps each one's result. False when that could
    // not be done: each is then run on its own.
    virtual bool RunTogether(DiskStorage&, DiskJob* const* next, int count) {
        (void)next;
        (void)count;
        return false;
    }

    const Kind kind;
    const lt::operation_t op;
    int piece = -1;               // the piece a Write or Hash job works on
    int offset = 0;               // where a Write job's block starts in its piece
    lt::disk_job_flags_t flags;   // a Hash job's: a check's hashes may be dropped (see AbortHashes)
    std::int64_t writeBytes = 0;  // held against the back-pressure limit until done
    std::shared_ptr<DiskStorage> storage;  // null is an error of the caller

private:
    friend class JobList;
    friend class DiskWorker;
    friend class CompletionQueue;
    DiskJob* m_next = nullptr;
    std::uint64_t m_seq = 0;        // its place among every job queued
    bool m_counted = false;         // in the gauges of jobs alive
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
    // Moves every job of `o` to the end.
    void Append(JobList&& o) noexcept;
    // Takes out the first `n` jobs.
    JobList TakeFront(size_t n) noexcept;
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

// Completions on their way to the network thread, from any thread. One post is in flight at a
// time, and its memory is kept here: handing jobs back allocates nothing, so it cannot fail
// for want of memory. The jobs alive (queued, running or waiting for their handler) are
// counted here, where each one ends.
class CompletionQueue : public std::enable_shared_from_this<CompletionQueue> {
public:
    explicit CompletionQueue(lt::io_context& ios) : m_ios(ios) {}
    CompletionQueue(const CompletionQueue&) = delete;
    CompletionQueue& operator=(const CompletionQueue&) = delete;

    // Appends `jobs` and posts them unless a post is on its way. False when the post failed:
    // the jobs wait here for the next call.
    bool Add(JobList jobs);
    // A job begins: counted until its handler has run.
    void Started(DiskJob& job) noexcept;
    // Runs a job's handler here (on the network thread) and counts it ended.
    void CompleteNow(std::unique_ptr<DiskJob> job);

    // Jobs alive: all, reads, writes.
    int Jobs() const { return m_alive.load(std::memory_order_relaxed); }
    int Reads() const { return m_reads.load(std::memory_order_relaxed); }
    int Writes() const { return m_writes.load(std::memory_order_relaxed); }

    // The post's memory (see PostAllocator in DiskWorker.cpp).
    void* Allocate(size_t bytes);
    void Deallocate(void* p) noexcept;

private:
    struct Post;
    // Network thread: completes and frees the jobs of one batch in order.
    void Run();
    bool PostRun() noexcept;
    void Ended(const DiskJob& job) noexcept;

    lt::io_context& m_ios;
    SrwLock m_lock;
    JobList m_jobs;
    bool m_posted = false;
    std::atomic<int> m_alive{0};
    std::atomic<int> m_reads{0};
    std::atomic<int> m_writes{0};
    alignas(16) unsigned char m_arena[256];
    std::atomic<bool> m_arenaUsed{false};
};

// What the worker did, counted on the worker alone and added to the session's counters with
// each hand-over of completions (each an atomic add on the shared counters).
struct DiskStats {
    std::int64_t blocksWritten = 0;
    std::int64_t writeMicros = 0;
    std::int64_t readOps = 0;
    std::int64_t blocksRead = 0;  // by reads and hashes
    std::int64_t readMicros = 0;
    std::int64_t readBack = 0;    // blocks read to hash them
    std::int64_t hashMicros = 0;

    void Publish(lt::counters& c);
};

class DiskWorker {
public:
    DiskWorker(lt::io_context& ios, const DiskIoOptions& options, DiskStats& stats, lt::counters& counters);
    ~DiskWorker();
    DiskWorker(const DiskWorker&) = delete;
    DiskWorker& operator=(const DiskWorker&) = delete;

    enum class Pushed { Queued, QueuedFull, Ended };
    // Queues a job; allocates nothing unless it holds peers back. QueuedFull: peers should
    // wait for `observer` before sending more. Ended: the worker has ended, or is ending and
    // the job is not one that `afterAbort` lets in; the job is left to the caller.
    Pushed Push(std::unique_ptr<DiskJob>& job, bool wake, std::shared_ptr<lt::disk_observer> observer = nullptr,
                bool afterAbort = false);
    void Wake();
    // Ends the worker once its queue is done; a write waiting for disk space fails at once,
    // and so does every job queued later, and a check's hashes still queued.
    void Abort(bool wait);
    // A check's hashes of `st` queued so far are dropped (answered as aborted), as the
    // library's own back-end does when a torrent stops or its files are deleted.
    void AbortHashes(DiskStorage& st);

    void SetHighWater(std::int64_t bytes);

    // Hands back a job that never reached the queue (with its result set).
    void Hand(std::unique_ptr<DiskJob> job);
    CompletionQueue& Completions() { return *m_completions; }

    // The gauges of the library's disk statistics.
    void Gauges(lt::counters& c) const;

private:
    void Run();
    void Dispatch(std::unique_ptr<DiskJob> job, bool aborting);
    // A write, with the writes that follow it in the queue and continue it in its piece.
    void DispatchWrites(std::unique_ptr<DiskJob> first, JobList& queue, bool aborting);
    // Runs a job; true when the full disk refused it and it is to be parked.
    bool Execute(DiskJob& job, bool aborting, lt::storage_error& full);
    bool HashAborted(const DiskJob& job) const;
    // Sets a job aside until there is space (or until its torrent's next whole-file job).
    void Park(std::unique_ptr<DiskJob> job, const lt::storage_error& why);
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
    DiskStats& m_stats;
    lt::counters& m_counters;
    const std::shared_ptr<CompletionQueue> m_completions;

    // Shared, under m_lock.
    SrwLock m_lock;
    CONDITION_VARIABLE m_wake;
    JobList m_queue;
    bool m_idle = false;
    bool m_abort = false;
    bool m_ended = false;
    std::uint64_t m_seq = 0;
    std::int64_t m_queuedBytes = 0;
    std::int64_t m_highWater = 4 * 1024 * 1024;
    std::vector<std::shared_ptr<lt::disk_observer>> m_observers;
    // Read without the lock.
    std::atomic<std::uint64_t> m_checkHashesAbortedUpTo{0};
    std::atomic<int> m_waiting{0};  // queued, not yet taken up
    std::atomic<int> m_parkedCount{0};

    // Worker thread only.
    JobList m_parked;
    ULONGLONG m_retryAt = 0;
    std::uint32_t m_retryPass = 0;
    JobList m_done;
    size_t m_doneCount = 0;
    bool m_postFailed = false;  // completions wait in m_completions for another post
    ULONGLONG m_postRetryAt = 0;

    boost::asio::executor_work_guard<lt::io_context::executor_type> m_work;
    std::thread m_thread;
};
