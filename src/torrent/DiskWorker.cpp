#include "torrent/DiskWorker.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <mutex>
#include <new>
#include <system_error>
#include <utility>

#include <boost/asio/post.hpp>
#include <libtorrent/error_code.hpp>

#include "torrent/DiskErrors.h"

namespace {

// Completions run by the network thread at once at most; keeps its latency low when many are
// done together.
constexpr size_t kMaxBatch = 128;

// Blocks written with one call of the system at most (see DispatchWrites).
constexpr int kMaxWriteRun = 16;

// A completion post that could not be made is tried again this soon.
constexpr DWORD kPostRetryMs = 10;

// Shown by debuggers, profilers and, under Wine, as the Linux thread's name. Looked up at run
// time: older Windows has no such call.
void NameThread(const wchar_t* name) {
    using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    auto set = kernel ? reinterpret_cast<SetDescription>(
                            reinterpret_cast<void*>(::GetProcAddress(kernel, "SetThreadDescription")))
                      : nullptr;
    if (set) set(::GetCurrentThread(), name);
}

// Tells peers held back by the write queue's limit to go on.
class ResumePeers final : public DiskJob {
public:
    explicit ResumePeers(std::vector<std::shared_ptr<lt::disk_observer>> observers)
        : DiskJob(Kind::Plain, lt::operation_t::unknown), m_observers(std::move(observers)) {}
    bool Run(DiskStorage&, lt::storage_error&) override { return true; }
    void Fail(const lt::storage_error&) noexcept override {}
    void Complete() override {
        for (auto& o : m_observers) o->on_disk();
    }

private:
    std::vector<std::shared_ptr<lt::disk_observer>> m_observers;
};

// Gives the completion post its memory from the queue it serves. It keeps the queue alive:
// the post's memory is given back after its handler is destroyed, even when the post is
// destroyed unrun with the io_context.
template <class T>
class PostAllocator {
public:
    using value_type = T;
    explicit PostAllocator(std::shared_ptr<CompletionQueue> q) noexcept : m_q(std::move(q)) {}
    template <class U>
    PostAllocator(const PostAllocator<U>& o) noexcept : m_q(o.m_q) {}  // NOLINT: rebinding
    T* allocate(std::size_t n) { return static_cast<T*>(m_q->Allocate(n * sizeof(T))); }
    void deallocate(T* p, std::size_t) noexcept { m_q->Deallocate(p); }
    template <class U>
    bool operator==(const PostAllocator<U>& o) const noexcept { return m_q == o.m_q; }
    template <class U>
    bool operator!=(const PostAllocator<U>& o) const noexcept { return m_q != o.m_q; }

private:
    template <class U>
    friend class PostAllocator;
    std::shared_ptr<CompletionQueue> m_q;
};

}  // namespace

// --- the job list -----------------------------------------------------------------------------

JobList& JobList::operator=(JobList&& o) noexcept {
    if (this != &o) {
        JobList old(std::move(*this));
        m_head = o.m_head;
        m_tail = o.m_tail;
        o.m_head = o.m_tail = nullptr;
    }
    return *this;
}

JobList::~JobList() {
    while (PopFront()) {
    }
}

void JobList::PushBack(std::unique_ptr<DiskJob> job) noexcept {
    DiskJob* j = job.release();
    j->m_next = nullptr;
    if (m_tail) m_tail->m_next = j;
    else m_head = j;
    m_tail = j;
}

void JobList::PushFront(std::unique_ptr<DiskJob> job) noexcept {
    DiskJob* j = job.release();
    j->m_next = m_head;
    m_head = j;
    if (!m_tail) m_tail = j;
}

std::unique_ptr<DiskJob> JobList::PopFront() noexcept {
    DiskJob* j = m_head;
    if (!j) return nullptr;
    m_head = j->m_next;
    if (!m_head) m_tail = nullptr;
    j->m_next = nullptr;
    return std::unique_ptr<DiskJob>(j);
}

void JobList::Append(JobList&& o) noexcept {
    if (this == &o || !o.m_head) return;
    if (m_tail) m_tail->m_next = o.m_head;
    else m_head = o.m_head;
    m_tail = o.m_tail;
    o.m_head = o.m_tail = nullptr;
}

JobList JobList::TakeFront(size_t n) noexcept {
    JobList out;
    while (n-- > 0 && m_head) out.PushBack(PopFront());
    return out;
}

