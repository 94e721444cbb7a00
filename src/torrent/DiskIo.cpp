// The launcher's disk back-end. Files are opened once and kept in a bounded pool, shared for
// read, write and delete; blocks go to disk at explicit offsets on one worker thread, which also
// hashes each piece as its blocks arrive in order. The network thread gets completions in
// batches: every post to it is a round trip through the Wine server. Rare operations (checking,
// moving, renaming, deleting, part files) go to the library's own back-end with our handles
// closed first.
#include "torrent/DiskIo.h"
#include "torrent/Sha1.h"

#include <winioctl.h>
#include <winternl.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <map>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <libtorrent/disk_observer.hpp>
#include <libtorrent/error_code.hpp>
#include <libtorrent/file_storage.hpp>
#include <libtorrent/hasher.hpp>
#include <libtorrent/posix_disk_io.hpp>

namespace {

constexpr int kBlockSize = lt::default_block_size;
// Completions handed back at once at most; keeps the network thread's latency low when the
// queue is long.
constexpr size_t kMaxBatch = 128;
// Write bytes waiting for the worker before peers are held back (at least; the library's
// max_queued_disk_bytes may raise it). Resumed when half of it is written.
constexpr std::int64_t kMinQueuedBytes = 4 * 1024 * 1024;

// Win32 lock and condition variable: under Wine they stay in user space when uncontended,
// unlike the runtime's pthread emulation.
class Lock {
public:
    void lock() { ::AcquireSRWLockExclusive(&m_lock); }
    void unlock() { ::ReleaseSRWLockExclusive(&m_lock); }
    SRWLOCK* get() { return &m_lock; }

private:
    SRWLOCK m_lock = SRWLOCK_INIT;
};

class Guard {
public:
    explicit Guard(Lock& l) : m_lock(l) { m_lock.lock(); }
    ~Guard() { m_lock.unlock(); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

private:
    Lock& m_lock;
};

// Buffers given to the library with read results; free() needs no state, so a buffer never
// outlives its allocator.
struct MallocBuffers final : lt::buffer_allocator_interface {
    void free_disk_buffer(char* b) override { std::free(b); }
};
MallocBuffers g_buffers;

// A callable that can be moved only (read results hold a buffer).
struct Task {
    virtual ~Task() = default;
    virtual void Run() = 0;
};
template <class F>
struct TaskOf final : Task {
    explicit TaskOf(F&& f) : fn(std::move(f)) {}
    void Run() override { fn(); }
    F fn;
};
template <class F>
std::unique_ptr<Task> MakeTask(F&& f) {
    return std::unique_ptr<Task>(new TaskOf<std::decay_t<F>>(std::forward<F>(f)));
}
using Batch = std::vector<std::unique_ptr<Task>>;

std::wstring Widen(const std::string& utf8) {
    if (utf8.empty()) return std::wstring();
    int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &w[0], n);
    for (wchar_t& c : w)
        if (c == L'/') c = L'\\';
    // Long absolute paths need the extended form.
    if (w.size() >= MAX_PATH - 12 && w.size() > 2 && w[1] == L':' && w[2] == L'\\') w = L"\\\\?\\" + w;
    return w;
}

lt::error_code Win32Error(DWORD e) { return lt::error_code(static_cast<int>(e), lt::system_category()); }

// Creates every missing folder above `path`.
bool CreateParents(const std::wstring& path) {
    size_t slash = path.find_last_of(L'\\');
    if (slash == std::wstring::npos || slash == 0) return false;
    std::wstring dir = path.substr(0, slash);
    if (::CreateDirectoryW(dir.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS) return true;
    if (::GetLastError() != ERROR_PATH_NOT_FOUND) return false;
    return CreateParents(dir) && (::CreateDirectoryW(dir.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS);
}

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

// Reads and writes at an offset through the system's own calls. WriteFile and ReadFile with an
// OVERLAPPED offset also offer every completion to a completion port; under Wine that is a
// round trip through its server for each 16 KiB block, even when no port is bound.
class PositionalIo {
public:
    PositionalIo() {
        HMODULE nt = ::GetModuleHandleW(L"ntdll.dll");
        if (!nt) return;
        m_read = reinterpret_cast<Call>(reinterpret_cast<void*>(::GetProcAddress(nt, "NtReadFile")));
        m_write = reinterpret_cast<Call>(reinterpret_cast<void*>(::GetProcAddress(nt, "NtWriteFile")));
        m_toDos = reinterpret_cast<ToDos>(reinterpret_cast<void*>(::GetProcAddress(nt, "RtlNtStatusToDosError")));
        if (!m_read || !m_write || !m_toDos) m_read = m_write = nullptr;
    }

    // 0 or the Win32 error; `done` bytes moved.
    DWORD Write(HANDLE h, const void* p, DWORD length, std::int64_t offset, DWORD& done) const {
        return Run(m_write, h, const_cast<void*>(p), length, offset, done, true);
    }
    DWORD Read(HANDLE h, void* p, DWORD length, std::int64_t offset, DWORD& done) const {
        return Run(m_read, h, p, length, offset, done, false);
    }

private:
    using Call = LONG(WINAPI*)(HANDLE, HANDLE, void*, void*, IO_STATUS_BLOCK*, void*, ULONG, LARGE_INTEGER*, ULONG*);
    using ToDos = ULONG(WINAPI*)(LONG);

    DWORD Run(Call call, HANDLE h, void* p, DWORD length, std::int64_t offset, DWORD& done, bool write) const {
        done = 0;
        if (call) {
            IO_STATUS_BLOCK io{};
            LARGE_INTEGER at;
            at.QuadPart = offset;
            LONG status = call(h, nullptr, nullptr, nullptr, &io, p, length, &at, nullptr);
            if (status >= 0) {
                done = static_cast<DWORD>(io.Information);
                return 0;
            }
            return m_toDos(status);
        }
        OVERLAPPED ov{};
        ov.Offset = static_cast<DWORD>(offset);
        ov.OffsetHigh = static_cast<DWORD>(offset >> 32);
        BOOL ok = write ? ::WriteFile(h, p, length, &done, &ov) : ::ReadFile(h, p, length, &done, &ov);
        return ok ? 0 : ::GetLastError();
    }

    Call m_read = nullptr;
    Call m_write = nullptr;
    ToDos m_toDos = nullptr;
};

bool IsDiskFull(const lt::storage_error& e) {
    return e.ec.category() == lt::system_category() &&
           (e.ec.value() == ERROR_DISK_FULL || e.ec.value() == ERROR_HANDLE_DISK_FULL);
}

// SHA-1 of a piece, fed as its blocks reach the disk in order.
struct PieceHash {
    Sha1 sha1;
    int next = 0;                 // bytes hashed so far
    std::vector<bool> arrived;    // blocks written, in order or not
    bool broken = false;          // something already hashed was written again: read it all back
};

struct Storage {
    Storage(const lt::storage_params& p, std::shared_ptr<void> o, std::uint64_t i)
        : files(p.files), savePath(p.path), mode(p.mode), owner(std::move(o)), id(i) {
        if (p.mapped_files) mapped = std::make_unique<lt::file_storage>(*p.mapped_files);
        for (lt::download_priority_t prio : p.priorities)
            if (prio == lt::dont_download) delegated = true;
    }
    const lt::file_storage& Files() const { return mapped ? *mapped : files; }

    const lt::file_storage& files;
    std::unique_ptr<lt::file_storage> mapped;  // renamed files
    std::string savePath;
    lt::storage_mode_t mode;
    std::shared_ptr<void> owner;  // keeps the torrent (and `files`) alive
    std::uint64_t id;
    // The library's own storage of the same torrent, for the rare operations; given back
    // under the back-end's lock for the library's back-end.
    lt::storage_holder stock;
    lt::storage_index_t stockIndex{0};
    // Files not downloaded go to the library's part file: then all I/O of the torrent is the
    // library's, so the two never disagree about where a block lives.
    bool delegated = false;
    std::unordered_map<int, PieceHash> hashes;  // worker thread only
};

class DiskIo;

// Open files, most recently used kept, at most `limit`.
class FilePool {
public:
    struct Entry {
        HANDLE handle = INVALID_HANDLE_VALUE;
        bool writable = false;
        lt::time_point lastUse;
    };

    ~FilePool() { CloseAll(); }

    void SetLimit(int limit) {
        Guard g(m_lock);
        m_limit = std::max(limit, 2);
    }

    HANDLE Open(Storage& st, lt::file_index_t file, bool write, lt::storage_error& err) {
        const Key key{st.id, static_cast<int>(file)};
        {
            Guard g(m_lock);
            auto it = m_files.find(key);
            if (it != m_files.end() && (it->second.writable || !write)) {
                it->second.lastUse = lt::clock_type::now();
                return it->second.handle;
            }
        }
        Close(key);
        const std::wstring path = Widen(st.Files().file_path(file, st.savePath));
        const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
        // A finished file is only read: no write access, so the installer can be started
        // while it is seeded.
        const DWORD access = write ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
        HANDLE h = ::CreateFileW(path.c_str(), access, share, nullptr, write ? OPEN_ALWAYS : OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD e = ::GetLastError();
        if (h == INVALID_HANDLE_VALUE && write && e == ERROR_PATH_NOT_FOUND) {
            if (!CreateParents(path)) {
                err = lt::storage_error(Win32Error(::GetLastError()), file, lt::operation_t::mkdir);
                return INVALID_HANDLE_VALUE;
            }
            h = ::CreateFileW(path.c_str(), access, share, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
            e = ::GetLastError();
        }
        if (h == INVALID_HANDLE_VALUE) {
            err = lt::storage_error(Win32Error(e), file, lt::operation_t::file_open);
            return INVALID_HANDLE_VALUE;
        }
        if (write && e != ERROR_ALREADY_EXISTS) {
            if (st.mode == lt::storage_mode_sparse) {
                DWORD got = 0;
                ::DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &got, nullptr);
            } else {
                LARGE_INTEGER size;
                size.QuadPart = st.Files().file_size(file);
                ::SetFileInformationByHandle(h, FileEndOfFileInfo, &size, sizeof(size));
            }
        }
        std::vector<HANDLE> evicted;
        {
            Guard g(m_lock);
            while (static_cast<int>(m_files.size()) >= m_limit) {
                auto oldest = std::min_element(m_files.begin(), m_files.end(), [](const auto& a, const auto& b) {
                    return a.second.lastUse < b.second.lastUse;
                });
                evicted.push_back(oldest->second.handle);
                m_files.erase(oldest);
            }
            m_files[key] = Entry{h, write, lt::clock_type::now()};
        }
        for (HANDLE old : evicted) ::CloseHandle(old);
        return h;
    }

    void CloseStorage(std::uint64_t id) {
        std::vector<HANDLE> closing;
        {
            Guard g(m_lock);
            for (auto it = m_files.begin(); it != m_files.end();) {
                if (it->first.first == id) {
                    closing.push_back(it->second.handle);
                    it = m_files.erase(it);
                } else {
                    ++it;
                }
            }
        }
        for (HANDLE h : closing) ::CloseHandle(h);
    }

    void CloseAll() {
        std::map<Key, Entry> closing;
        {
            Guard g(m_lock);
            closing.swap(m_files);
        }
        for (auto& f : closing) ::CloseHandle(f.second.handle);
    }

    std::vector<lt::open_file_state> Status(std::uint64_t id) {
        std::vector<lt::open_file_state> out;
        Guard g(m_lock);
        for (auto& f : m_files)
            if (f.first.first == id)
                out.push_back(lt::open_file_state{lt::file_index_t(f.first.second),
                                                  f.second.writable ? lt::file_open_mode::read_write
                                                                    : lt::file_open_mode::read_only,
                                                  f.second.lastUse});
        return out;
    }

private:
    using Key = std::pair<std::uint64_t, int>;
    void Close(const Key& key) {
        HANDLE h = INVALID_HANDLE_VALUE;
        {
            Guard g(m_lock);
            auto it = m_files.find(key);
            if (it == m_files.end()) return;
            h = it->second.handle;
            m_files.erase(it);
        }
        ::CloseHandle(h);
    }

    Lock m_lock;
    std::map<Key, Entry> m_files;
    int m_limit = 40;
};

// A job for the worker. `run` does it and returns the completion for the network thread;
// `fail` makes the completion that reports an error instead.
struct Job {
    std::shared_ptr<Storage> st;
    std::function<std::unique_ptr<Task>(DiskIo&)> run;
    std::function<std::unique_ptr<Task>(const lt::storage_error&)> fail;
    lt::operation_t op = lt::operation_t::unknown;
    std::int64_t writeBytes = 0;
};

class DiskIo final : public lt::disk_interface {
public:
    DiskIo(lt::io_context& ios, lt::settings_interface const& settings, lt::counters& counters, DiskIoOptions options)
        : m_ios(ios),
          m_settings(settings),
          m_options(std::move(options)),
          m_stock(lt::posix_disk_io_constructor(ios, settings, counters)),
          m_work(boost::asio::make_work_guard(ios)) {
        ::InitializeConditionVariable(&m_wake);
        ApplySettings();
        m_thread = std::thread([this] { Run(); });
    }

    ~DiskIo() override {
        abort(true);
        m_pool.CloseAll();
        Guard g(m_stockLock);
        m_queue.clear();
        m_torrents.clear();
        m_stock.reset();
    }

    // --- torrents ---------------------------------------------------------------------------

    lt::storage_holder new_torrent(lt::storage_params const& p, std::shared_ptr<void> const& torrent) override {
        auto st = std::make_shared<Storage>(p, torrent, ++m_nextId);
        {
            Guard g(m_stockLock);
            st->stock = m_stock->new_torrent(p, torrent);
            st->stockIndex = st->stock;
        }
        lt::storage_index_t idx;
        if (!m_free.empty()) {
            idx = m_free.back();
            m_free.pop_back();
            m_torrents[static_cast<size_t>(static_cast<std::uint32_t>(idx))] = st;
        } else {
            idx = lt::storage_index_t(static_cast<std::uint32_t>(m_torrents.size()));
            m_torrents.push_back(st);
        }
        return lt::storage_holder(idx, *this);
    }

    void remove_torrent(lt::storage_index_t idx) override {
        std::shared_ptr<Storage> st = std::move(m_torrents[static_cast<size_t>(static_cast<std::uint32_t>(idx))]);
        m_free.push_back(idx);
        if (!st) return;
        // Handles closed and the library's storage given back once queued work is done.
        Job j;
        j.st = st;
        j.run = [](DiskIo&) -> std::unique_ptr<Task> { return nullptr; };
        j.fail = [](const lt::storage_error&) -> std::unique_ptr<Task> { return nullptr; };
        j.op = lt::operation_t::file;
        Push(std::move(j), true);
    }

    // --- reads, writes, hashes ----------------------------------------------------------------

    void async_read(lt::storage_index_t idx, lt::peer_request const& r,
                    std::function<void(lt::disk_buffer_holder, lt::storage_error const&)> handler,
                    lt::disk_job_flags_t flags) override {
        auto h = std::make_shared<decltype(handler)>(std::move(handler));
        Job j;
        j.st = Get(idx);
        j.op = lt::operation_t::file_read;
        j.fail = [h](const lt::storage_error& e) { return MakeTask([h, e] { (*h)(lt::disk_buffer_holder(), e); }); };
        j.run = [h, r, flags](DiskIo& io) -> std::unique_ptr<Task> {
            Storage& st = *io.m_current;
            if (st.delegated) {
                io.StockCall([&](lt::disk_interface& stock) { stock.async_read(st.stockIndex, r, *h, flags); });
                return nullptr;
            }
            char* buf = static_cast<char*>(std::malloc(static_cast<size_t>(std::max(r.length, 1))));
            if (!buf) throw std::bad_alloc();
            lt::disk_buffer_holder holder(g_buffers, buf, r.length);
            lt::storage_error err;
            io.ReadRange(st, r.piece, r.start, buf, r.length, err);
            if (err) holder.reset();
            return MakeTask([h, b = std::move(holder), err]() mutable { (*h)(std::move(b), err); });
        };
        Push(std::move(j), false);
    }

    bool async_write(lt::storage_index_t idx, lt::peer_request const& r, char const* data,
                     std::shared_ptr<lt::disk_observer> o, std::function<void(lt::storage_error const&)> handler,
                     lt::disk_job_flags_t flags) override {
        auto h = std::make_shared<decltype(handler)>(std::move(handler));
        std::shared_ptr<char> copy(static_cast<char*>(std::malloc(static_cast<size_t>(std::max(r.length, 1)))),
                                   std::free);
        if (!copy) {
            lt::storage_error e(boost::asio::error::no_memory, lt::operation_t::alloc_cache_piece);
            boost::asio::post(m_ios, [h, e] { (*h)(e); });
            return false;
        }
        std::memcpy(copy.get(), data, static_cast<size_t>(r.length));
        Job j;
        j.st = Get(idx);
        j.op = lt::operation_t::file_write;
        j.writeBytes = r.length;
        j.fail = [h](const lt::storage_error& e) { return MakeTask([h, e] { (*h)(e); }); };
        j.run = [h, r, copy, flags](DiskIo& io) -> std::unique_ptr<Task> {
            Storage& st = *io.m_current;
            if (st.delegated) {
                io.StockCall([&](lt::disk_interface& stock) {
                    stock.async_write(st.stockIndex, r, copy.get(), nullptr, *h, flags);
                });
                return nullptr;
            }
            lt::storage_error err;
            io.WriteBlock(st, r, copy.get(), err);
            if (!err) io.Hashed(st, r, copy.get());
            return MakeTask([h, err] { (*h)(err); });
        };
        return Push(std::move(j), false, std::move(o));
    }

    void async_hash(lt::storage_index_t idx, lt::piece_index_t piece, lt::span<lt::sha256_hash> v2,
                    lt::disk_job_flags_t flags,
                    std::function<void(lt::piece_index_t, lt::sha1_hash const&, lt::storage_error const&)> handler) override {
        auto h = std::make_shared<decltype(handler)>(std::move(handler));
        Job j;
        j.st = Get(idx);
        j.op = lt::operation_t::file_read;
        j.fail = [h, piece](const lt::storage_error& e) { return MakeTask([h, piece, e] { (*h)(piece, lt::sha1_hash(), e); }); };
        j.run = [h, piece, v2, flags](DiskIo& io) -> std::unique_ptr<Task> {
            Storage& st = *io.m_current;
            if (st.delegated) {
                io.StockCall([&](lt::disk_interface& stock) { stock.async_hash(st.stockIndex, piece, v2, flags, *h); });
                return nullptr;
            }
            lt::storage_error err;
            lt::sha1_hash hash = io.HashPiece(st, piece, v2, bool(flags & lt::disk_interface::v1_hash), err);
            return MakeTask([h, piece, hash, err] { (*h)(piece, hash, err); });
        };
        Push(std::move(j), false);
    }

    void async_hash2(lt::storage_index_t idx, lt::piece_index_t piece, int offset, lt::disk_job_flags_t flags,
                     std::function<void(lt::piece_index_t, lt::sha256_hash const&, lt::storage_error const&)> handler) override {
        auto h = std::make_shared<decltype(handler)>(std::move(handler));
        Job j;
        j.st = Get(idx);
        j.op = lt::operation_t::file_read;
        j.fail = [h, piece](const lt::storage_error& e) { return MakeTask([h, piece, e] { (*h)(piece, lt::sha256_hash(), e); }); };
        j.run = [h, piece, offset, flags](DiskIo& io) -> std::unique_ptr<Task> {
            Storage& st = *io.m_current;
            if (st.delegated) {
                io.StockCall([&](lt::disk_interface& stock) { stock.async_hash2(st.stockIndex, piece, offset, flags, *h); });
                return nullptr;
            }
            const int len = std::min(kBlockSize, st.Files().piece_size2(piece) - offset);
            std::vector<char> buf(static_cast<size_t>(std::max(len, 0)));
            lt::storage_error err;
            lt::sha256_hash hash;
            if (len > 0 && io.ReadRange(st, piece, offset, buf.data(), len, err))
                hash = lt::hasher256(buf.data(), len).final();
            return MakeTask([h, piece, hash, err] { (*h)(piece, hash, err); });
        };
        Push(std::move(j), false);
    }

    void async_clear_piece(lt::storage_index_t idx, lt::piece_index_t piece,
                           std::function<void(lt::piece_index_t)> handler) override {
        auto h = std::make_shared<decltype(handler)>(std::move(handler));
        Job j;
        j.st = Get(idx);
        j.fail = [h, piece](const lt::storage_error&) { return MakeTask([h, piece] { (*h)(piece); }); };
        j.run = [h, piece](DiskIo& io) -> std::unique_ptr<Task> {
            io.m_current->hashes.erase(static_cast<int>(piece));
            return MakeTask([h, piece] { (*h)(piece); });
        };
        Push(std::move(j), false);
    }

    // --- releasing files ------------------------------------------------------------------------

    void async_release_files(lt::storage_index_t idx, std::function<void()> handler) override {
        CloseJob(idx, std::move(handler));
    }

    void async_stop_torrent(lt::storage_index_t idx, std::function<void()> handler) override {
        CloseJob(idx, std::move(handler));
    }

    // --- rare operations: the library's own back-end, our handles closed first -----------------

    void async_check_files(lt::storage_index_t idx, lt::add_torrent_params const* resume,
                           lt::aux::vector<std::string, lt::file_index_t> links,
                           std::function<void(lt::status_t, lt::storage_error const&)> handler) override {
        auto h = std::make_shared<decltype(handler)>(std::move(handler));
        auto l = std::make_shared<decltype(links)>(std::move(links));
        Job j;
        j.st = Get(idx);
        j.op = lt::operation_t::check_resume;
        j.fail = [h](const lt::storage_error& e) { return MakeTask([h, e] { (*h)(lt::status_t::fatal_disk_error, e); }); };
        j.run = [h, l, resume](DiskIo& io) -> std::unique_ptr<Task> {
            Storage& st = *io.m_current;
            io.m_pool.CloseStorage(st.id);
            st.hashes.clear();
            io.StockCall([&](lt::disk_interface& stock) { stock.async_check_files(st.stockIndex, resume, std::move(*l), *h); });
            return nullptr;
        };
        Push(std::move(j), true);
    }

    void async_move_storage(lt::storage_index_t idx, std::string path, lt::move_flags_t flags,
                            std::function<void(lt::status_t, std::string const&, lt::storage_error const&)> handler) override {
        auto h = std::make_shared<decltype(handler)>(std::move(handler));
        Job j;
        j.st = Get(idx);
        j.op = lt::operation_t::file_rename;
        j.fail = [h, path](const lt::storage_error& e) {
            return MakeTask([h, path, e] { (*h)(lt::status_t::fatal_disk_error, path, e); });
        };
        j.run = [h, path, flags](DiskIo& io) -> std::unique_ptr<Task> {
            Storage& st = *io.m_current;
            io.m_pool.CloseStorage(st.id);
            struct Outcome {
                lt::status_t status = lt::status_t::fatal_disk_error;
                std::string where;
                lt::storage_error err{boost::asio::error::operation_aborted, lt::operation_t::file_rename};
            };
            auto sig = std::make_shared<Signal>();
            auto out = std::make_shared<Outcome>();
            out->where = st.savePath;
            io.StockCall([&](lt::disk_interface& stock) {
                stock.async_move_storage(st.stockIndex, path, flags,
                                         [sig, out](lt::status_t s, std::string const& p, lt::storage_error const& e) {
                                             out->status = s;
                                             out->where = p;
                                             out->err = e;
                                             ::SetEvent(sig->ev);
                                         });
            });
            // Where the library's storage is now, moved or not: ours follows.
            if (io.WaitFor(*sig)) st.savePath = out->where;
            return MakeTask([h, out] { (*h)(out->status, out->where, out->err); });
        };
        Push(std::move(j), true);
    }

    void async_rename_file(lt::storage_index_t idx, lt::file_index_t file, std::string name,
                           std::function<void(std::string const&, lt::file_index_t, lt::storage_error const&)> handler) override {
        auto h = std::make_shared<decltype(handler)>(std::move(handler));
        Job j;
        j.st = Get(idx);
        j.op = lt::operation_t::file_rename;
        j.fail = [h, name, file](const lt::storage_error& e) { return MakeTask([h, name, file, e] { (*h)(name, file, e); }); };
        j.run = [h, file, name](DiskIo& io) -> std::unique_ptr<Task> {
            Storage& st = *io.m_current;
            io.m_pool.CloseStorage(st.id);
            auto sig = std::make_shared<Signal>();
            auto out = std::make_shared<lt::storage_error>(boost::asio::error::operation_aborted, lt::operation_t::file_rename);
            io.StockCall([&](lt::disk_interface& stock) {
                stock.async_rename_file(st.stockIndex, file, name,
                                        [sig, out](std::string const&, lt::file_index_t, lt::storage_error const& e) {
                                            *out = e;
                                            ::SetEvent(sig->ev);
                                        });
            });
            const bool known = io.WaitFor(*sig);
            const lt::storage_error err = *out;
            if (known && !err) {
                if (!st.mapped) st.mapped = std::make_unique<lt::file_storage>(st.files);
                st.mapped->rename_file(file, name);
            }
            return MakeTask([h, name, file, err] { (*h)(name, file, err); });
        };
        Push(std::move(j), true);
    }

    void async_delete_files(lt::storage_index_t idx, lt::remove_flags_t options,
                            std::function<void(lt::storage_error const&)> handler) override {
        auto h = std::make_shared<decltype(handler)>(std::move(handler));
        Job j;
        j.st = Get(idx);
        j.op = lt::operation_t::file_remove;
        j.fail = [h](const lt::storage_error& e) { return MakeTask([h, e] { (*h)(e); }); };
        j.run = [h, options](DiskIo& io) -> std::unique_ptr<Task> {
            Storage& st = *io.m_current;
            io.m_pool.CloseStorage(st.id);
            st.hashes.clear();
            io.StockCall([&](lt::disk_interface& stock) { stock.async_delete_files(st.stockIndex, options, *h); });
            return nullptr;
        };
        Push(std::move(j), true);
    }

    void async_set_file_priority(lt::storage_index_t idx, lt::aux::vector<lt::download_priority_t, lt::file_index_t> prio,
                                 std::function<void(lt::storage_error const&,
                                                    lt::aux::vector<lt::download_priority_t, lt::file_index_t>)> handler) override {
        auto h = std::make_shared<decltype(handler)>(std::move(handler));
        auto p = std::make_shared<decltype(prio)>(std::move(prio));
        Job j;
        j.st = Get(idx);
        j.op = lt::operation_t::partfile_move;
        j.fail = [h, p](const lt::storage_error& e) { return MakeTask([h, p, e] { (*h)(e, *p); }); };
        j.run = [h, p](DiskIo& io) -> std::unique_ptr<Task> {
            Storage& st = *io.m_current;
            io.m_pool.CloseStorage(st.id);
            for (lt::download_priority_t prio : *p)
                if (prio == lt::dont_download) st.delegated = true;
            io.StockCall([&](lt::disk_interface& stock) { stock.async_set_file_priority(st.stockIndex, *p, *h); });
            return nullptr;
        };
        Push(std::move(j), true);
    }

    // --- the rest of the interface ----------------------------------------------------------------

    void update_stats_counters(lt::counters&) const override {}

    std::vector<lt::open_file_state> get_status(lt::storage_index_t idx) const override {
        auto i = static_cast<size_t>(static_cast<std::uint32_t>(idx));
        if (i >= m_torrents.size() || !m_torrents[i]) return {};
        return const_cast<FilePool&>(m_pool).Status(m_torrents[i]->id);
    }

    void abort(bool wait) override {
        {
            Guard g(m_lock);
            m_abort = true;
        }
        ::WakeAllConditionVariable(&m_wake);
        if (wait && m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) m_thread.join();
    }

    void submit_jobs() override {
        bool wake;
        {
            Guard g(m_lock);
            wake = m_idle && !m_queue.empty();
        }
        if (wake) ::WakeConditionVariable(&m_wake);
    }

    void settings_updated() override {
        ApplySettings();
        Guard g(m_stockLock);
        m_stock->settings_updated();
    }

private:
    void ApplySettings() {
        m_pool.SetLimit(m_settings.get_int(lt::settings_pack::file_pool_size));
        Guard g(m_lock);
        m_highWater = std::max<std::int64_t>(kMinQueuedBytes, m_settings.get_int(lt::settings_pack::max_queued_disk_bytes));
    }

    std::shared_ptr<Storage> Get(lt::storage_index_t idx) const {
        auto i = static_cast<size_t>(static_cast<std::uint32_t>(idx));
        return i < m_torrents.size() ? m_torrents[i] : nullptr;
    }

    void CloseJob(lt::storage_index_t idx, std::function<void()> handler) {
        auto h = std::make_shared<std::function<void()>>(std::move(handler));
        Job j;
        j.st = Get(idx);
        j.op = lt::operation_t::file;
        auto done = [h]() -> std::unique_ptr<Task> {
            if (!*h) return nullptr;
            return MakeTask([h] { (*h)(); });
        };
        j.fail = [done](const lt::storage_error&) { return done(); };
        j.run = [done](DiskIo& io) -> std::unique_ptr<Task> {
            io.m_pool.CloseStorage(io.m_current->id);
            return done();
        };
        Push(std::move(j), true);
    }

    // Queues a job. True when peers should wait for `observer` before sending more.
    bool Push(Job&& j, bool wake, std::shared_ptr<lt::disk_observer> observer = nullptr) {
        bool full = false;
        bool idle;
        {
            Guard g(m_lock);
            m_queuedBytes += j.writeBytes;
            if (j.writeBytes && m_queuedBytes > m_highWater) {
                full = true;
                if (observer) m_observers.push_back(std::move(observer));
            }
            m_queue.push_back(std::move(j));
            idle = m_idle;
        }
        if (wake && idle) ::WakeConditionVariable(&m_wake);
        return full;
    }

    // Calls the library's back-end, after handing back what is done so far, so handlers keep
    // their order.
    template <class F>
    void StockCall(F&& call) {
        Flush();
        Guard g(m_stockLock);
        call(*m_stock);
    }

    // The library's back-end posts its outcome to the network thread; a job that must know it
    // before the next one runs waits for it.
    struct Signal {
        HANDLE ev = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ~Signal() {
            if (ev) ::CloseHandle(ev);
        }
    };
    bool WaitFor(Signal& s) {
        if (!s.ev) return false;
        while (::WaitForSingleObject(s.ev, 100) != WAIT_OBJECT_0)
            if (Aborting()) return false;
        return true;
    }

    void Flush() {
        if (m_done.empty()) return;
        auto batch = std::make_shared<Batch>(std::move(m_done));
        m_done.clear();
        boost::asio::post(m_ios, [batch] { RunBatch(*batch); });
    }

    static void RunBatch(Batch& batch) {
        // Nothing behind a throwing handler may be lost; the first exception goes on as the
        // library's own handlers' would.
        std::exception_ptr first;
        for (auto& task : batch) {
            try {
                task->Run();
            } catch (...) {
                if (!first) first = std::current_exception();
            }
        }
        if (first) std::rethrow_exception(first);
    }

    void Run() {
        NameThread(L"disk");
        for (;;) {
            std::deque<Job> jobs;
            {
                Guard g(m_lock);
                while (m_queue.empty() && !m_abort) {
                    m_idle = true;
                    ::SleepConditionVariableSRW(&m_wake, m_lock.get(), INFINITE, 0);
                }
                m_idle = false;
                if (m_queue.empty()) break;  // aborted and nothing left
                jobs.swap(m_queue);
            }
            try {
                for (Job& j : jobs) {
                    Execute(j);
                    if (m_done.size() >= kMaxBatch) Flush();
                }
                Flush();
            } catch (...) {
                std::fputs("disk: completions lost\n", stderr);
            }
        }
        try {
            Flush();
        } catch (...) {
        }
        // The network thread may end once the last completions are posted.
        m_work.reset();
    }

    void Execute(Job& j) {
        std::unique_ptr<Task> done;
        m_current = j.st.get();
        m_failFile = lt::file_index_t(-1);
        try {
            if (!j.st) throw std::system_error(EINVAL, std::generic_category());
            done = j.run(*this);
            // Disk full: the block waits here and peers are held back; tried again until it
            // fits or the session ends.
            while (j.writeBytes && m_lastWriteError && IsDiskFull(*m_lastWriteError) && !Aborting()) {
                m_lastWriteError.reset();
                Flush();
                {
                    Guard g(m_lock);
                    if (!m_abort) ::SleepConditionVariableSRW(&m_wake, m_lock.get(), m_options.diskFullRetryMs, 0);
                }
                if (Aborting()) break;
                done = j.run(*this);
            }
        } catch (const std::bad_alloc&) {
            done = Fail(j, boost::asio::error::no_memory);
        } catch (const std::system_error& e) {
            done = Fail(j, lt::error_code(e.code().value(), lt::generic_category()));
        } catch (...) {
            done = Fail(j, lt::error_code(boost::system::errc::io_error, lt::generic_category()));
        }
        m_lastWriteError.reset();
        m_current = nullptr;
        if (done) m_done.push_back(std::move(done));
        if (j.writeBytes) Written(j.writeBytes);
        // The storage goes with the last job that holds it (after remove_torrent): its handles
        // first.
        if (j.st && j.st.use_count() == 1) Release(std::move(j.st));
        j.st.reset();
        j.run = nullptr;
        j.fail = nullptr;
    }

    std::unique_ptr<Task> Fail(Job& j, lt::error_code ec) {
        try {
            lt::storage_error e(ec, m_failFile, j.op);
            return j.fail ? j.fail(e) : nullptr;
        } catch (...) {
            std::fputs("disk: cannot report an error\n", stderr);
            return nullptr;
        }
    }

    void Release(std::shared_ptr<Storage>&& st) {
        m_pool.CloseStorage(st->id);
        // The torrent it kept alive is the network thread's to destroy.
        if (st->owner) m_done.push_back(MakeTask([owner = std::move(st->owner)] {}));
        Guard g(m_stockLock);
        st->stock.reset();
        st.reset();
    }

    bool Aborting() {
        Guard g(m_lock);
        return m_abort;
    }

    void Written(std::int64_t bytes) {
        std::vector<std::shared_ptr<lt::disk_observer>> ready;
        {
            Guard g(m_lock);
            m_queuedBytes -= bytes;
            if (!m_observers.empty() && m_queuedBytes <= m_highWater / 2) ready.swap(m_observers);
        }
        if (!ready.empty())
            m_done.push_back(MakeTask([ready] {
                for (auto& o : ready) o->on_disk();
            }));
    }

    // --- file I/O (worker thread) ---------------------------------------------------------------

    bool WriteBlock(Storage& st, const lt::peer_request& r, const char* data, lt::storage_error& err) {
        const lt::file_storage& fs = st.Files();
        for (const lt::file_slice& s : fs.map_block(r.piece, r.start, r.length)) {
            const char* p = data;
            data += s.size;
            if (fs.pad_file_at(s.file_index)) continue;
            m_failFile = s.file_index;
            HANDLE h = m_pool.Open(st, s.file_index, true, err);
            if (h == INVALID_HANDLE_VALUE) return Failed(err);
            std::int64_t off = s.offset;
            std::int64_t left = s.size;
            while (left > 0) {
                DWORD e = m_options.writeFault ? m_options.writeFault(s.file_index, off) : 0;
                DWORD put = 0;
                if (!e) {
                    e = m_io.Write(h, p, static_cast<DWORD>(left), off, put);
                    if (!e && put == 0) e = ERROR_WRITE_FAULT;
                }
                if (e) {
                    err = lt::storage_error(Win32Error(e), s.file_index, lt::operation_t::file_write);
                    return Failed(err);
                }
                p += put;
                off += put;
                left -= put;
            }
        }
        return true;
    }

    bool Failed(const lt::storage_error& err) {
        m_lastWriteError = std::make_unique<lt::storage_error>(err);
        return false;
    }

    bool ReadRange(Storage& st, lt::piece_index_t piece, int start, char* out, int length, lt::storage_error& err) {
        const lt::file_storage& fs = st.Files();
        for (const lt::file_slice& s : fs.map_block(piece, start, length)) {
            char* p = out;
            out += s.size;
            if (fs.pad_file_at(s.file_index)) {
                std::memset(p, 0, static_cast<size_t>(s.size));
                continue;
            }
            m_failFile = s.file_index;
            HANDLE h = m_pool.Open(st, s.file_index, false, err);
            if (h == INVALID_HANDLE_VALUE) return false;
            std::int64_t off = s.offset;
            std::int64_t left = s.size;
            while (left > 0) {
                DWORD got = 0;
                if (DWORD e = m_io.Read(h, p, static_cast<DWORD>(left), off, got)) {
                    err = e == ERROR_HANDLE_EOF
                              ? lt::storage_error(lt::errors::file_too_short, s.file_index, lt::operation_t::file_read)
                              : lt::storage_error(Win32Error(e), s.file_index, lt::operation_t::file_read);
                    return false;
                }
                if (got == 0) {
                    err = lt::storage_error(lt::errors::file_too_short, s.file_index, lt::operation_t::file_read);
                    return false;
                }
                p += got;
                off += got;
                left -= got;
            }
        }
        return true;
    }

    // Feeds a written block to its piece's hash; blocks that came before their turn are read
    // back when it comes.
    void Hashed(Storage& st, const lt::peer_request& r, const char* data) {
        const int pieceSize = st.Files().piece_size(r.piece);
        PieceHash& ph = st.hashes[static_cast<int>(r.piece)];
        if (ph.arrived.empty()) ph.arrived.resize(static_cast<size_t>((pieceSize + kBlockSize - 1) / kBlockSize));
        if (ph.broken) return;
        if (r.start < ph.next || r.start % kBlockSize != 0 || r.start >= pieceSize) {
            ph.broken = true;
            return;
        }
        ph.arrived[static_cast<size_t>(r.start / kBlockSize)] = true;
        if (r.start != ph.next) return;
        ph.sha1.Update(data, static_cast<size_t>(r.length));
        ph.next += r.length;
        std::vector<char> back;
        while (ph.next < pieceSize && ph.arrived[static_cast<size_t>(ph.next / kBlockSize)]) {
            const int len = std::min(kBlockSize, pieceSize - ph.next);
            back.resize(static_cast<size_t>(len));
            lt::storage_error ignored;
            if (!ReadRange(st, r.piece, ph.next, back.data(), len, ignored)) {
                ph.broken = true;
                return;
            }
            ph.sha1.Update(back.data(), static_cast<size_t>(len));
            ph.next += len;
        }
    }

    lt::sha1_hash HashPiece(Storage& st, lt::piece_index_t piece, lt::span<lt::sha256_hash> v2, bool v1,
                            lt::storage_error& err) {
        const lt::file_storage& fs = st.Files();
        auto it = st.hashes.find(static_cast<int>(piece));
        PieceHash fresh;
        PieceHash* ph = &fresh;
        // What was hashed as it arrived serves v1 only; v2 needs every block.
        if (it != st.hashes.end() && !it->second.broken && v2.empty()) ph = &it->second;
        const int pieceSize = v1 ? fs.piece_size(piece) : 0;
        const int pieceSize2 = v2.empty() ? 0 : fs.piece_size2(piece);
        const int total = std::max(pieceSize, pieceSize2);
        std::vector<char> buf(static_cast<size_t>(kBlockSize));
        bool ok = true;
        for (int off = ph->next, block = off / kBlockSize; off < total; off += kBlockSize, ++block) {
            const int len = std::min(kBlockSize, total - off);
            if (!ReadRange(st, piece, off, buf.data(), len, err)) {
                ok = false;
                break;
            }
            if (v1 && off < pieceSize) ph->sha1.Update(buf.data(), static_cast<size_t>(std::min(len, pieceSize - off)));
            if (!v2.empty() && off < pieceSize2 && block < static_cast<int>(v2.size()))
                v2[block] = lt::hasher256(buf.data(), std::min(len, pieceSize2 - off)).final();
        }
        lt::sha1_hash hash = ok && v1 ? ph->sha1.Final() : lt::sha1_hash();
        if (it != st.hashes.end()) st.hashes.erase(it);
        return hash;
    }

    friend std::unique_ptr<lt::disk_interface> MakeDiskIo(lt::io_context&, lt::settings_interface const&,
                                                          lt::counters&, DiskIoOptions);

    lt::io_context& m_ios;
    lt::settings_interface const& m_settings;
    DiskIoOptions m_options;

    Lock m_stockLock;
    std::unique_ptr<lt::disk_interface> m_stock;  // before the storages: they give its indices back

    // Network thread only.
    std::vector<std::shared_ptr<Storage>> m_torrents;
    std::vector<lt::storage_index_t> m_free;
    std::uint64_t m_nextId = 0;

    // Shared, under m_lock.
    Lock m_lock;
    CONDITION_VARIABLE m_wake;
    std::deque<Job> m_queue;
    bool m_idle = false;
    bool m_abort = false;
    std::int64_t m_queuedBytes = 0;
    std::int64_t m_highWater = kMinQueuedBytes;
    std::vector<std::shared_ptr<lt::disk_observer>> m_observers;

    // Worker thread only.
    PositionalIo m_io;
    FilePool m_pool;
    Storage* m_current = nullptr;
    Batch m_done;
    std::unique_ptr<lt::storage_error> m_lastWriteError;
    lt::file_index_t m_failFile{-1};

    boost::asio::executor_work_guard<lt::io_context::executor_type> m_work;
    std::thread m_thread;
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
