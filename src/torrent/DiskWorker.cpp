#include "torrent/DiskWorker.h"

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

// Completions handed back at once at most; keeps the network thread's latency low when the
// queue is long.
constexpr size_t kMaxBatch = 128;

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

}  // namespace

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

DiskWorker::DiskWorker(lt::io_context& ios, const DiskIoOptions& options)
    : m_ios(ios),
      m_diskFullRetryMs(options.diskFullRetryMs),
      m_completionFault(options.completionFault),
      m_work(boost::asio::make_work_guard(ios)) {
    ::InitializeConditionVariable(&m_wake);
    m_thread = std::thread([this] { Run(); });
}

DiskWorker::~DiskWorker() { Abort(true); }

DiskWorker::Pushed DiskWorker::Push(std::unique_ptr<DiskJob>& job, bool wake,
                                    std::shared_ptr<lt::disk_observer> observer) {
    bool full = false;
    bool idle;
    {
        std::lock_guard<SrwLock> g(m_lock);
        if (m_ended) return Pushed::Ended;
        const std::int64_t bytes = job->writeBytes;
        if (bytes && m_queuedBytes + bytes > m_highWater) {
            full = true;
            if (observer) m_observers.push_back(std::move(observer));
        }
        m_queue.PushBack(std::move(job));
        m_queuedBytes += bytes;
        idle = m_idle;
    }
    if (wake && idle) ::WakeConditionVariable(&m_wake);
    return full ? Pushed::QueuedFull : Pushed::Queued;
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
        m_abort = true;
    }
    ::WakeAllConditionVariable(&m_wake);
    if (wait && m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) m_thread.join();
}

void DiskWorker::SetHighWater(std::int64_t bytes) {
    std::lock_guard<SrwLock> g(m_lock);
    m_highWater = bytes;
}

void DiskWorker::Run() {
    NameThread(L"disk");
    for (;;) {
        JobList jobs;
        bool aborting;
        {
            std::lock_guard<SrwLock> g(m_lock);
            while (m_queue.Empty() && !m_abort) {
                DWORD wait = INFINITE;
                if (!m_parked.Empty()) {
                    const ULONGLONG now = ::GetTickCount64();
                    if (now >= m_retryAt) break;
                    wait = static_cast<DWORD>(m_retryAt - now);
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
            Dispatch(std::move(j), aborting);
            if (m_doneCount >= kMaxBatch) Flush();
        }
        Flush();
    }
    Flush();
    // The network thread may end once the last completions are posted.
    m_work.reset();
}

void DiskWorker::Dispatch(std::unique_ptr<DiskJob> job, bool aborting) {
    DiskStorage* st = job->storage.get();
    if (st && st->parked > 0) {
        if (job->kind == DiskJob::Kind::Write ||
            (job->kind == DiskJob::Kind::Hash && PieceParked(st, job->piece))) {
            // Behind a write of the same torrent that waits for space: in order after it.
            const lt::storage_error behind(boost::asio::error::operation_aborted, job->op);
            if (aborting) Done(std::move(job), behind);
            else Park(std::move(job), behind, false);
            return;
        }
        if (job->kind == DiskJob::Kind::WholeFile) EndParked(st);
    }
    lt::storage_error full;
    if (Execute(*job, aborting, full)) Park(std::move(job), full, false);
    else Done(std::move(job));
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

void DiskWorker::Park(std::unique_ptr<DiskJob> job, const lt::storage_error& why, bool first) {
    if (m_parked.Empty()) m_retryAt = ::GetTickCount64() + m_diskFullRetryMs;
    job->m_parkedFor = why;
    ++job->storage->parked;
    if (first) m_parked.PushFront(std::move(job));
    else m_parked.PushBack(std::move(job));
}

void DiskWorker::RetryParked(bool aborting) {
    while (std::unique_ptr<DiskJob> job = m_parked.PopFront()) {
        --job->storage->parked;
        if (aborting) {
            const lt::storage_error why = job->m_parkedFor;
            Done(std::move(job), why);
            continue;
        }
        lt::storage_error full;
        if (!Execute(*job, false, full)) {
            Done(std::move(job));
            continue;
        }
        // Still no space: first in line again.
        Park(std::move(job), full, true);
        m_retryAt = ::GetTickCount64() + m_diskFullRetryMs;
        return;
    }
}

void DiskWorker::EndParked(DiskStorage* storage) {
    JobList ended = m_parked.Extract([storage](const DiskJob& j) { return j.storage.get() == storage; });
    while (std::unique_ptr<DiskJob> job = ended.PopFront()) {
        --storage->parked;
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
    if (m_done.Empty()) return;
    // The batch is shared with the handler, so that it stays here when the post fails.
    std::shared_ptr<JobList> batch;
    try {
        batch = std::make_shared<JobList>(std::move(m_done));
        boost::asio::post(m_ios, [batch] { RunBatch(*batch); });
        m_doneCount = 0;
    } catch (...) {
        if (batch) m_done = std::move(*batch);
        std::fputs("disk: completions wait for memory\n", stderr);
    }
}

void DiskWorker::RunBatch(JobList& batch) {
    // Nothing behind a throwing handler may be lost; the first exception goes on as the
    // library's own handlers' would.
    std::exception_ptr first;
    while (std::unique_ptr<DiskJob> job = batch.PopFront()) {
        try {
            job->Complete();
        } catch (...) {
            if (!first) first = std::current_exception();
        }
    }
    if (first) std::rethrow_exception(first);
}