// --- completions ------------------------------------------------------------------------------

struct CompletionQueue::Post {
    std::shared_ptr<CompletionQueue> q;
    using allocator_type = PostAllocator<void>;
    allocator_type get_allocator() const noexcept { return allocator_type(q); }
    void operator()() const { q->Run(); }
};

void* CompletionQueue::Allocate(size_t bytes) {
    if (bytes <= sizeof(m_arena) && !m_arenaUsed.exchange(true, std::memory_order_acquire)) return m_arena;
    return ::operator new(bytes);
}

void CompletionQueue::Deallocate(void* p) noexcept {
    if (p == m_arena) m_arenaUsed.store(false, std::memory_order_release);
    else ::operator delete(p);
}

bool CompletionQueue::PostRun() noexcept {
    try {
        boost::asio::post(m_ios, Post{shared_from_this()});
        return true;
    } catch (...) {
        return false;
    }
}

bool CompletionQueue::Add(JobList jobs) {
    {
        std::lock_guard<SrwLock> g(m_lock);
        m_jobs.Append(std::move(jobs));
        if (m_posted || m_jobs.Empty()) return true;
        m_posted = true;
    }
    if (PostRun()) return true;
    std::lock_guard<SrwLock> g(m_lock);
    m_posted = false;
    return false;
}

void CompletionQueue::Run() {
    JobList batch;
    bool more;
    {
        std::lock_guard<SrwLock> g(m_lock);
        batch = m_jobs.TakeFront(kMaxBatch);
        more = !m_jobs.Empty();
        if (!more) m_posted = false;
    }
    // The rest comes in a post of its own, after what other work waits meanwhile; when that
    // post cannot be made, now.
    if (more && !PostRun()) {
        std::lock_guard<SrwLock> g(m_lock);
        batch.Append(std::move(m_jobs));
        m_posted = false;
    }
    // Nothing behind a throwing handler may be lost; the first exception goes on as the
    // library's own handlers' would.
    std::exception_ptr first;
    while (std::unique_ptr<DiskJob> job = batch.PopFront()) {
        try {
            job->Complete();
        } catch (...) {
            if (!first) first = std::current_exception();
        }
        Ended(*job);
    }
    if (first) std::rethrow_exception(first);
}

void CompletionQueue::CompleteNow(std::unique_ptr<DiskJob> job) {
    struct End {
        CompletionQueue& q;
        DiskJob& j;
        ~End() { q.Ended(j); }
    } end{*this, *job};
    job->Complete();
}

void CompletionQueue::Started(DiskJob& job) noexcept {
    job.m_counted = true;
    m_alive.fetch_add(1, std::memory_order_relaxed);
    if (job.kind == DiskJob::Kind::Write) m_writes.fetch_add(1, std::memory_order_relaxed);
    else if (job.op == lt::operation_t::file_read && job.kind == DiskJob::Kind::Plain)
        m_reads.fetch_add(1, std::memory_order_relaxed);
}

void CompletionQueue::Ended(const DiskJob& job) noexcept {
    if (!job.m_counted) return;
    m_alive.fetch_sub(1, std::memory_order_relaxed);
    if (job.kind == DiskJob::Kind::Write) m_writes.fetch_sub(1, std::memory_order_relaxed);
    else if (job.op == lt::operation_t::file_read && job.kind == DiskJob::Kind::Plain)
        m_reads.fetch_sub(1, std::memory_order_relaxed);
}

void DiskStats::Publish(lt::counters& c) {
    auto add = [&c](int counter, std::int64_t& v) {
        if (v) c.inc_stats_counter(counter, v);
        v = 0;
    };
    const std::int64_t jobMicros = writeMicros + readMicros + hashMicros;
    if (jobMicros) c.inc_stats_counter(lt::counters::disk_job_time, jobMicros);
    if (blocksWritten) c.inc_stats_counter(lt::counters::num_write_ops, blocksWritten);
    add(lt::counters::num_blocks_written, blocksWritten);
    add(lt::counters::disk_write_time, writeMicros);
    add(lt::counters::num_read_ops, readOps);
    add(lt::counters::num_blocks_read, blocksRead);
    add(lt::counters::disk_read_time, readMicros);
    add(lt::counters::num_read_back, readBack);
    add(lt::counters::disk_hash_time, hashMicros);
}

// --- the worker -------------------------------------------------------------------------------

