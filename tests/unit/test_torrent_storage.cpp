// The downloaded file on disk: a real download from a seeder on the loopback address into the
// program's session, and the disk back-end alone. The back-end keeps its files open while it
// works on them; once the torrent is complete no handle of the program may hold the installer,
// or the shell could not start it and the installer could not replace it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include <algorithm>
#include <atomic>
#include <map>
#include <new>
#include <sstream>
#include <system_error>
#include <vector>

#include <libtorrent/disk_interface.hpp>
#include <libtorrent/disk_observer.hpp>
#include <libtorrent/hasher.hpp>
#include <libtorrent/io_context.hpp>
#include <libtorrent/torrent_status.hpp>

#include "framework/handles.h"
#include "test_torrent_support.h"
#include "torrent/DiskFilePool.h"
#include "torrent/DiskIo.h"
#include "torrent/PositionalIo.h"
#include "torrent/RunningPieceHash.h"
#include "torrent/Sha1.h"
#include "ui/MirelLauncherDlg.h"
#include "dlg_probe.h"

namespace {

using StorageTest = DownloadFolderTest;

bool ExclusiveOpen(const std::string& path) {
    HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    ::CloseHandle(h);
    return true;
}

}  // namespace

TEST_F(StorageTest, DownloadArrivesWholeAndLeavesNoHandleOnTheFile) {
    // Many pieces, with a short last one, so blocks are written, read back for hashing and
    // written again in every order the peers choose.
    const size_t size = 3 * 1024 * 1024 + 12345;
    ASSERT_TRUE(WritePayload(seedDir + "\\Setup.exe", size));
    const std::string torrent = down + "\\Mirel.ndn";
    ASSERT_FALSE(MakeTorrentFile(seedDir, "Setup.exe", torrent, 64 * 1024).empty());
    auto seeder = StartLoopbackSeeder(torrent, seedDir);
    ASSERT_TRUE(WaitUntil([&] { return seeder->is_listening(); }));
    const lt::tcp::endpoint seederAt(lt::make_address("127.0.0.1"),
                                     static_cast<unsigned short>(seeder->listen_port()));

    {
        CurrentDir cwd(dir.path());
        ::testing::internal::CaptureStdout();
        ASSERT_TRUE(dlg.StartTorrentSession());
        ::testing::internal::GetCapturedStdout();
    }
    auto it = DlgProbe::m_pSession(dlg)->handles.find(torrent);
    ASSERT_NE(it, DlgProbe::m_pSession(dlg)->handles.end());
    lt::torrent_handle mine = it->second;

    // The library's queue starts the torrent on its own time; a connection request before
    // that is dropped, so it is repeated.
    ASSERT_TRUE(WaitUntil([&] {
        lt::torrent_status st = mine.status();
        if (st.num_peers == 0) mine.connect_peer(seederAt);
        return st.state == lt::torrent_status::seeding;
    }, 60000)) << "the download did not complete";

    const std::string got = down + "\\Setup.exe";
    std::string want, have;
    ASSERT_TRUE(ReadBytes(seedDir + "\\Setup.exe", want));
    ASSERT_TRUE(ReadBytes(got, have));
    EXPECT_EQ(have.size(), size);
    EXPECT_TRUE(have == want) << "the downloaded file differs from the published one";

    // Complete: the program lets go of the file (a peer reading from us may open it again for
    // a moment, so the check is repeated within a bound).
    EXPECT_TRUE(WaitUntil([&] { return ExclusiveOpen(got); }, 10000))
        << "the finished download is still held open, error " << ::GetLastError();
    EXPECT_TRUE(WaitUntil([&] { return ::MoveFileA(got.c_str(), (got + ".moved").c_str()) != 0; }, 10000))
        << "the finished download cannot be moved, error " << ::GetLastError();

    // The check sees a stream left open the way the storage opens its files.
    FILE* held = std::fopen((got + ".moved").c_str(), "rb");
    ASSERT_NE(held, nullptr);
    EXPECT_FALSE(ExclusiveOpen(got + ".moved"));
    std::fclose(held);
    EXPECT_TRUE(ExclusiveOpen(got + ".moved"));
}

// Allocation faults: while a NoMemory is alive, operator new fails on the thread that made it
// (Here), or only its nth allocation, or on every other thread, which in these tests is the
// back-end's worker (Elsewhere).
namespace {
std::atomic<int> g_noMemory{0};
std::atomic<DWORD> g_noMemoryThread{0};
std::atomic<int> g_allocationsLeft{0};
}  // namespace

