// Reading back a moved-aside folder: the bytes of the current download found there are copied
// into the fresh folder through handles and judged by the piece hashes; nothing is kept twice,
// and what is not the launcher's stays.
#include <gtest/gtest.h>

#include <string>

#include <libtorrent/torrent_status.hpp>

#include "common/CodePage.h"
#include "test_torrent_support.h"
#include "torrent/MovedAsideRecovery.h"
#include "torrent/TorrentSession.h"
#include "ui/MirelLauncherDlg.h"
#include "dlg_probe.h"

namespace {

constexpr int kPiece = 16 * 1024;
constexpr int kPieces = 20;

class MovedAsideTest : public DownloadFolderTest {
protected:
    void SetUp() override {
        DownloadFolderTest::SetUp();
        ASSERT_TRUE(WritePayload(seedDir + "\\Setup.exe", kPieces * kPiece));
        ASSERT_FALSE(MakeTorrentFile(seedDir, "Setup.exe", down + "\\Mirel.ndn").empty());
        ASSERT_TRUE(ReadBytes(seedDir + "\\Setup.exe", payload));
        aside = dir / "Down (moved aside)";
        ASSERT_TRUE(::CreateDirectoryA(aside.c_str(), nullptr));
    }
    Recovery Recover() {
        return RecoverFromMovedAside(down + "\\Mirel.ndn", AnsiToWide(aside), AnsiToWide(down),
                                     [&](std::int64_t done, std::int64_t total) {
                                         lastDone = done;
                                         lastTotal = total;
                                         return true;
                                     });
    }
    std::string payload, aside;
    std::int64_t lastDone = -1, lastTotal = -1;
};

std::string Content(const std::string& path) {
    std::string data;
    return ReadBytes(path, data) ? data : std::string("<missing>");
}

}  // namespace

// An upgrade part way: 60% of the installer, one piece of it damaged, beside the lock, the old
// description and a file of the player's. The pieces that hash right are used at once; the aside
// copies whose bytes are all in the fresh folder go; the player's file stays.
TEST_F(MovedAsideTest, WhatWasThereIsReadBackAndOnlyTheGoodPiecesCount) {
    std::string part = payload.substr(0, kPieces * kPiece * 6 / 10);
    part[3 * kPiece + 5] ^= 0x5a;  // piece 3 damaged
    ASSERT_TRUE(WriteBytes(aside + "\\Setup.exe", part));
    ASSERT_TRUE(WriteBytes(aside + "\\MirelLauncher.lock", ""));
    ASSERT_TRUE(WriteBytes(down + "\\MirelLauncher.lock", ""));
    ASSERT_TRUE(::CopyFileA((down + "\\Mirel.ndn").c_str(), (aside + "\\Mirel.ndn").c_str(), FALSE));
    ASSERT_TRUE(WriteBytes(aside + "\\save.dat", "the player's"));

    const Recovery r = Recover();
    EXPECT_EQ(r.filesCopied, 1);
    EXPECT_EQ(r.bytesCopied, static_cast<std::int64_t>(part.size()));
    EXPECT_EQ(lastDone, lastTotal);
    EXPECT_EQ(Content(down + "\\Setup.exe"), part);
    EXPECT_EQ(r.copiesRemoved, 3) << "the installer, the lock and the description";
    EXPECT_EQ(FolderEntries(aside), std::vector<std::string>{"save.dat"});
    EXPECT_FALSE(r.asideRemoved);

    // Added as the launcher adds it: the library hashes what is there, and has every good piece.
    CurrentDir cwd(dir.path());
    ::testing::internal::CaptureStdout();
    ASSERT_TRUE(dlg.StartTorrentSession());
    ::testing::internal::GetCapturedStdout();
    lt::torrent_handle h = DlgProbe::m_pSession(dlg)->handles.begin()->second;
    h.resume();
    ASSERT_TRUE(WaitUntil([&] {
        const lt::torrent_status st = h.status();
        return st.state != lt::torrent_status::checking_files && st.state != lt::torrent_status::checking_resume_data &&
               st.num_pieces > 0;
    }));
    const lt::torrent_status st = h.status(lt::torrent_handle::query_pieces);
    EXPECT_EQ(st.num_pieces, kPieces * 6 / 10 - 1);
    EXPECT_FALSE(st.pieces[lt::piece_index_t(3)]);
}

// What could be changed meanwhile, or names bytes that live on elsewhere, is read but kept; a
// link is never read through; a file the fresh folder has is left alone. Once nothing is left,
// the moved-aside folder goes.
TEST_F(MovedAsideTest, WhatCouldStillChangeIsKeptAndLinksAreNotFollowed) {
    struct Case {
        const char* what;
        std::function<bool()> make;
        bool copied, kept;
    };
    const std::string outside = dir / "outside.exe";
    const Case cases[] = {
        {"a second name elsewhere",
         [&] {
             return WriteBytes(outside, payload) &&
                    ::CreateHardLinkA((aside + "\\Setup.exe").c_str(), outside.c_str(), nullptr);
         },
         true, true},
        {"longer than the installer", [&] { return WriteBytes(aside + "\\Setup.exe", payload + "more"); }, true, true},
        {"the fresh folder has it already",
         [&] { return WriteBytes(aside + "\\Setup.exe", payload) && WriteBytes(down + "\\Setup.exe", "fresh"); }, false,
         true},
        {"the whole installer", [&] { return WriteBytes(aside + "\\Setup.exe", payload); }, true, false},
        {"a link to a file elsewhere",
         [&] { return WriteBytes(outside, payload) && MakeHostLink(outside, aside + "\\Setup.exe"); }, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ::DeleteFileA((aside + "\\Setup.exe").c_str());
        TempDir::Remove(aside);
        ::DeleteFileA((down + "\\Setup.exe").c_str());
        ::DeleteFileA(outside.c_str());
        ASSERT_TRUE(::CreateDirectoryA(aside.c_str(), nullptr));
        ASSERT_TRUE(c.make());
        const std::string before = Content(aside + "\\Setup.exe");
        const Recovery r = Recover();
        EXPECT_EQ(r.filesCopied, c.copied ? 1 : 0);
        if (c.copied) {
            EXPECT_EQ(Content(down + "\\Setup.exe"), before.substr(0, payload.size()));
        }
        EXPECT_EQ(Content(aside + "\\Setup.exe"), c.kept ? before : "<missing>");
        EXPECT_EQ(r.asideRemoved, !c.kept);
        if (::GetFileAttributesA(outside.c_str()) != INVALID_FILE_ATTRIBUTES) {
            EXPECT_EQ(Content(outside), payload);
        }
    }
    ::DeleteFileA((aside + "\\Setup.exe").c_str());  // the link, before what it leads to
}