DiskWorker::DiskWorker(lt::io_context& ios, const DiskIoOptions& options, DiskStats& stats, lt::counters& counters)
    : m_ios(ios),
      m_diskFullRetryMs(options.diskFullRetryMs),
      m_completionFault(options.completionFault),
      m_stats(stats),
      m_counters(counters),
      m_completions(std::make_shared<CompletionQueue>(ios)),
      m_work(boost::asio::make_work_guard(ios)) {
    ::InitializeConditionVariable(&m_wake);
    m_thread = std::thread([this] { Run(); });
}

DiskWorker::~DiskWorker() { Abort(true); }

DiskWorker::Pushed DiskWorker::Push(std::unique_ptr<DiskJob>& job, bool wake,
                                    std::shared_ptr<lt::disk_observer> observer, bool afterAbort) {
    m_completions->Started(*job);
    bool full = false;
    bool idle;
    {
        std::lock_guard<SrwLock> g(m_lock);
        if (m_ended || (m_abort && !afterAbort)) return Pushed::Ended;
        const std::int64_t bytes = job->writeBytes;
        if (bytes && m_queuedBytes + bytes > m_highWater) {
            full = true;
            if (observer) m_observers.push_back(std::move(observer));
        }
        job->m_seq = ++m_seq;
        m_queue.PushBack(std::move(job));
        m_queuedBytes += bytes;
        m_waiting.fetch_add(1, std::memory_order_relaxed);
        idle = m_idle;
    }
    if (wake && idle) ::WakeConditionVariable(&m_wake);
    return full ? Pushed::QueuedFull : Pushed::Queued;
}

void DiskWorker::Hand(std::unique_ptr<DiskJob> job) {
    JobList one;
    one.PushBack(std::move(job));
    // Fails only where the post's own memory is taken; the next hand-over carries it then.
    m_completions->Add(std::move(one));
}

void DiskWorker::Wake() {
    bool wake;
    {
        std::lock_guard<SrwLock> g(m_lock);
        wake = m_idle && !m_queue.Empty();
    }
    if (wake) ::WakeConditionVariable(&m_wake);
}

void DiskWorker::Abort(bool wait) {
    {
        std::lock_guard<SrwLock> g(m_lock);
        if (!m_abort) m_checkHashesAbortedUpTo = m_seq;
        m_abort = true;
    }
    ::WakeAllConditionVariable(&m_wake);
    if (wait && m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) m_thread.join();
}

void DiskWorker::AbortHashes(DiskStorage& st) {
    std::lock_guard<SrwLock> g(m_lock);
    st.checkHashesAbortedUpTo = m_seq;
}

void DiskWorker::SetHighWater(std::int64_t bytes) {
    std::lock_guard<SrwLock> g(m_lock);
    m_highWater = bytes;
}

void DiskWorker::Gauges(lt::counters& c) const {
    c.set_value(lt::counters::queued_disk_jobs, m_waiting.load(std::memory_order_relaxed));
    c.set_value(lt::counters::num_jobs, m_completions->Jobs());
    c.set_value(lt::counters::num_read_jobs, m_completions->Reads());
    c.set_value(lt::counters::num_write_jobs, m_completions->Writes());
    c.set_value(lt::counters::blocked_disk_jobs, m_parkedCount.load(std::memory_order_relaxed));
}

void DiskWorker::Run() {
    NameThread(L"disk");
    m_counters.inc_stats_counter(lt::counters::num_running_threads, 1);
    for (;;) {
        JobList jobs;
        bool aborting;
        {
            std::lock_guard<SrwLock> g(m_lock);
            while (m_queue.Empty() && !m_abort) {
                // Woken by a job, or when waiting writes or completions are due again.
                ULONGLONG due = ~0ULL;
                if (!m_parked.Empty()) due = m_retryAt;
                if (m_postFailed) due = std::min(due, m_postRetryAt);
                DWORD wait = INFINITE;
                if (due != ~0ULL) {
                    const ULONGLONG now = ::GetTickCount64();
                    if (now >= due) break;
                    wait = static_cast<DWORD>(due - now);
                }
                m_idle = true;
                ::SleepConditionVariableSRW(&m_wake, m_lock.native(), wait, 0);
            }
            m_idle = false;
            aborting = m_abort;
            if (aborting && m_queue.Empty() && m_parked.Empty()) {
                m_ended = true;
                break;
            }
            jobs = std::move(m_queue);
        }
        if (!m_parked.Empty() && (aborting || ::GetTickCount64() >= m_retryAt)) RetryParked(aborting);
        while (std::unique_ptr<DiskJob> j = jobs.PopFront()) {
            m_waiting.fetch_sub(1, std::memory_order_relaxed);
            if (j->kind == DiskJob::Kind::Write) DispatchWrites(std::move(j), jobs, aborting);
            else Dispatch(std::move(j), aborting);
            if (m_doneCount >= kMaxBatch) Flush();
        }
        Flush();
    }
    // No completion is left behind: the network thread runs until the last is posted.
    Flush();
    while (m_postFailed) {
        ::Sleep(kPostRetryMs);
        Flush();
    }
    m_counters.inc_stats_counter(lt::counters::num_running_threads, -1);
    m_work.reset();
}