void* operator new(std::size_t n) {
    const int mode = g_noMemory.load(std::memory_order_relaxed);
    if (mode == 3) {
        if (::GetCurrentThreadId() == g_noMemoryThread.load() && g_allocationsLeft.fetch_sub(1) == 1)
            throw std::bad_alloc();
    } else if (mode != 0 && (::GetCurrentThreadId() == g_noMemoryThread.load()) == (mode == 1)) {
        throw std::bad_alloc();
    }
    if (void* p = ::HeapAlloc(::GetProcessHeap(), 0, n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    if (p) ::HeapFree(::GetProcessHeap(), 0, p);
}
void operator delete(void* p, std::size_t) noexcept {
    if (p) ::HeapFree(::GetProcessHeap(), 0, p);
}

// The disk back-end on its own, driven the way the library's network thread drives it: jobs
// from this thread, completions run by polling a real io_context.
namespace {

class NoMemory {
public:
    enum Where { Here = 1, Elsewhere = 2 };
    explicit NoMemory(Where where) {
        g_noMemoryThread = ::GetCurrentThreadId();
        g_noMemory = where;
    }
    // Only the nth allocation here fails.
    NoMemory(Where, int nth) {
        g_noMemoryThread = ::GetCurrentThreadId();
        g_allocationsLeft = nth;
        g_noMemory = 3;
    }
    ~NoMemory() { g_noMemory = 0; }
    NoMemory(const NoMemory&) = delete;
    NoMemory& operator=(const NoMemory&) = delete;
};

// The library's holder removes its torrent when it goes and cannot be emptied otherwise: one
// whose torrent a test removed itself is put where it is never destroyed.
void Forget(lt::storage_holder&& h) {
    static union Kept {
        Kept() {}
        ~Kept() {}
        lt::storage_holder h;
    } kept[8];
    static int used = 0;
    new (&kept[used++ % 8].h) lt::storage_holder(std::move(h));
}

constexpr int kBlock = 16 * 1024;
constexpr int kPiece = 4 * kBlock;

class DiskIoTest : public ::testing::Test {
protected:
    // A single file of three pieces, the last one short.
    void Open(DiskIoOptions options = DiskIoOptions()) {
        fs.add_file("Setup.exe", size);
        fs.set_piece_length(kPiece);
        fs.set_num_pieces(static_cast<int>((size + kPiece - 1) / kPiece));
        data.resize(static_cast<size_t>(size));
        unsigned x = TestSeed() | 1;
        for (char& c : data) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 16);
        savePath = ToLibraryPath(dir.path());
        disk = MakeDiskIo(ios, settings, counters, std::move(options));
        storage = disk->new_torrent(lt::storage_params(fs, nullptr, savePath, lt::storage_mode_sparse, prio, {}), owner);
    }
    void TearDown() override {
        if (!disk) return;
        storage.reset();
        disk->abort(true);
        disk.reset();
    }

    // Runs completions until `done` holds (bounded).
    bool Drive(const std::function<bool()>& done) {
        DWORD start = ::GetTickCount();
        while (!done()) {
            if (::GetTickCount() - start > 20000) return false;
            ios.run_for(std::chrono::milliseconds(5));
        }
        return true;
    }

    lt::storage_error Write(int piece, int start, const char* bytes = nullptr) {
        lt::peer_request r{lt::piece_index_t(piece), start,
                           static_cast<int>(std::min<std::int64_t>(kBlock, fs.piece_size(lt::piece_index_t(piece)) - start))};
        if (!bytes) bytes = data.data() + static_cast<std::int64_t>(piece) * kPiece + start;
        bool called = false;
        lt::storage_error result;
        disk->async_write(storage, r, bytes, nullptr, [&](lt::storage_error const& e) {
            result = e;
            called = true;
        });
        disk->submit_jobs();
        EXPECT_TRUE(Drive([&] { return called; })) << "write of piece " << piece << " at " << start << " never completed";
        return result;
    }

    lt::sha1_hash Hash(int piece, lt::storage_error* error = nullptr) {
        bool called = false;
        lt::sha1_hash result;
        disk->async_hash(storage, lt::piece_index_t(piece), {}, lt::disk_interface::v1_hash,
                         [&](lt::piece_index_t, lt::sha1_hash const& h, lt::storage_error const& e) {
                             result = h;
                             if (error) *error = e;
                             called = true;
                         });
        disk->submit_jobs();
        EXPECT_TRUE(Drive([&] { return called; }));
        return result;
    }

    lt::sha1_hash Expected(int piece) {
        const std::int64_t at = static_cast<std::int64_t>(piece) * kPiece;
        return lt::hasher(data.data() + at, fs.piece_size(lt::piece_index_t(piece))).final();
    }

    std::string Path() const { return dir / "Setup.exe"; }

    void Release(bool stop) {
        bool called = false;
        auto done = [&] { called = true; };
        if (stop) disk->async_stop_torrent(storage, done);
        else disk->async_release_files(storage, done);
        disk->submit_jobs();
        ASSERT_TRUE(Drive([&] { return called; }));
    }

    // The library's file check, as a torrent's start and a recheck ask for it.
    lt::status_t Check() {
        bool called = false;
        lt::status_t result = lt::status_t::fatal_disk_error;
        disk->async_check_files(storage, nullptr, {}, [&](lt::status_t st, lt::storage_error const& e) {
            EXPECT_FALSE(e) << e.ec.message();
            result = st & lt::status_t::mask;
            called = true;
        });
        disk->submit_jobs();
        EXPECT_TRUE(Drive([&] { return called; })) << "the check never completed";
        return result;
    }

    void WriteAll() {
        for (int p = 0; p < fs.num_pieces(); ++p)
            for (int b = 0; b * kBlock < fs.piece_size(lt::piece_index_t(p)); ++b) ASSERT_FALSE(Write(p, b * kBlock));
    }

    TempDir dir;
    std::int64_t size = 2 * kPiece + 3 * kBlock + 100;
    std::string data, savePath;
    lt::file_storage fs;
    lt::aux::vector<lt::download_priority_t, lt::file_index_t> prio;
    lt::io_context ios;
    lt::settings_pack settings;
    lt::counters counters;
    std::shared_ptr<void> owner;  // the torrent the storage keeps alive
    std::unique_ptr<lt::disk_interface> disk;
    lt::storage_holder storage;
};

// Counts the times peers were told to go on writing.
struct Resumed final : lt::disk_observer {
    void on_disk() override { ++count; }
    int count = 0;
};

}  // namespace

TEST_F(DiskIoTest, BlocksOutOfOrderHashAndLandRight) {
    Open();
    // Piece 0 in a scrambled order, piece 1 in order, the short last piece backwards.
    for (int b : {2, 0, 3, 1}) ASSERT_FALSE(Write(0, b * kBlock));
    for (int b : {0, 1, 2, 3}) ASSERT_FALSE(Write(1, b * kBlock));
    for (int b : {3, 2, 1, 0}) ASSERT_FALSE(Write(2, b * kBlock));
    for (int p = 0; p < 3; ++p) EXPECT_EQ(Hash(p), Expected(p)) << "piece " << p;
    Release(true);
    std::string have;
    ASSERT_TRUE(ReadBytes(Path(), have));
    EXPECT_TRUE(have == data) << "the file differs from what was written";
}

TEST_F(DiskIoTest, DataAlreadyOnDiskIsHashedFromTheFile) {
    Open();
    // A full recheck: nothing was written through the back-end.
    std::string bad = data;
    bad[static_cast<size_t>(kPiece + 5)] ^= 1;
    ASSERT_TRUE(WriteBytes(Path(), bad.substr(0, static_cast<size_t>(2 * kPiece + kBlock))));
    EXPECT_EQ(Hash(0), Expected(0));
    EXPECT_NE(Hash(1), Expected(1));
    lt::storage_error e;
    Hash(2, &e);
    EXPECT_EQ(e.ec, lt::errors::file_too_short) << e.ec.message();
}

TEST_F(DiskIoTest, FailedPieceIsClearedAndRewritten) {
    Open();
    std::string wrong(kBlock, 'x');
    ASSERT_FALSE(Write(1, 0));
    ASSERT_FALSE(Write(1, kBlock, wrong.data()));
    ASSERT_FALSE(Write(1, 3 * kBlock));
    ASSERT_FALSE(Write(1, 2 * kBlock));
    EXPECT_NE(Hash(1), Expected(1));
    bool cleared = false;
    disk->async_clear_piece(storage, lt::piece_index_t(1), [&](lt::piece_index_t) { cleared = true; });
    disk->submit_jobs();
    ASSERT_TRUE(Drive([&] { return cleared; }));
    // Peers send it again, in another order.
    for (int b : {3, 1, 0, 2}) ASSERT_FALSE(Write(1, b * kBlock));
    EXPECT_EQ(Hash(1), Expected(1));
}

TEST_F(DiskIoTest, WriteErrorIsReportedWithOperationAndFile) {
    const std::int64_t badAt = kPiece + kBlock;
    DiskIoOptions o;
    o.writeFault = [=](lt::file_index_t, std::int64_t off) -> DWORD { return off == badAt ? ERROR_ACCESS_DENIED : 0; };
    Open(o);
    EXPECT_FALSE(Write(1, 0));
    lt::storage_error e = Write(1, kBlock);
    EXPECT_EQ(e.ec, lt::error_code(ERROR_ACCESS_DENIED, lt::system_category())) << e.ec.message();
    EXPECT_EQ(e.operation, lt::operation_t::file_write);
    EXPECT_EQ(e.file(), lt::file_index_t(0));
    // The piece cannot hash right with a block missing, and later blocks still go to disk.
    EXPECT_FALSE(Write(1, 2 * kBlock));
    EXPECT_NE(Hash(1), Expected(1));
}

TEST_F(DiskIoTest, ExceptionOnTheWorkerBecomesAnErrorOfItsKind) {
    // What is thrown while a file is written, and the error the write reports: the system's
    // codes stay the system's, the portable ones portable.
    struct Case {
        const char* name;
        std::function<void()> raise;
        lt::error_code want;
    };
    const Case cases[] = {
        {"out of memory", [] { throw std::bad_alloc(); }, lt::error_code(boost::asio::error::no_memory)},
        {"system error", [] { throw std::system_error(ERROR_ACCESS_DENIED, std::system_category()); },
         lt::error_code(ERROR_ACCESS_DENIED, lt::system_category())},
        {"portable error", [] { throw std::system_error(EINVAL, std::generic_category()); },
         lt::error_code(EINVAL, lt::generic_category())},
    };
    const Case* current = nullptr;
    DiskIoOptions o;
    o.writeFault = [&](lt::file_index_t, std::int64_t off) -> DWORD {
        if (off == kBlock) current->raise();
        return 0;
    };
    Open(o);
    for (const Case& c : cases) {
        current = &c;
        lt::storage_error e = Write(0, kBlock);
        EXPECT_EQ(e.ec, c.want) << c.name << ": " << e.ec.message();
        EXPECT_EQ(e.operation, lt::operation_t::file_write) << c.name;
        EXPECT_EQ(e.file(), lt::file_index_t(0)) << c.name;
        // The worker goes on.
        EXPECT_FALSE(Write(0, 0)) << c.name;
        EXPECT_FALSE(Write(0, 2 * kBlock)) << c.name;
    }
}

TEST_F(DiskIoTest, DiskFullHoldsTheBlockUntilItFits) {
    std::atomic<int> failures{3};
    std::atomic<int> calls{0};
    DiskIoOptions o;
    o.diskFullRetryMs = 20;
    o.writeFault = [&](lt::file_index_t, std::int64_t) -> DWORD {
        ++calls;
        return failures-- > 0 ? ERROR_DISK_FULL : 0;
    };
    Open(o);
    EXPECT_FALSE(Write(0, 0)) << "a full disk must not fail the block";
    EXPECT_EQ(calls.load(), 4);
    for (int b : {1, 2, 3}) ASSERT_FALSE(Write(0, b * kBlock));
    EXPECT_EQ(Hash(0), Expected(0));
}

TEST_F(DiskIoTest, StopAndReleaseCloseEveryHandle) {
    Open();
    for (bool stop : {true, false}) {
        ASSERT_FALSE(Write(0, 0));
        EXPECT_EQ(disk->get_status(storage).size(), 1u);
        EXPECT_FALSE(ExclusiveOpen(Path())) << "the written file should be held open";
        Release(stop);
        EXPECT_TRUE(disk->get_status(storage).empty());
        EXPECT_TRUE(ExclusiveOpen(Path())) << (stop ? "stop" : "release") << " left a handle, error "
                                           << ::GetLastError();
    }
}

TEST_F(DiskIoTest, RemovedTorrentLeavesNoHandle) {
    // The library removes a torrent from a destructor: the removal may neither throw nor
    // depend on memory, and what it gives back is given back once.
    enum class How { NoMemoryHere, NoMemoryOnWorker, WritesQueued, Twice, AddedShortOfMemory };
    struct Case {
        const char* name;
        How how;
    };
    const Case cases[] = {
        // First: the back-end has given back no slot yet, so none is kept for reuse.
        {"with no memory where it is removed", How::NoMemoryHere},
        {"with no memory on the worker", How::NoMemoryOnWorker},
        {"with its writes still queued", How::WritesQueued},
        {"twice", How::Twice},
        // Each allocation of the addition fails in turn before one succeeds.
        {"added while memory runs out", How::AddedShortOfMemory},
    };
    Open();
    auto params = [&] { return lt::storage_params(fs, nullptr, savePath, lt::storage_mode_sparse, prio, {}); };
    // Completions are handed back in order: one of a later job proves the earlier ones ran.
    auto fence = [&] {
        bool done = false;
        disk->async_clear_piece(storage, lt::piece_index_t(0), [&](lt::piece_index_t) { done = true; });
        disk->submit_jobs();
        return Drive([&] { return done; });
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto torrent = std::make_shared<int>(0);
        std::weak_ptr<int> alive = torrent;
        lt::storage_holder st;
        // Each nth allocation twice: a failed addition may have grown what the next one reuses.
        for (int attempt = 2; c.how == How::AddedShortOfMemory && !st; ++attempt) {
            const int nth = attempt / 2;
            NoMemory none(NoMemory::Here, nth);
            try {
                st = disk->new_torrent(params(), torrent);
            } catch (const std::bad_alloc&) {
                EXPECT_EQ(torrent.use_count(), 1) << "the failed addition kept the torrent (allocation " << nth << ")";
            }
        }
        if (!st) st = disk->new_torrent(params(), torrent);
        torrent.reset();
        int completed = 0;
        for (int b : {0, 1}) {
            lt::peer_request r{lt::piece_index_t(0), b * kBlock, kBlock};
            disk->async_write(st, r, data.data() + b * kBlock, nullptr, [&](lt::storage_error const&) { ++completed; });
        }
        if (c.how != How::WritesQueued) {
            disk->submit_jobs();
            ASSERT_TRUE(Drive([&] { return completed == 2; }));
        }
        switch (c.how) {
            case How::WritesQueued:
            case How::AddedShortOfMemory:
                st.reset();
                break;
            case How::NoMemoryHere: {
                bool threw = false;
                {
                    NoMemory none(NoMemory::Here);  // the library's thread
                    try {
                        st.reset();
                    } catch (...) {
                        threw = true;
                    }
                }
                EXPECT_FALSE(threw) << "the removal needed memory";
                break;
            }
            case How::NoMemoryOnWorker: {
                NoMemory none(NoMemory::Elsewhere);
                st.reset();
                disk->submit_jobs();
                EXPECT_TRUE(WaitUntil([&] { return ExclusiveOpen(Path()); }, 5000))
                    << "the file is still held, error " << ::GetLastError();
                break;
            }
            case How::Twice: {
                const lt::storage_index_t idx = st;
                disk->remove_torrent(idx);
                disk->remove_torrent(idx);
                Forget(std::move(st));
                break;
            }
        }
        disk->submit_jobs();
        ASSERT_TRUE(fence());
        ASSERT_TRUE(Drive([&] { return completed == 2 && alive.expired(); })) << "the torrent was never freed";
        EXPECT_TRUE(WaitUntil([&] { return ExclusiveOpen(Path()); }, 5000))
            << "a removed torrent's file is still held, error " << ::GetLastError();
        if (c.how == How::Twice) {
            lt::storage_holder a = disk->new_torrent(params(), nullptr);
            lt::storage_holder b = disk->new_torrent(params(), nullptr);
            EXPECT_NE(static_cast<lt::storage_index_t>(a), static_cast<lt::storage_index_t>(b))
                << "a slot removed twice was given to two torrents";
        }
    }
}

TEST_F(DiskIoTest, SeedingReadLetsOthersMoveAndStartTheFile) {
    Open();
    for (int p = 0; p < 3; ++p)
        for (int b = 0; b * kBlock < fs.piece_size(lt::piece_index_t(p)); ++b) ASSERT_FALSE(Write(p, b * kBlock));
    Release(false);  // the library lets go when the torrent completes
    bool called = false;
    std::string got;
    disk->async_read(storage, lt::peer_request{lt::piece_index_t(1), kBlock, kBlock},
                     [&](lt::disk_buffer_holder b, lt::storage_error const& e) {
                         EXPECT_FALSE(e) << e.ec.message();
                         if (b) got.assign(b.data(), static_cast<size_t>(kBlock));
                         called = true;
                     });
    disk->submit_jobs();
    ASSERT_TRUE(Drive([&] { return called; }));
    EXPECT_TRUE(got == data.substr(static_cast<size_t>(kPiece + kBlock), kBlock));
    ASSERT_EQ(disk->get_status(storage).size(), 1u) << "the read should keep its handle";
    // Starting a program opens it for reading without sharing write access.
    HANDLE run = ::CreateFileA(Path().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(run, INVALID_HANDLE_VALUE) << "error " << ::GetLastError();
    if (run != INVALID_HANDLE_VALUE) ::CloseHandle(run);
    EXPECT_TRUE(::MoveFileA(Path().c_str(), (Path() + ".moved").c_str())) << "error " << ::GetLastError();
    EXPECT_TRUE(::DeleteFileA((Path() + ".moved").c_str())) << "error " << ::GetLastError();
}

TEST_F(DiskIoTest, AbortWithWorkQueuedWritesItAll) {
    // Every block queued while the worker waits at its first write, then the abort. With a
    // move first and an abort that does not wait, the worker goes on alone (the network thread
    // is busy ending the session) and the writes behind the move must follow it. A read asked
    // after the abort is answered as aborted. A check's hashes still queued are dropped by the
    // abort (those of its sequential reads), or by the torrent's stop (its volatile reads), as
    // the library's own back-end drops them; a downloaded piece's hashes are not.
    struct Case {
        const char* name;
        bool moveFirst;
        bool wait;
        lt::disk_job_flags_t hashes;  // of the hashes queued after the writes, if any
        bool stop;
        bool hashesDropped;
    };
    const lt::disk_job_flags_t none{}, v1 = lt::disk_interface::v1_hash;
    const Case cases[] = {
        {"writes only, abort waits", false, true, none, false, false},
        {"a move first, abort does not wait", true, false, none, false, false},
        {"writes only, abort does not wait", false, false, none, false, false},
        {"a check's hashes queued, then the abort", false, false, v1 | lt::disk_interface::sequential_access, false,
         true},
        {"a check's hashes queued, then a stop", false, false, v1 | lt::disk_interface::volatile_read, true, true},
        {"a piece's hashes queued, then a stop", false, false, v1, true, false},
    };
    const std::string moved = dir / "moved";
    ::CreateDirectoryA(moved.c_str(), nullptr);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UniqueKernelHandle go(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        DiskIoOptions o;
        o.writeFault = [&](lt::file_index_t, std::int64_t) -> DWORD {
            ::WaitForSingleObject(go.get(), 20000);
            return 0;
        };
        fs = lt::file_storage();
        Open(o);
        int completed = 0, queued = 0;
        bool movedDone = !c.moveFirst;
        if (c.moveFirst)
            disk->async_move_storage(storage, ToLibraryPath(moved), lt::move_flags_t::always_replace_files,
                                     [&](lt::status_t, std::string const&, lt::storage_error const& e) {
                                         EXPECT_FALSE(e) << e.ec.message();
                                         movedDone = true;
                                     });
        for (int p = 0; p < 3; ++p)
            for (int b = 0; b * kBlock < fs.piece_size(lt::piece_index_t(p)); ++b) {
                lt::peer_request r{lt::piece_index_t(p), b * kBlock,
                                   std::min(kBlock, fs.piece_size(lt::piece_index_t(p)) - b * kBlock)};
                disk->async_write(storage, r, data.data() + static_cast<std::int64_t>(p) * kPiece + b * kBlock,
                                  nullptr, [&](lt::storage_error const& e) {
                                      EXPECT_FALSE(e) << e.ec.message();
                                      ++completed;
                                  });
                ++queued;
            }
        int hashed = 0;
        for (int p = 0; c.hashes && p < 3; ++p)
            disk->async_hash(storage, lt::piece_index_t(p), {}, c.hashes,
                             [&, p](lt::piece_index_t, lt::sha1_hash const& h, lt::storage_error const& e) {
                                 ++hashed;
                                 if (c.hashesDropped) {
                                     EXPECT_EQ(e.ec, boost::asio::error::operation_aborted) << "piece " << p;
                                 } else {
                                     EXPECT_FALSE(e) << e.ec.message();
                                     EXPECT_EQ(h, Expected(p));
                                 }
                             });
        bool stopped = !c.stop;
        if (c.stop) disk->async_stop_torrent(storage, [&] { stopped = true; });
        disk->submit_jobs();
        if (c.wait) ::SetEvent(go.get());
        disk->abort(c.wait);  // with `wait`, returns once the worker has ended
        bool late = false;
        disk->async_read(storage, lt::peer_request{lt::piece_index_t(0), 0, kBlock},
                         [&](lt::disk_buffer_holder, lt::storage_error const& e) {
                             EXPECT_EQ(e.ec, boost::asio::error::operation_aborted) << "a read after the abort";
                             late = true;
                         });
        disk->submit_jobs();
        ::SetEvent(go.get());
        const std::string at = c.moveFirst ? moved + "\\Setup.exe" : Path();
        std::string have;
        EXPECT_TRUE(WaitUntil([&] { return ReadBytes(at, have) && have == data; }, 10000))
            << "queued writes were lost at abort";
        // Their completions were handed back; with the worker gone the io_context runs dry.
        ios.restart();
        ios.run();
        EXPECT_EQ(completed, queued);
        EXPECT_TRUE(movedDone);
        EXPECT_TRUE(late);
        EXPECT_EQ(hashed, c.hashes ? 3 : 0);
        EXPECT_TRUE(stopped);
        if (c.moveFirst) {
            EXPECT_EQ(::GetFileAttributesA(Path().c_str()), INVALID_FILE_ATTRIBUTES)
                << "a write behind the move went to the old place";
        }
        TearDown();
        ios.restart();
        ::DeleteFileA(at.c_str());
    }
}

// --- the torrent's end -------------------------------------------------------------------------

TEST_F(DiskIoTest, RemovedWhileIdleLetsGoOfTheFileEveryTime) {
    // The removal races the worker waking for it: many rounds, so that each order is seen.
    Open();
    storage.reset();
    const DWORD self = ::GetCurrentThreadId();
    for (int round = 0; round < 300; ++round) {
        DWORD freedOn = 0;
        std::shared_ptr<int> torrent(new int(round), [&](int* p) {
            freedOn = ::GetCurrentThreadId();
            delete p;
        });
        std::weak_ptr<int> alive = torrent;
        lt::storage_holder st =
            disk->new_torrent(lt::storage_params(fs, nullptr, savePath, lt::storage_mode_sparse, prio, {}), torrent);
        torrent.reset();
        bool written = false;
        disk->async_write(st, lt::peer_request{lt::piece_index_t(0), 0, kBlock}, data.data(), nullptr,
                          [&](lt::storage_error const& e) {
                              EXPECT_FALSE(e) << e.ec.message();
                              written = true;
                          });
        disk->submit_jobs();
        ASSERT_TRUE(Drive([&] { return written; }));
        st.reset();
        ASSERT_TRUE(Drive([&] { return alive.expired(); })) << "round " << round << ": the torrent was never freed";
        ASSERT_EQ(freedOn, self) << "round " << round << ": the torrent was freed off the network thread";
        ASSERT_TRUE(ExclusiveOpen(Path())) << "round " << round << ": the removed torrent's file is still held, error "
                                           << ::GetLastError();
    }
}

TEST_F(DiskIoTest, RemovedAfterAbortIsFreedOnTheSpot) {
    // The library removes a torrent once its stop has completed, after the session's abort; a
    // torrent it never removes is let go by the back-end's end, a destructor, which has no
    // memory to count on.
    for (bool removed : {true, false}) {
        SCOPED_TRACE(removed ? "removed after the abort" : "never removed, the back-end ended with no memory");
        DWORD freedOn = 0;
        owner = std::shared_ptr<int>(new int(1), [&](int* p) {
            freedOn = ::GetCurrentThreadId();
            delete p;
        });
        std::weak_ptr<void> alive = owner;
        fs = lt::file_storage();
        Open();
        owner.reset();
        ASSERT_FALSE(Write(0, 0));
        EXPECT_FALSE(ExclusiveOpen(Path())) << "the written file should be held open";
        disk->abort(true);
        if (removed) {
            storage.reset();
        } else {
            Forget(std::move(storage));
            NoMemory none(NoMemory::Here);
            disk.reset();
        }
        EXPECT_TRUE(alive.expired()) << "the torrent was not freed";
        EXPECT_EQ(freedOn, ::GetCurrentThreadId());
        EXPECT_TRUE(ExclusiveOpen(Path())) << "the torrent's file is still held, error " << ::GetLastError();
        TearDown();
        ios.restart();
    }
}

TEST_F(DiskIoTest, RecheckAfterDownloadFindsTheFiles) {
    Open();
    EXPECT_EQ(Check(), lt::status_t::no_error) << "nothing is on disk yet";
    WriteAll();
    // As a recheck asks: a release without a handler, then a check without resume data.
    disk->async_release_files(storage, {});
    EXPECT_EQ(Check(), lt::status_t::need_full_check) << "the check did not see the downloaded file";
}

// --- the worker's queue --------------------------------------------------------------------------

TEST_F(DiskIoTest, BackPressureHoldsPeersBackAndNoFailedCompletionLosesTheRest) {
    // More than the write queue's limit (4 MiB) queued at once, in one batch; in the second
    // case the bookkeeping of one job fails. The session's disk statistics show the queue and
    // then what was written.
    struct Case {
        const char* name;
        int throwAt;  // the completion whose queuing throws, 0 for none
        int failures;
    };
    for (const Case& c : {Case{"all well", 0, 0}, Case{"one completion fails", 3, 1}}) {
        SCOPED_TRACE(c.name);
        fs = lt::file_storage();
        size = 6 * 1024 * 1024;
        std::atomic<int> completions{0};
        // The worker stops at its first write until every write is queued.
        UniqueKernelHandle go(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        DiskIoOptions o;
        o.completionFault = [&, throwAt = c.throwAt] {
            if (++completions == throwAt) throw std::bad_alloc();
        };
        o.writeFault = [&](lt::file_index_t, std::int64_t) -> DWORD {
            ::WaitForSingleObject(go.get(), 20000);
            return 0;
        };
        Open(o);
        auto resumed = std::make_shared<Resumed>();
        int completed = 0, failed = 0;
        bool held = false;
        const int blocks = static_cast<int>(size / kBlock);
        for (int i = 0; i < blocks; ++i) {
            lt::peer_request r{lt::piece_index_t(i / 4), (i % 4) * kBlock, kBlock};
            held |= disk->async_write(storage, r, data.data() + static_cast<std::int64_t>(i) * kBlock, resumed,
                                      [&](lt::storage_error const& e) {
                                          ++completed;
                                          if (e) ++failed;
                                      });
        }
        EXPECT_TRUE(held) << "peers were not held back";
        const std::int64_t writtenBefore = counters[lt::counters::num_blocks_written];
        disk->update_stats_counters(counters);
        EXPECT_GE(counters[lt::counters::queued_disk_jobs], blocks - 1);
        EXPECT_EQ(counters[lt::counters::num_write_jobs], blocks);
        EXPECT_GE(counters[lt::counters::disk_blocks_in_use], blocks);
        ::SetEvent(go.get());
        disk->submit_jobs();
        EXPECT_TRUE(Drive([&] { return completed == blocks && resumed->count > 0; }))
            << completed << " of " << blocks << " writes completed; peers resumed " << resumed->count << " times";
        EXPECT_EQ(failed, c.failures);
        EXPECT_EQ(counters[lt::counters::num_blocks_written] - writtenBefore, blocks);
        disk->update_stats_counters(counters);
        EXPECT_EQ(counters[lt::counters::num_jobs], 0);
        EXPECT_EQ(counters[lt::counters::disk_blocks_in_use], 0);
        // Ended while what the hooks and handlers use is alive.
        TearDown();
        ios.restart();
        ios.poll();
    }
}

TEST_F(DiskIoTest, DiskFullHoldsBackNothingElse) {
    // A write of piece 1 waits for space while the jobs of a row are queued; a read after them
    // (the proof) shows that they were taken up. Once there is space, the completions came in
    // the order `want`; the hash of piece 0 then reads `readBack` blocks from the disk.
    std::atomic<bool> full{false}, otherFull{false};
    std::atomic<int> refused{0}, otherRefused{0};
    DiskIoOptions o;
    o.diskFullRetryMs = 20;
    o.writeFault = [&](lt::file_index_t, std::int64_t off) -> DWORD {
        // This torrent writes piece 1 on the full disk, another one piece 0 on a disk of its own.
        const bool mine = off >= kPiece;
        if (!(mine ? full : otherFull)) return 0;
        ++(mine ? refused : otherRefused);
        return ERROR_DISK_FULL;
    };
    std::vector<std::string> order;
    auto noted = [&](const char* what) { return std::find(order.begin(), order.end(), what) != order.end(); };
    lt::storage_holder other;
    struct Case {
        const char* name;
        std::function<void()> meanwhile;
        std::vector<std::string> want;
        int readBack;
        bool closedAfter;  // no handle is left once everything has answered
    };
    const Case cases[] = {
        {"a read and a hash of another piece",
         [&] {
             disk->async_read(storage, lt::peer_request{lt::piece_index_t(0), kBlock, kBlock},
                              [&](lt::disk_buffer_holder b, lt::storage_error const& e) {
                                  EXPECT_FALSE(e) << e.ec.message();
                                  EXPECT_TRUE(b && std::memcmp(b.data(), data.data() + kBlock, kBlock) == 0);
                                  order.push_back("read");
                              });
             disk->async_hash(storage, lt::piece_index_t(0), {}, lt::disk_interface::v1_hash,
                              [&](lt::piece_index_t, lt::sha1_hash const& h, lt::storage_error const& e) {
                                  EXPECT_FALSE(e) << e.ec.message();
                                  EXPECT_EQ(h, Expected(0));
                                  order.push_back("hash");
                              });
         },
         {"read", "hash", "proof", "write"}, 4, false},
        // A fence: a flush of the cache, or resume data, must not be answered while the block
        // is only in memory, nor the file opened again behind it.
        {"a release", [&] { disk->async_release_files(storage, [&] { order.push_back("release"); }); },
         {"proof", "write", "release"}, 0, true},
        {"another torrent's write, its own disk full a moment",
         [&] {
             const std::string there = dir / "other";
             ::CreateDirectoryA(there.c_str(), nullptr);
             other = disk->new_torrent(
                 lt::storage_params(fs, nullptr, ToLibraryPath(there), lt::storage_mode_sparse, prio, {}), nullptr);
             otherFull = true;
             disk->async_write(other, lt::peer_request{lt::piece_index_t(0), 0, kBlock}, data.data(), nullptr,
                               [&](lt::storage_error const& e) {
                                   EXPECT_FALSE(e) << e.ec.message();
                                   order.push_back("other");
                               });
             disk->submit_jobs();
             EXPECT_TRUE(Drive([&] { return otherRefused > 0; }));
             otherFull = false;
             EXPECT_TRUE(Drive([&] { return noted("other"); })) << "the other torrent's write waited for this one's";
         },
         {"other", "proof", "write"}, 0, false},
        // The library's own back-end only records the priorities: nothing in flight is lost.
        {"a priority change",
         [&] {
             disk->async_set_file_priority(
                 storage, lt::aux::vector<lt::download_priority_t, lt::file_index_t>(1, lt::low_priority),
                 [&](lt::storage_error const& e, lt::aux::vector<lt::download_priority_t, lt::file_index_t>) {
                     EXPECT_FALSE(e) << e.ec.message();
                     order.push_back("priority");
                 });
         },
         {"priority", "proof", "write"}, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs = lt::file_storage();
        full = false;
        refused = 0;
        order.clear();
        Open(o);
        for (int b : {0, 1, 2, 3}) ASSERT_FALSE(Write(0, b * kBlock));
        full = true;
        lt::storage_error writeError;
        disk->async_write(storage, lt::peer_request{lt::piece_index_t(1), 0, kBlock}, data.data() + kPiece, nullptr,
                          [&](lt::storage_error const& e) {
                              writeError = e;
                              order.push_back("write");
                          });
        disk->submit_jobs();
        ASSERT_TRUE(Drive([&] { return refused > 0; }));

        c.meanwhile();
        disk->async_read(storage, lt::peer_request{lt::piece_index_t(0), 0, kBlock},
                         [&](lt::disk_buffer_holder, lt::storage_error const& e) {
                             EXPECT_FALSE(e) << e.ec.message();
                             order.push_back("proof");
                         });
        disk->submit_jobs();
        ASSERT_TRUE(Drive([&] { return noted("proof"); }));
        EXPECT_FALSE(noted("write")) << "the write completed while the disk was full";

        full = false;
        ASSERT_TRUE(Drive([&] { return order.size() >= c.want.size(); }));
        EXPECT_EQ(order, c.want);
        EXPECT_FALSE(writeError) << writeError.ec.message();
        if (c.closedAfter) {
            EXPECT_TRUE(disk->get_status(storage).empty()) << "the write opened the file again after the release";
        }
        const std::int64_t readBefore = counters[lt::counters::num_read_back];
        EXPECT_EQ(Hash(0), Expected(0));
        EXPECT_EQ(counters[lt::counters::num_read_back] - readBefore, c.readBack);
        for (int b : {1, 2, 3}) ASSERT_FALSE(Write(1, b * kBlock));
        EXPECT_EQ(Hash(1), Expected(1));
        other.reset();
        TearDown();
        ios.restart();
    }
}

TEST_F(DiskIoTest, AbortOrStopWhileTheDiskIsFullEndsTheWrite) {
    // A write waits for space; the session's abort, or the torrent's stop (a pause), ends it
    // with its error, and the stop answers only after it.
    for (bool stop : {false, true}) {
        SCOPED_TRACE(stop ? "stop" : "abort");
        std::atomic<int> refused{0};
        DiskIoOptions o;
        o.diskFullRetryMs = 600000;  // only the abort or the stop can end the wait
        o.writeFault = [&](lt::file_index_t, std::int64_t) -> DWORD {
            ++refused;
            return ERROR_DISK_FULL;
        };
        fs = lt::file_storage();
        Open(o);
        std::vector<std::string> order;
        lt::storage_error writeError;
        disk->async_write(storage, lt::peer_request{lt::piece_index_t(0), 0, kBlock}, data.data(), nullptr,
                          [&](lt::storage_error const& e) {
                              writeError = e;
                              order.push_back("write");
                          });
        disk->submit_jobs();
        ASSERT_TRUE(Drive([&] { return refused > 0; }));
        if (stop) {
            disk->async_stop_torrent(storage, [&] { order.push_back("stop"); });
            disk->submit_jobs();
        } else {
            disk->abort(false);
        }
        const std::vector<std::string> want = stop ? std::vector<std::string>{"write", "stop"}
                                                   : std::vector<std::string>{"write"};
        ASSERT_TRUE(Drive([&] { return order.size() == want.size(); })) << "the write was left waiting";
        EXPECT_EQ(order, want);
        EXPECT_EQ(writeError.ec, lt::error_code(ERROR_DISK_FULL, lt::system_category())) << writeError.ec.message();
        EXPECT_EQ(writeError.operation, lt::operation_t::file_write);
        TearDown();
        ios.restart();
    }
}

// --- torrents of every form ----------------------------------------------------------------------

namespace {

// A torrent of several files made by the library from files written into `seed`\Mirel;
// `pieces` holds each piece's bytes as peers send them (pad bytes zero).
struct FilesTorrent {
    std::shared_ptr<lt::torrent_info> ti;
    std::vector<std::string> pieces;
    std::map<std::string, std::string> files;  // by file name
};

FilesTorrent MakeFilesTorrent(const std::string& seed, const std::vector<std::int64_t>& sizes,
                              lt::create_flags_t flags, int pieceSize) {
    FilesTorrent t;
    lt::file_storage fs;
    ::CreateDirectoryA((seed + "\\Mirel").c_str(), nullptr);
    unsigned x = TestSeed() * 2654435761u + static_cast<unsigned>(pieceSize);
    for (size_t i = 0; i < sizes.size(); ++i) {
        const std::string name = "f" + std::to_string(i) + ".bin";
        std::string bytes(static_cast<size_t>(sizes[i]), '\0');
        for (char& c : bytes) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 16);
        if (!WriteBytes(seed + "\\Mirel\\" + name, bytes)) return {};
        fs.add_file("Mirel/" + name, sizes[i]);
        t.files[name] = bytes;
    }
    lt::create_torrent ct(fs, pieceSize, flags);
    lt::error_code ec;
    lt::set_piece_hashes(ct, ToLibraryPath(seed), ec);
    if (ec) return {};
    std::vector<char> out;
    lt::bencode(std::back_inserter(out), ct.generate());
    t.ti = std::make_shared<lt::torrent_info>(out, lt::from_span);
    const lt::file_storage& f = t.ti->files();
    for (lt::piece_index_t p(0); p < lt::piece_index_t(f.num_pieces()); ++p) {
        std::string bytes;
        for (const lt::file_slice& s : f.map_block(p, 0, f.piece_size(p)))
            bytes += f.pad_file_at(s.file_index)
                         ? std::string(static_cast<size_t>(s.size), '\0')
                         : t.files[f.file_name(s.file_index).to_string()].substr(static_cast<size_t>(s.offset),
                                                                                  static_cast<size_t>(s.size));
        t.pieces.push_back(bytes);
    }
    return t;
}

}  // namespace

TEST_F(DiskIoTest, EveryTorrentFormHashesRightAndLandsInItsFiles) {
    // Files that blocks straddle, an empty file, a file shorter than a block; v1, v2 and
    // hybrid forms (the latter two with pad files); with one file not wanted, which once sent
    // the torrent's work to the library's back-end.
    const std::vector<std::int64_t> sizes = {2 * kBlock + 100, 0, 3 * kBlock + 7, kBlock - 1, kBlock};
    // A peer may send pad bytes that are not zero: the library passes them on as they came.
    // Blocks come last first, or in order (then those of a piece are written together).
    struct Case {
        const char* name;
        lt::create_flags_t flags;
        bool oneNotWanted;
        bool padSentNonZero;
        bool inOrder;
    };
    const Case cases[] = {
        {"v1", lt::create_torrent::v1_only, false, false, false},
        {"v1, one file not wanted", lt::create_torrent::v1_only, true, false, false},
        {"v1 with pad files, pad sent non-zero", lt::create_torrent::v1_only | lt::create_torrent::canonical_files,
         false, true, false},
        {"v1 with pad files, pad sent non-zero, in order",
         lt::create_torrent::v1_only | lt::create_torrent::canonical_files, false, true, true},
        {"hybrid", {}, false, false, false},
        {"hybrid, one file not wanted", {}, true, false, false},
        {"hybrid, pad sent non-zero", {}, false, true, false},
        {"hybrid, pad sent non-zero, in order", {}, false, true, true},
        {"v2", lt::create_torrent::v2_only, false, false, false},
        {"v2, one file not wanted", lt::create_torrent::v2_only, true, false, false},
    };
    Open();
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string seed = dir / ("seed" + std::to_string(n));
        const std::string save = dir / ("save" + std::to_string(n));
        ++n;
        ::CreateDirectoryA(seed.c_str(), nullptr);
        ::CreateDirectoryA(save.c_str(), nullptr);
        FilesTorrent t = MakeFilesTorrent(seed, sizes, c.flags, 2 * kBlock);
        ASSERT_TRUE(t.ti);
        const lt::file_storage& files = t.ti->files();
        const bool v1 = t.ti->info_hashes().has_v1();
        const bool v2 = t.ti->info_hashes().has_v2();
        lt::aux::vector<lt::download_priority_t, lt::file_index_t> prios(
            static_cast<size_t>(files.num_files()), lt::default_priority);
        for (lt::file_index_t i(0); i < files.end_file(); ++i)
            if (files.pad_file_at(i) || (c.oneNotWanted && files.file_name(i) == "f2.bin"))
                prios[i] = lt::dont_download;
        const std::string savePathHere = ToLibraryPath(save);
        lt::storage_holder st = disk->new_torrent(
            lt::storage_params(files, nullptr, savePathHere, lt::storage_mode_sparse, prios, {}), nullptr);

        // Every block with file data.
        int pending = 0;
        int padSent = 0;
        for (lt::piece_index_t p(0); p < lt::piece_index_t(files.num_pieces()); ++p) {
            std::string bytes = t.pieces[static_cast<size_t>(static_cast<int>(p))];
            if (c.padSentNonZero) {
                int at = 0;
                for (const lt::file_slice& s : files.map_block(p, 0, static_cast<int>(bytes.size()))) {
                    if (files.pad_file_at(s.file_index)) {
                        bytes.replace(static_cast<size_t>(at), static_cast<size_t>(s.size), static_cast<size_t>(s.size), '\x5a');
                        padSent += static_cast<int>(s.size);
                    }
                    at += static_cast<int>(s.size);
                }
            }
            const int blocks = (static_cast<int>(bytes.size()) + kBlock - 1) / kBlock;
            for (int k = 0; k < blocks; ++k) {
                const int off = (c.inOrder ? k : blocks - 1 - k) * kBlock;
                const int len = std::min<int>(kBlock, static_cast<int>(bytes.size()) - off);
                bool data = false;
                for (const lt::file_slice& s : files.map_block(p, off, len)) data |= !files.pad_file_at(s.file_index);
                if (!data) continue;
                ++pending;
                disk->async_write(st, lt::peer_request{p, off, len}, bytes.data() + off, nullptr,
                                  [&](lt::storage_error const& e) {
                                      EXPECT_FALSE(e) << e.ec.message();
                                      --pending;
                                  });
            }
        }
        disk->submit_jobs();
        ASSERT_TRUE(Drive([&] { return pending == 0; }));
        if (c.padSentNonZero) {
            ASSERT_GT(padSent, 0) << "the torrent has no pad bytes";
        }

        for (lt::piece_index_t p(0); p < lt::piece_index_t(files.num_pieces()); ++p) {
            const std::string& bytes = t.pieces[static_cast<size_t>(static_cast<int>(p))];
            const int size2 = v2 ? files.piece_size2(p) : 0;
            std::vector<lt::sha256_hash> want2;
            for (int off = 0; off < size2; off += kBlock)
                want2.push_back(lt::hasher256(bytes.data() + off, std::min(kBlock, size2 - off)).final());
            // The library's way: the block hashes go into a vector its handler owns.
            std::vector<lt::sha256_hash> blocks(want2.size());
            lt::span<lt::sha256_hash> span(blocks);
            bool called = false;
            lt::sha1_hash got;
            std::vector<lt::sha256_hash> got2;
            disk->async_hash(st, p, span, v1 ? lt::disk_interface::v1_hash : lt::disk_job_flags_t{},
                             [&, held = std::move(blocks)](lt::piece_index_t, lt::sha1_hash const& h,
                                                           lt::storage_error const& e) {
                                 EXPECT_FALSE(e) << e.ec.message();
                                 got = h;
                                 got2 = held;
                                 called = true;
                             });
            disk->submit_jobs();
            ASSERT_TRUE(Drive([&] { return called; }));
            if (v1) {
                EXPECT_EQ(got, t.ti->hash_for_piece(p)) << "piece " << static_cast<int>(p);
            }
            EXPECT_TRUE(got2 == want2) << "block hashes of piece " << static_cast<int>(p);

            for (int off = 0; off < size2; off += kBlock) {
                bool one = false;
                lt::sha256_hash h2;
                disk->async_hash2(st, p, off, {},
                                  [&](lt::piece_index_t, lt::sha256_hash const& h, lt::storage_error const& e) {
                                      EXPECT_FALSE(e) << e.ec.message();
                                      h2 = h;
                                      one = true;
                                  });
                disk->submit_jobs();
                ASSERT_TRUE(Drive([&] { return one; }));
                EXPECT_EQ(h2, want2[static_cast<size_t>(off / kBlock)]) << "piece " << static_cast<int>(p) << " at " << off;
            }
        }

        bool stopped = false;
        disk->async_stop_torrent(st, [&] { stopped = true; });
        disk->submit_jobs();
        ASSERT_TRUE(Drive([&] { return stopped; }));
        for (const auto& f : t.files) {
            if (f.second.empty()) continue;
            std::string have;
            EXPECT_TRUE(ReadBytes(save + "\\Mirel\\" + f.first, have)) << f.first;
            EXPECT_TRUE(have == f.second) << f.first << " differs from what was written";
        }
        st.reset();
    }
}

TEST_F(DiskIoTest, OffsetsAbove4GiBAndPiecesAbove4MiB) {
    Open();
    constexpr int kBigPiece = 8 * 1024 * 1024;
    lt::file_storage big;
    big.add_file("Big.bin", 5LL * 1024 * 1024 * 1024 + 12345);
    big.set_piece_length(kBigPiece);
    big.set_num_pieces(static_cast<int>((big.total_size() + kBigPiece - 1) / kBigPiece));
    lt::storage_holder st =
        disk->new_torrent(lt::storage_params(big, nullptr, savePath, lt::storage_mode_sparse, prio, {}), nullptr);
    // The piece that starts past 4.5 GiB, then the short last one.
    for (int piece : {580, big.num_pieces() - 1}) {
        SCOPED_TRACE(piece);
        const int pieceSize = big.piece_size(lt::piece_index_t(piece));
        std::string bytes(static_cast<size_t>(pieceSize), '\0');
        unsigned x = TestSeed() + static_cast<unsigned>(piece);
        for (char& c : bytes) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 16);
        int pending = 0;
        for (int off = 0; off < pieceSize; off += kBlock) {
            // The first two blocks swapped: the second waits to be read back.
            const bool swap = pieceSize > 2 * kBlock;
            const int at = !swap ? off : off == 0 ? kBlock : off == kBlock ? 0 : off;
            const int len = std::min(kBlock, pieceSize - at);
            ++pending;
            disk->async_write(st, lt::peer_request{lt::piece_index_t(piece), at, len}, bytes.data() + at, nullptr,
                              [&](lt::storage_error const& e) {
                                  EXPECT_FALSE(e) << e.ec.message();
                                  --pending;
                              });
        }
        disk->submit_jobs();
        ASSERT_TRUE(Drive([&] { return pending == 0; }));
        bool called = false;
        lt::sha1_hash got;
        disk->async_hash(st, lt::piece_index_t(piece), {}, lt::disk_interface::v1_hash,
                         [&](lt::piece_index_t, lt::sha1_hash const& h, lt::storage_error const& e) {
                             EXPECT_FALSE(e) << e.ec.message();
                             got = h;
                             called = true;
                         });
        bool read = false;
        const int at = pieceSize > 3 * kBlock ? 3 * kBlock : 0;
        const int len = std::min(kBlock, pieceSize - at);
        disk->async_read(st, lt::peer_request{lt::piece_index_t(piece), at, len},
                         [&](lt::disk_buffer_holder b, lt::storage_error const& e) {
                             EXPECT_FALSE(e) << e.ec.message();
                             EXPECT_TRUE(b && std::memcmp(b.data(), bytes.data() + at, static_cast<size_t>(len)) == 0);
                             read = true;
                         });
        disk->submit_jobs();
        ASSERT_TRUE(Drive([&] { return called && read; }));
        // The reference is fed a block at a time: Wine's CNG fails on one call of many MiB.
        lt::hasher want;
        for (int off = 0; off < pieceSize; off += kBlock) want.update(bytes.data() + off, std::min(kBlock, pieceSize - off));
        EXPECT_EQ(got, want.final());
    }
    st.reset();
}

TEST_F(DiskIoTest, RenameMoveAndDeleteFollowTheRenamedFile) {
    Open();
    auto exists = [](const std::string& p) { return ::GetFileAttributesA(p.c_str()) != INVALID_FILE_ATTRIBUTES; };
    ASSERT_FALSE(Write(0, 0));

    bool renamed = false;
    lt::storage_error error;
    disk->async_rename_file(storage, lt::file_index_t(0), "Renamed.exe",
                            [&](std::string const&, lt::file_index_t, lt::storage_error const& e) {
                                error = e;
                                renamed = true;
                            });
    disk->submit_jobs();
    ASSERT_TRUE(Drive([&] { return renamed; }));
    EXPECT_FALSE(error) << error.ec.message();
    EXPECT_TRUE(exists(dir / "Renamed.exe"));
    EXPECT_FALSE(exists(Path()));
    for (int b : {1, 2, 3}) ASSERT_FALSE(Write(0, b * kBlock));
    EXPECT_EQ(Hash(0), Expected(0)) << "the piece was not written to the renamed file";
    EXPECT_FALSE(exists(Path())) << "a write went to the old name";

    const std::string moved = dir / "moved";
    ::CreateDirectoryA(moved.c_str(), nullptr);
    bool done = false;
    std::string where;
    disk->async_move_storage(storage, ToLibraryPath(moved), lt::move_flags_t::always_replace_files,
                             [&](lt::status_t, std::string const& p, lt::storage_error const& e) {
                                 error = e;
                                 where = p;
                                 done = true;
                             });
    disk->submit_jobs();
    ASSERT_TRUE(Drive([&] { return done; }));
    EXPECT_FALSE(error) << error.ec.message();
    EXPECT_TRUE(exists(moved + "\\Renamed.exe"));
    EXPECT_FALSE(exists(dir / "Renamed.exe"));
    for (int b : {0, 1, 2, 3}) ASSERT_FALSE(Write(1, b * kBlock));
    EXPECT_EQ(Hash(1), Expected(1)) << "the piece was not written to the moved file";
    std::string have;
    ASSERT_TRUE(ReadBytes(moved + "\\Renamed.exe", have));
    EXPECT_TRUE(have.size() >= static_cast<size_t>(2 * kPiece) &&
                have.compare(0, static_cast<size_t>(2 * kPiece), data, 0, static_cast<size_t>(2 * kPiece)) == 0);

    done = false;
    disk->async_delete_files(storage, lt::session_handle::delete_files, [&](lt::storage_error const& e) {
        error = e;
        done = true;
    });
    disk->submit_jobs();
    ASSERT_TRUE(Drive([&] { return done; }));
    EXPECT_FALSE(error) << error.ec.message();
    EXPECT_FALSE(exists(moved + "\\Renamed.exe"));
    EXPECT_TRUE(disk->get_status(storage).empty());
}


TEST_F(DiskIoTest, WholeFileJobsAnswerOnceWhenTheirBookkeepingFails) {
    // The jobs the library's own back-end does for us, each as it is, with the queuing of its
    // completion failing, with no memory on the worker (the completion's post included), and
    // with none left once the library's back-end has answered (it may have moved the files by
    // then): its handler runs exactly once either way, and in the last case reports success,
    // ours following the files.
    enum class Fault { None, Completion, NoMemoryOnWorker, NoMemoryOnceAnswered };
    std::atomic<bool> failNext{false}, failAfterAnswer{false};
    const DWORD self = ::GetCurrentThreadId();
    DiskIoOptions o;
    o.completionFault = [&] {
        if (failNext.exchange(false)) throw std::bad_alloc();
    };
    o.libraryAnswered = [&] {
        if (!failAfterAnswer.exchange(false)) return;
        g_noMemoryThread = self;
        g_noMemory = NoMemory::Elsewhere;
    };
    Open(o);
    ASSERT_FALSE(Write(0, 0));
    auto exists = [](const std::string& p) { return ::GetFileAttributesA(p.c_str()) != INVALID_FILE_ATTRIBUTES; };
    std::string at = Path();  // where the file is
    int n = 0;
    int calls = 0;
    lt::storage_error error;
    // Every handler: counted, its error kept, and the memory given back.
    auto answered = [&](const lt::storage_error& e) {
        ++calls;
        error = e;
        g_noMemory = 0;
    };
    using Start = std::function<void(std::string& next)>;
    const std::pair<const char*, Start> jobs[] = {
        {"check", [&](std::string&) {
             disk->async_check_files(storage, nullptr, {},
                                     [&](lt::status_t, lt::storage_error const& e) { answered(e); });
         }},
        {"move", [&](std::string& next) {
             const std::string to = dir / ("to" + std::to_string(++n));
             ::CreateDirectoryA(to.c_str(), nullptr);
             next = to + at.substr(at.rfind('\\'));
             disk->async_move_storage(storage, ToLibraryPath(to), lt::move_flags_t::always_replace_files,
                                      [&](lt::status_t, std::string const&, lt::storage_error const& e) { answered(e); });
         }},
        {"rename", [&](std::string& next) {
             const std::string name = "Renamed" + std::to_string(++n) + ".exe";
             next = at.substr(0, at.rfind('\\') + 1) + name;
             disk->async_rename_file(storage, lt::file_index_t(0), name,
                                     [&](std::string const&, lt::file_index_t, lt::storage_error const& e) { answered(e); });
         }},
        {"priority", [&](std::string&) {
             disk->async_set_file_priority(
                 storage, lt::aux::vector<lt::download_priority_t, lt::file_index_t>(1, lt::default_priority),
                 [&](lt::storage_error const& e, lt::aux::vector<lt::download_priority_t, lt::file_index_t>) {
                     answered(e);
                 });
         }},
        {"delete", [&](std::string&) {
             disk->async_delete_files(storage, lt::session_handle::delete_files,
                                      [&](lt::storage_error const& e) { answered(e); });
         }},
    };
    for (Fault fault : {Fault::None, Fault::Completion, Fault::NoMemoryOnWorker, Fault::NoMemoryOnceAnswered})
        for (const auto& job : jobs) {
            SCOPED_TRACE(std::string(job.first) + ", fault " + std::to_string(static_cast<int>(fault)));
            calls = 0;
            failNext = fault == Fault::Completion;
            failAfterAnswer = fault == Fault::NoMemoryOnceAnswered;
            error = lt::storage_error();
            std::string next = at;
            if (fault == Fault::NoMemoryOnWorker) {
                g_noMemoryThread = self;
                g_noMemory = NoMemory::Elsewhere;  // until answered
            }
            job.second(next);
            // A later job's completion comes after every call of the earlier one's handler.
            bool fence = false;
            disk->async_release_files(storage, [&] { fence = true; });
            disk->submit_jobs();
            ASSERT_TRUE(Drive([&] { return fence; }));
            g_noMemory = 0;
            EXPECT_EQ(calls, 1);
            EXPECT_FALSE(failNext) << "the fault was never met";
            EXPECT_FALSE(failAfterAnswer) << "the fault was never met";
            if (fault == Fault::NoMemoryOnceAnswered) {
                EXPECT_FALSE(error) << error.ec.message();
            }
            // The next write goes where the library's back-end left the file.
            const std::string before = at;
            if (exists(next)) at = next;
            ASSERT_FALSE(Write(0, 0));
            EXPECT_TRUE(exists(at)) << at;
            if (before != at) {
                EXPECT_FALSE(exists(before)) << "a write went to the old place";
            }
        }

    // The last completion, made with no memory on the worker, reaches the network thread
    // after the abort.
    bool cleared = false;
    {
        NoMemory none(NoMemory::Elsewhere);
        disk->async_clear_piece(storage, lt::piece_index_t(0), [&](lt::piece_index_t) { cleared = true; });
        disk->abort(true);
    }
    ios.restart();
    ios.run();
    EXPECT_TRUE(cleared) << "a completion was lost at the end";
}

TEST(DiskFilePoolTest, TheLeastRecentlyUsedFileIsClosedAndALaterUseOpensItAgainIntact) {
    TempDir dir;
    DiskFilePool pool;
    pool.SetLimit(2);
    const PositionalIo io;
    auto open = [&](int i) {
        return pool.Open(1, lt::file_index_t(i), AnsiToWide(dir / std::to_string(i)), true, DiskFilePool::NewFile{}).handle;
    };
    auto isOpen = [&](int i) { return pool.Cached(1, lt::file_index_t(i), false) != INVALID_HANDLE_VALUE; };
    DWORD done = 0;
    ASSERT_EQ(io.Write(open(0), "zero", 4, 0, done), 0u);
    ASSERT_EQ(io.Write(open(1), "one", 3, 0, done), 0u);
    ASSERT_TRUE(isOpen(0));  // used last: 1 is now the least recently used
    open(2);
    EXPECT_FALSE(isOpen(1));
    EXPECT_TRUE(isOpen(0));
    EXPECT_TRUE(ExclusiveOpen(dir / "1")) << "the file left the pool but its handle stayed open";
    char back[3] = {};
    ASSERT_EQ(io.Read(open(1), back, 3, 0, done), 0u);
    EXPECT_EQ(std::string(back, done), "one");
    EXPECT_EQ(pool.Status(1).size(), 2u);
    pool.CloseAll();
}

TEST(PositionalIoTest, FallbackThroughOverlappedOffsetsMovesTheBytesWhereTheSystemCallsFindThem) {
    TempDir dir;
    UniqueKernelHandle file(::CreateFileA((dir / "f").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file);
    const PositionalIo fallback(false), calls;
    const std::int64_t high = 5LL * 1024 * 1024 * 1024 + 3;  // both halves of the offset count
    DWORD done = 0;
    ASSERT_EQ(fallback.Write(file.get(), "mirel", 5, high, done), 0u);
    EXPECT_EQ(done, 5u);
    ASSERT_EQ(fallback.Write(file.get(), "AB", 2, 1, done), 0u);
    char back[5] = {};
    ASSERT_EQ(calls.Read(file.get(), back, 5, high, done), 0u);
    EXPECT_EQ(std::string(back, done), "mirel");
    ASSERT_EQ(fallback.Read(file.get(), back, 4, 0, done), 0u);
    EXPECT_EQ(std::string(back, done), std::string("\0AB\0", 4));
    ASSERT_EQ(calls.Write(file.get(), "xy", 2, high + 1, done), 0u);
    ASSERT_EQ(fallback.Read(file.get(), back, 5, high, done), 0u);
    EXPECT_EQ(std::string(back, done), "mxyel");
    // Past the end, the error that the reads take for a file too short.
    EXPECT_EQ(fallback.Read(file.get(), back, 1, high + 5, done), static_cast<DWORD>(ERROR_HANDLE_EOF));
}

TEST(RunningPieceHashTest, WritesInAnyOrderGiveThePieceHashesWithFewReads) {
    // A piece of four blocks and a short one, whose last 50 bytes are padding in the v2 sense;
    // the disk is a string the read-back reads from.
    constexpr int kSize = 4 * kBlock + 100;
    constexpr int kSize2 = kSize - 50;
    std::string data(kSize, '\0');
    unsigned x = TestSeed() | 1;
    for (char& c : data) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 16);
    struct Case {
        const char* name;
        std::vector<int> order;  // blocks as written; a block twice is a rewrite
        bool v2;
        int readsWhileWriting;   // blocks read back as earlier ones come in
        int readsAtTheEnd;       // blocks read by the final hash
    };
    const Case cases[] = {
        {"in order", {0, 1, 2, 3, 4}, false, 0, 0},
        {"backwards", {4, 3, 2, 1, 0}, false, 4, 0},
        {"a hashed block written again", {0, 1, 1, 2, 3, 4}, false, 0, 5},
        {"one block missing", {0, 1, 3, 4}, false, 0, 3},
        {"in order, v2", {0, 1, 2, 3, 4}, true, 0, 0},
        {"backwards, v2", {4, 3, 2, 1, 0}, true, 4, 0},
        {"a hashed block written again, v2", {0, 1, 1, 2, 3, 4}, true, 0, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string disk(kSize, '\0');
        int reads = 0;
        auto read = [&](int off, char* out, int len) {
            ++reads;
            std::memcpy(out, disk.data() + off, static_cast<size_t>(len));
            return true;
        };
        RunningPieceHash ph(kSize, c.v2 ? kSize2 : 0);
        for (int b : c.order) {
            const int off = b * kBlock;
            const int len = std::min(kBlock, kSize - off);
            disk.replace(static_cast<size_t>(off), static_cast<size_t>(len), data, static_cast<size_t>(off),
                         static_cast<size_t>(len));
            ph.Written(off, data.data() + off, len, read);
        }
        EXPECT_EQ(reads, c.readsWhileWriting);
        std::vector<lt::sha256_hash> blocks(c.v2 ? 5 : 0);
        lt::sha1_hash sha1;
        reads = 0;
        // A missing block is on disk by the time of the final hash (written by someone else).
        disk = data;
        ASSERT_TRUE(ph.Finish(true, blocks, sha1, read));
        EXPECT_EQ(reads, c.readsAtTheEnd);
        EXPECT_EQ(sha1, lt::hasher(data.data(), kSize).final());
        for (int b = 0; b < static_cast<int>(blocks.size()); ++b)
            EXPECT_EQ(blocks[static_cast<size_t>(b)],
                      lt::hasher256(data.data() + b * kBlock, std::min(kBlock, kSize2 - b * kBlock)).final())
                << "block " << b;
    }
}

TEST(Sha1Test, FastPathAgreesWithTheLibraryAtEveryLengthAndSplit) {
    EXPECT_EQ(Sha1().Final(), lt::hasher().final());
    Sha1 abc;
    abc.Update("abc", 3);
    std::ostringstream hex;
    hex << abc.Final();
    EXPECT_EQ(hex.str(), "a9993e364706816aba3e25717850c26c9cd0d89d");

    std::string data(3 * 64 * 1024 + 77, '\0');
    unsigned x = 12345;
    for (char& c : data) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 16);
    // Lengths around the 64-byte block and the 56-byte padding edge, fed whole and in uneven
    // parts.
    for (size_t len : {size_t(1), size_t(55), size_t(56), size_t(63), size_t(64), size_t(65), size_t(119),
                       size_t(120), size_t(16384), data.size()}) {
        const lt::sha1_hash want = lt::hasher(data.data(), static_cast<int>(len)).final();
        for (bool fast : {true, false}) {
            Sha1 whole(fast);
            whole.Update(data.data(), len);
            EXPECT_EQ(whole.Final(), want) << "length " << len << (fast ? " fast" : " library");
            Sha1 parts(fast);
            for (size_t at = 0, step = 1; at < len; at += step, step = step * 3 + 1)
                parts.Update(data.data() + at, std::min(step, len - at));
            EXPECT_EQ(parts.Final(), want) << "length " << len << " in parts" << (fast ? " fast" : " library");
        }
    }
}
