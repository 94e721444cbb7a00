// The downloaded file on disk: a real download from a seeder on the loopback address into the
// program's session, and the disk back-end alone. The back-end keeps its files open while it
// works on them; once the torrent is complete no handle of the program may hold the installer,
// or the shell could not start it and the installer could not replace it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include <atomic>
#include <new>
#include <sstream>

#include <libtorrent/disk_interface.hpp>
#include <libtorrent/hasher.hpp>
#include <libtorrent/io_context.hpp>
#include <libtorrent/torrent_status.hpp>

#include "test_torrent_support.h"
#include "torrent/DiskIo.h"
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

// The disk back-end on its own, driven the way the library's network thread drives it: jobs
// from this thread, completions run by polling a real io_context.
namespace {

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
        storage = disk->new_torrent(lt::storage_params(fs, nullptr, savePath, lt::storage_mode_sparse, prio, {}), nullptr);
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

    TempDir dir;
    std::int64_t size = 2 * kPiece + 3 * kBlock + 100;
    std::string data, savePath;
    lt::file_storage fs;
    lt::aux::vector<lt::download_priority_t, lt::file_index_t> prio;
    lt::io_context ios;
    lt::settings_pack settings;
    lt::counters counters;
    std::unique_ptr<lt::disk_interface> disk;
    lt::storage_holder storage;
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

TEST_F(DiskIoTest, ExceptionOnTheWorkerBecomesAnError) {
    DiskIoOptions o;
    o.writeFault = [](lt::file_index_t, std::int64_t off) -> DWORD {
        if (off == kBlock) throw std::bad_alloc();
        return 0;
    };
    Open(o);
    lt::storage_error e = Write(0, kBlock);
    EXPECT_EQ(e.ec, lt::error_code(boost::asio::error::no_memory)) << e.ec.message();
    EXPECT_EQ(e.operation, lt::operation_t::file_write);
    EXPECT_EQ(e.file(), lt::file_index_t(0));
    // The worker goes on.
    EXPECT_FALSE(Write(0, 0));
    EXPECT_FALSE(Write(0, 2 * kBlock));
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
    Open();
    int completed = 0;
    for (int b : {0, 1}) {
        lt::peer_request r{lt::piece_index_t(0), b * kBlock, kBlock};
        disk->async_write(storage, r, data.data() + b * kBlock, nullptr, [&](lt::storage_error const&) { ++completed; });
    }
    storage.reset();  // removed with its writes still queued
    disk->submit_jobs();
    ASSERT_TRUE(Drive([&] { return completed == 2; }));
    EXPECT_TRUE(WaitUntil([&] { return ExclusiveOpen(Path()); }, 5000))
        << "a removed torrent's file is still held, error " << ::GetLastError();
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
    Open();
    int completed = 0, queued = 0;
    for (int p = 0; p < 3; ++p)
        for (int b = 0; b * kBlock < fs.piece_size(lt::piece_index_t(p)); ++b) {
            lt::peer_request r{lt::piece_index_t(p), b * kBlock,
                               std::min(kBlock, fs.piece_size(lt::piece_index_t(p)) - b * kBlock)};
            disk->async_write(storage, r, data.data() + static_cast<std::int64_t>(p) * kPiece + b * kBlock, nullptr,
                              [&](lt::storage_error const& e) {
                                  EXPECT_FALSE(e) << e.ec.message();
                                  ++completed;
                              });
            ++queued;
        }
    disk->submit_jobs();
    disk->abort(true);  // returns once the worker has ended
    std::string have;
    ASSERT_TRUE(ReadBytes(Path(), have)) << "error " << ::GetLastError();
    EXPECT_TRUE(have == data) << "queued writes were lost at abort";
    // Their completions were handed back; with the worker gone the io_context runs dry.
    ios.restart();
    ios.run();
    EXPECT_EQ(completed, queued);
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