bool DiskWorker::HashAborted(const DiskJob& job) const {
    if (job.kind != DiskJob::Kind::Hash || !job.storage) return false;
    // As the library's own back-end: a torrent's stop drops its check's hashes (volatile
    // reads), the session's abort every hash of a check (sequential reads).
    return ((job.flags & lt::disk_interface::volatile_read) &&
            job.m_seq <= job.storage->checkHashesAbortedUpTo.load(std::memory_order_relaxed)) ||
           ((job.flags & lt::disk_interface::sequential_access) &&
            job.m_seq <= m_checkHashesAbortedUpTo.load(std::memory_order_relaxed));
}

void DiskWorker::Dispatch(std::unique_ptr<DiskJob> job, bool aborting) {
    if (HashAborted(*job)) {
        const lt::storage_error aborted(boost::asio::error::operation_aborted, job->op);
        Done(std::move(job), aborted);
        return;
    }
    DiskStorage* st = job->storage.get();
    if (st && st->parked > 0) {
        if (job->kind == DiskJob::Kind::Write || job->kind == DiskJob::Kind::Fence ||
            (job->kind == DiskJob::Kind::Hash && PieceParked(st, job->piece))) {
            // Behind a write of the same torrent that waits for space: in order after it.
            const lt::storage_error behind(boost::asio::error::operation_aborted, job->op);
            if (aborting) Done(std::move(job), behind);
            else Park(std::move(job), behind);
            return;
        }
        if (job->kind == DiskJob::Kind::WholeFile) EndParked(st);
    }
    lt::storage_error full;
    if (Execute(*job, aborting, full)) Park(std::move(job), full);
    else Done(std::move(job));
}

void DiskWorker::DispatchWrites(std::unique_ptr<DiskJob> first, JobList& queue, bool aborting) {
    // Blocks mostly come in order: every call of the system costs more than the bytes of a
    // block, so the blocks that continue one another in the queue are written with one.
    DiskStorage* st = first->storage.get();
    DiskJob* run[kMaxWriteRun - 1];
    int count = 0;
    if (st && st->parked == 0) {
        std::int64_t end = first->offset + first->writeBytes;
        for (DiskJob* j = queue.Front(); j && count < kMaxWriteRun - 1; j = j->m_next) {
            if (j->kind != DiskJob::Kind::Write || j->storage.get() != st || j->piece != first->piece ||
                j->offset != end)
                break;
            run[count++] = j;
            end += j->writeBytes;
        }
    }
    if (count == 0) {
        Dispatch(std::move(first), aborting);
        return;
    }
    bool together = false;
    try {
        together = first->RunTogether(*st, run, count);
    } catch (...) {
    }
    JobList rest = queue.TakeFront(static_cast<size_t>(count));
    m_waiting.fetch_sub(count, std::memory_order_relaxed);
    if (!together) {
        // Each on its own, for its own result (a full disk included).
        Dispatch(std::move(first), aborting);
        while (std::unique_ptr<DiskJob> j = rest.PopFront()) Dispatch(std::move(j), aborting);
        return;
    }
    Done(std::move(first));
    while (std::unique_ptr<DiskJob> j = rest.PopFront()) Done(std::move(j));
}

