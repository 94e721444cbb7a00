// Reading back a moved-aside folder: the bytes of the current download found there are copied
// into the fresh folder through handles and judged by the piece hashes; nothing is kept twice,
// nothing unproven is removed, and what is not the launcher's stays (and is never carried in).
#include <gtest/gtest.h>

#include <algorithm>
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
    // The description as the launcher took it: its bytes.
    std::string Description() {
        std::string bytes;
        EXPECT_TRUE(ReadBytes(down + "\\Mirel.ndn", bytes));
        return bytes;
    }
    // `stopAfter`: calls of the progress after which it says stop; -1: never.
    Recovery Recover(int stopAfter = -1) {
        int calls = 0;
        return RecoverFromMovedAside(Description(), AnsiToWide(aside), AnsiToWide(down),
                                     [&](std::int64_t done, std::int64_t total) {
                                         lastDone = done;
                                         lastTotal = total;
                                         return stopAfter < 0 || ++calls < stopAfter;
                                     });
    }
    std::string payload, aside;
    std::int64_t lastDone = -1, lastTotal = -1;
};

std::string Content(const std::string& path) {
    std::string data;
    return ReadBytes(path, data) ? data : std::string("<missing>");
}

std::vector<std::string> Sorted(std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

// An upgrade part way: 60% of the installer, one piece of it damaged, beside the lock, the old
// description and a file of the player's. The pieces that hash right are used at once; the lock
// and description identical to the fresh folder's go; the installer's aside copy, which holds a
// piece that did not pass, stays, and so does the player's file.
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
    EXPECT_EQ(r.copiesRemoved, 2) << "the lock and the description";
    EXPECT_EQ(Sorted(FolderEntries(aside)), (std::vector<std::string>{"Setup.exe", "save.dat"}));
    EXPECT_EQ(Content(aside + "\\Setup.exe"), part);
    EXPECT_TRUE(r.asideFound);
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

// What could be changed meanwhile, or names bytes that live on elsewhere, is read but kept; so is
// a copy whose pieces did not all pass the hash (a piece damaged, bytes after the last whole
// piece); a link is never read through; a file the fresh folder has is left alone. Parts never
// written (zeros, in a sparse file) lose nothing. Once nothing is left, the moved-aside folder
// goes.
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
        {"the whole installer, one byte changed",
         [&] {
             std::string changed = payload;
             changed[7 * kPiece + 100] ^= 1;
             return WriteBytes(aside + "\\Setup.exe", changed);
         },
         true, true},
        {"pieces never written: zeros in their place",
         [&] {
             std::string sparse = payload.substr(0, 15 * kPiece);
             std::fill(sparse.begin() + 4 * kPiece, sparse.begin() + 9 * kPiece, '\0');
             return WriteBytes(aside + "\\Setup.exe", sparse);
         },
         true, false},
        {"ends within a piece", [&] { return WriteBytes(aside + "\\Setup.exe", payload.substr(0, 5 * kPiece + 77)); },
         true, true},
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

// Nothing but the torrent's own files is carried in: no resume data, whatever its name ("x.ndn.
// resume" would once have been added as a torrent), however many; they stay aside, untouched.
TEST_F(MovedAsideTest, ResumeDataAndOtherFilesAreNeverCarriedIn) {
    ASSERT_TRUE(WriteBytes(aside + "\\Setup.exe", payload));
    ASSERT_TRUE(WriteBytes(aside + "\\Setup.exe.resume", "d4:infoe"));
    ASSERT_TRUE(WriteBytes(aside + "\\x.ndn.resume", "d4:infoe"));
    for (int i = 0; i < 40; ++i) ASSERT_TRUE(WriteBytes(aside + "\\" + std::to_string(i) + ".resume", "x"));
    const std::vector<std::string> before = Sorted(FolderEntries(down));
    const Recovery r = Recover();
    EXPECT_EQ(r.filesCopied, 1);
    EXPECT_EQ(r.copiesRemoved, 1) << "the installer, proven";
    std::vector<std::string> expected = before;
    expected.push_back("Setup.exe");
    EXPECT_EQ(Sorted(FolderEntries(down)), Sorted(expected));
    EXPECT_EQ(FolderEntries(aside).size(), 42u);
    EXPECT_EQ(Content(aside + "\\x.ndn.resume"), "d4:infoe");
    EXPECT_EQ(lastDone, lastTotal);
    EXPECT_LE(lastTotal, 2 * static_cast<std::int64_t>(payload.size())) << "the copy and the hashing, no more";
}

// A close during the copy: the part copied goes from the fresh folder, the aside copy stays whole,
// and a later call copies it again, judges it and removes it.
TEST_F(MovedAsideTest, AStopDuringTheCopyLeavesNothingHalfAndALaterCallReadsOn) {
    // More than one block of the copy (1 MiB), so that the stop comes within the file.
    std::string big;
    ASSERT_TRUE(WritePayload(seedDir + "\\Big.exe", 80 * kPiece + 5));
    ASSERT_FALSE(MakeTorrentFile(seedDir, "Big.exe", down + "\\Mirel.ndn").empty());
    ASSERT_TRUE(ReadBytes(seedDir + "\\Big.exe", big));
    ASSERT_TRUE(WriteBytes(aside + "\\Big.exe", big));
    const Recovery stopped = Recover(1);
    EXPECT_TRUE(stopped.stopped);
    EXPECT_EQ(Content(down + "\\Big.exe"), "<missing>");
    EXPECT_EQ(Content(aside + "\\Big.exe"), big);
    const Recovery later = Recover();
    EXPECT_FALSE(later.stopped);
    EXPECT_EQ(later.filesCopied, 1);
    EXPECT_EQ(later.copiesRemoved, 1);
    EXPECT_EQ(Content(down + "\\Big.exe"), big);
    EXPECT_TRUE(later.asideRemoved);
}

// A folder moved aside by a launcher that ended before reading it back (a failed fetch, a close
// during the copy): a later launcher finds it through the record in the fresh folder and reads
// it back; once read back, the record goes and no later start looks again.
TEST_F(MovedAsideTest, ALaterStartStillFindsTheMovedAsideFolderAndReadsItBack) {
    const std::string shared = dir / "Shared\\Mirel Online";
    ASSERT_TRUE(::CreateDirectoryA((dir / "Shared").c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryA(shared.c_str(), nullptr) && OpenToEveryone(shared));
    ASSERT_TRUE(WriteBytes(shared + "\\Setup.exe", payload.substr(0, 10 * kPiece)));
    std::wstring movedTo;
    {
        DownloadFolder first;
        ASSERT_EQ(first.Take(shared + "\\", DownloadFolder::ForDownload), DownloadFolder::Trusted);
        movedTo = first.MovedAsideTo();
        ASSERT_FALSE(movedTo.empty());
    }  // ends without reading it back
    {
        DownloadFolder later;
        ASSERT_EQ(later.Take(shared + "\\", DownloadFolder::ForDownload), DownloadFolder::Trusted);
        EXPECT_EQ(later.MovedAsideTo(), movedTo);
        const Recovery r = RecoverFromMovedAside(Description(), later.MovedAsideTo(), AnsiToWide(shared),
                                                 [](std::int64_t, std::int64_t) { return true; });
        EXPECT_EQ(r.filesCopied, 1);
        EXPECT_EQ(r.copiesRemoved, 1);
        EXPECT_TRUE(r.asideRemoved);
        EXPECT_EQ(Content(shared + "\\Setup.exe"), payload.substr(0, 10 * kPiece));
        later.MovedAsideReadBack();
    }
    DownloadFolder third;
    ASSERT_EQ(third.Take(shared + "\\", DownloadFolder::ForDownload), DownloadFolder::Trusted);
    EXPECT_TRUE(third.MovedAsideTo().empty());
    EXPECT_EQ(Sorted(FolderEntries(shared)), (std::vector<std::string>{"MirelLauncher.lock", "Setup.exe"}));
}
