#include "torrent/DiskWorker.h"

#include <cstdio>
#include <exception>
#include <mutex>
#include <new>
#include <system_error>
#include <utility>

#include <boost/asio/post.hpp>
#include <libtorrent/error_code.hpp>

#include "torrent/PositionalIo.h"

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

}  // namespace

DiskWorker::DiskWorker(lt::io_context& ios, DiskWorkerOptions options)
    : m_ios(ios), m_options(std::move(options)), m_work(boost::asio::make_work_guard(ios)) {
    ::InitializeConditionVariable(&m_wake);
    m_done.reserve(kMaxBatch);
    m_thread = std::thread([this] { Run(); });
}

DiskWorker::~DiskWorker() { Abort(true); }

DiskWorker::Pushed DiskWorker::Push(DiskJob& job, bool wake, std::shared_ptr<lt::disk_observer> observer) {
    bool full = false;
    bool idle;
    {
        std::lock_guard<SrwLock> g(m_lock);
        if (m_ended) return Pushed::Ended;
        const std::int64_t bytes = job.writeBytes;
        if (bytes && m_queuedBytes + bytes > m_highWater) {
            full = true;
            if (observer) m_observers.push_back(std::move(observer));
        }
        m_queue.push_back(std::move(job));
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
        wake = m_idle && !m_queue.empty();
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

bool DiskWorker::Ended() const {
    std::lock_guard<SrwLock> g(m_lock);
    return m_ended;
}

bool DiskWorker::Aborting() const {
    std::lock_guard<SrwLock> g(m_lock);
    return m_abort;
}

void DiskWorker::SetHighWater(std::int64_t bytes) {
    std::lock_guard<SrwLock> g(m_lock);
    m_highWater = bytes;
}

std::int64_t DiskWorker::QueuedBytes() const {
    std::lock_guard<SrwLock> g(m_lock);
    return m_queuedBytes;
}

void DiskWorker::Run() {
    NameThread(L"disk");
    for (;;) {
        std::deque<DiskJob> jobs;
        bool aborting;
        {
            std::lock_guard<SrwLock> g(m_lock);
            while (m_queue.empty() && !m_abort) {
                DWORD wait = INFINITE;
                if (!m_parked.empty()) {
                    const ULONGLONG now = ::GetTickCount64();
                    if (now >= m_retryAt) break;
                    wait = static_cast<DWORD>(m_retryAt - now);
                }
                m_idle = true;
                ::SleepConditionVariableSRW(&m_wake, m_lock.native(), wait, 0);
            }
            m_idle = false;
            aborting = m_abort;
            if (aborting && m_queue.empty() && m_parked.empty()) {
                m_ended = true;
                break;
            }
            jobs.swap(m_queue);
        }
        if (!m_parked.empty() && (aborting || ::GetTickCount64() >= m_retryAt)) RetryParked(aborting);
        for (DiskJob& j : jobs) {
            Dispatch(j, aborting);
            if (m_done.size() >= kMaxBatch) Flush();
        }
        // The jobs (and what their handlers hold) go before their completions are handed
        // over, so those are the last owners, on the network thread.
        jobs.clear();
        Flush();
    }
    Flush();
    // The network thread may end once the last completions are posted.
    m_work.reset();
}

void DiskWorker::Dispatch(DiskJob& job, bool aborting) {
    DiskStorage* st = job.storage.get();
    if (st && st->parked > 0) {
        if (job.kind == DiskJob::Kind::Write ||
            (job.kind == DiskJob::Kind::Hash && PieceParked(st, job.piece))) {
            // Behind a write of the same torrent that waits for space: in order after it.
            lt::storage_error behind(boost::asio::error::operation_aborted, job.op);
            if (aborting) {
                Complete(job, behind);
                return;
            }
            try {
                m_parked.emplace_back();
            } catch (...) {
                Complete(job, lt::storage_error(boost::asio::error::no_memory, job.op));
                return;
            }
            m_parked.back().job = std::move(job);
            m_parked.back().error = behind;
            ++st->parked;
            return;
        }
        if (job.kind == DiskJob::Kind::WholeFile) EndParked(st);
    }
    lt::storage_error full;
    if (!Execute(job, aborting, full)) return;
    try {
        m_parked.emplace_back();
    } catch (...) {
        Complete(job, full);
        return;
    }
    if (m_parked.size() == 1) m_retryAt = ::GetTickCount64() + m_options.diskFullRetryMs;
    m_parked.back().job = std::move(job);
    m_parked.back().error = full;
    ++st->parked;
}

bool DiskWorker::Execute(DiskJob& job, bool aborting, lt::storage_error& diskFull) {
    lt::storage_error error;
    try {
        if (!job.storage) throw std::system_error(EINVAL, std::generic_category());
        JobOutcome out = job.run(*job.storage);
        if (!out.diskFull) {
            Finish(job, std::move(out.done));
            return false;
        }
        if (!aborting) {
            diskFull = out.error;
            return true;
        }
        error = out.error;
    } catch (const std::bad_alloc&) {
        error = lt::storage_error(boost::asio::error::no_memory, job.op);
    } catch (const std::system_error& e) {
        error = lt::storage_error(LibraryError(e.code()), job.op);
    } catch (...) {
        error = lt::storage_error(lt::error_code(boost::system::errc::io_error, lt::generic_category()), job.op);
    }
    Complete(job, error);
    return false;
}

void DiskWorker::RetryParked(bool aborting) {
    while (!m_parked.empty()) {
        DiskJob job = std::move(m_parked.front().job);
        const lt::storage_error why = m_parked.front().error;
        m_parked.pop_front();
        DiskStorage* st = job.storage.get();
        if (st) --st->parked;
        if (aborting) {
            Complete(job, why);
            continue;
        }
        lt::storage_error full;
        if (!Execute(job, false, full)) continue;
        // Still no space: first in line again.
        try {
            m_parked.emplace_front();
        } catch (...) {
            Complete(job, full);
            continue;
        }
        m_parked.front().job = std::move(job);
        m_parked.front().error = full;
        ++st->parked;
        m_retryAt = ::GetTickCount64() + m_options.diskFullRetryMs;
        return;
    }
}

void DiskWorker::EndParked(DiskStorage* storage) {
    for (auto it = m_parked.begin(); it != m_parked.end();) {
        if (it->job.storage.get() != storage) {
            ++it;
            continue;
        }
        DiskJob job = std::move(it->job);
        const lt::storage_error why = it->error;
        it = m_parked.erase(it);
        --storage->parked;
        Complete(job, why);
    }
}

bool DiskWorker::PieceParked(const DiskStorage* storage, int piece) const {
    for (const Parked& p : m_parked)
        if (p.job.storage.get() == storage && p.job.piece == piece) return true;
    return false;
}

void DiskWorker::Finish(DiskJob& job, Completion done) {
    if (m_options.completionFault) m_options.completionFault();
    if (done) m_done.push_back(std::move(done));
    Settle(job);
}

void DiskWorker::Complete(DiskJob& job, const lt::storage_error& error) {
    try {
        Completion c = job.fail ? job.fail(error) : Completion();
        if (m_options.completionFault) m_options.completionFault();
        if (c) m_done.push_back(std::move(c));
    } catch (...) {
        std::fputs("disk: a completion is lost\n", stderr);
    }
    Settle(job);
}

void DiskWorker::Settle(DiskJob& job) noexcept {
    if (job.writeBytes) {
        std::lock_guard<SrwLock> g(m_lock);
        m_queuedBytes -= job.writeBytes;
        job.writeBytes = 0;
    }
    job.run = nullptr;
    job.fail = nullptr;
    job.storage.reset();
}

void DiskWorker::Flush() {
    std::vector<std::shared_ptr<lt::disk_observer>> ready;
    {
        std::lock_guard<SrwLock> g(m_lock);
        if (!m_observers.empty() && m_queuedBytes <= m_highWater / 2) ready.swap(m_observers);
    }
    if (!ready.empty()) {
        try {
            m_done.push_back(Completion::Of([ready] {
                for (auto& o : ready) o->on_disk();
            }));
        } catch (...) {
            std::lock_guard<SrwLock> g(m_lock);
            if (m_observers.empty()) m_observers.swap(ready);
        }
    }
    if (m_done.empty()) return;
    try {
        auto batch = std::make_shared<std::vector<Completion>>(std::move(m_done));
        m_done.clear();
        try {
            boost::asio::post(m_ios, [batch] { RunBatch(*batch); });
        } catch (...) {
            // Kept for the next hand-over.
            m_done = std::move(*batch);
            throw;
        }
        m_done.reserve(kMaxBatch);
    } catch (...) {
        std::fputs("disk: completions wait for memory\n", stderr);
    }
}

void DiskWorker::RunBatch(std::vector<Completion>& batch) {
    // Nothing behind a throwing handler may be lost; the first exception goes on as the
    // library's own handlers' would.
    std::exception_ptr first;
    for (auto& c : batch) {
        try {
            c();
        } catch (...) {
            if (!first) first = std::current_exception();
        }
    }
    if (first) std::rethrow_exception(first);
}