bool DiskWorker::Execute(DiskJob& job, bool aborting, lt::storage_error& full) {
    lt::storage_error error;
    try {
        if (!job.storage) throw std::system_error(EINVAL, std::generic_category());
        lt::storage_error refused;
        if (job.Run(*job.storage, refused)) return false;
        if (!aborting) {
            full = refused;
            return true;
        }
        error = refused;
    } catch (const std::bad_alloc&) {
        error = lt::storage_error(boost::asio::error::no_memory, job.op);
    } catch (const std::system_error& e) {
        error = lt::storage_error(LibraryError(e.code()), job.op);
    } catch (...) {
        error = lt::storage_error(lt::error_code(boost::system::errc::io_error, lt::generic_category()), job.op);
    }
    job.Fail(error);
    return false;
}

void DiskWorker::Park(std::unique_ptr<DiskJob> job, const lt::storage_error& why) {
    if (m_parked.Empty()) m_retryAt = ::GetTickCount64() + m_diskFullRetryMs;
    job->m_parkedFor = why;
    ++job->storage->parked;
    m_parked.PushBack(std::move(job));
    m_parkedCount.fetch_add(1, std::memory_order_relaxed);
}

void DiskWorker::RetryParked(bool aborting) {
    // Each torrent's jobs in their order: once one of them is refused again, the rest of that
    // torrent's wait behind it, and the other torrents' are tried.
    JobList waiting = std::move(m_parked);
    if (++m_retryPass == 0) ++m_retryPass;
    while (std::unique_ptr<DiskJob> job = waiting.PopFront()) {
        DiskStorage& st = *job->storage;
        --st.parked;
        m_parkedCount.fetch_sub(1, std::memory_order_relaxed);
        const lt::storage_error why = job->m_parkedFor;
        if (aborting) {
            Done(std::move(job), why);
            continue;
        }
        if (st.refusedInPass == m_retryPass) {
            Park(std::move(job), why);
            continue;
        }
        lt::storage_error full;
        if (!Execute(*job, false, full)) {
            Done(std::move(job));
            continue;
        }
        st.refusedInPass = m_retryPass;
        Park(std::move(job), full);
    }
}

void DiskWorker::EndParked(DiskStorage* storage) {
    JobList ended = m_parked.Extract([storage](const DiskJob& j) { return j.storage.get() == storage; });
    while (std::unique_ptr<DiskJob> job = ended.PopFront()) {
        --storage->parked;
        m_parkedCount.fetch_sub(1, std::memory_order_relaxed);
        const lt::storage_error why = job->m_parkedFor;
        Done(std::move(job), why);
    }
}

bool DiskWorker::PieceParked(const DiskStorage* storage, int piece) const {
    for (const DiskJob* j = m_parked.Front(); j; j = j->m_next)
        if (j->storage.get() == storage && j->piece == piece) return true;
    return false;
}

void DiskWorker::Done(std::unique_ptr<DiskJob> job, const lt::storage_error& error) {
    job->Fail(error);
    Done(std::move(job));
}

void DiskWorker::Done(std::unique_ptr<DiskJob> job) {
    if (m_completionFault) {
        try {
            m_completionFault();
        } catch (...) {
            job->Fail(lt::storage_error(boost::asio::error::no_memory, job->op));
        }
    }
    if (job->writeBytes) {
        std::lock_guard<SrwLock> g(m_lock);
        m_queuedBytes -= job->writeBytes;
        job->writeBytes = 0;
    }
    // What the job keeps of its torrent goes here, before the completion is handed over:
    // the torrent itself is freed by the network thread (see the removal).
    job->storage.reset();
    m_done.PushBack(std::move(job));
    ++m_doneCount;
}

void DiskWorker::Flush() {
    m_stats.Publish(m_counters);
    std::vector<std::shared_ptr<lt::disk_observer>> ready;
    {
        std::lock_guard<SrwLock> g(m_lock);
        if (!m_observers.empty() && m_queuedBytes <= m_highWater / 2) ready.swap(m_observers);
    }
    if (!ready.empty()) {
        try {
            m_done.PushBack(std::make_unique<ResumePeers>(std::move(ready)));
            ++m_doneCount;
        } catch (...) {
            std::lock_guard<SrwLock> g(m_lock);
            if (m_observers.empty()) m_observers.swap(ready);
        }
    }
    if (m_done.Empty() && !m_postFailed) return;
    const bool failed = !m_completions->Add(std::move(m_done));
    m_doneCount = 0;
    if (failed && !m_postFailed) std::fputs("disk: completions wait for memory\n", stderr);
    m_postFailed = failed;
    if (failed) m_postRetryAt = ::GetTickCount64() + kPostRetryMs;
}
