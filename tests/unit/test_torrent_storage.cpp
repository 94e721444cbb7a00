// The downloaded file on disk: a real download from a seeder on the loopback address into the
// program's session. The storage keeps its files open while it works on them; once the torrent
// is complete no handle of the program may hold the installer, or the shell could not start it
// and the installer could not replace it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include <libtorrent/torrent_status.hpp>

#include "test_torrent_support.h"
#include "ui/MirelLauncherDlg.h"

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
    auto it = dlg.m_pSession->handles.find(torrent);
    ASSERT_NE(it, dlg.m_pSession->handles.end());
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
