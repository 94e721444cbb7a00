// The installer held from its check to its opening (InstallerCheck): what the hold stops and
// what it lets through, and the pieces judged through it, a part at a time.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "common/CodePage.h"
#include "test_torrent_support.h"
#include "torrent/InstallerCheck.h"

namespace {

constexpr int kPiece = 16 * 1024;

class InstallerCheckTest : public ::testing::Test {
protected:
    void SetUp() override {
        installer = dir / "Setup.exe";
        ASSERT_TRUE(WritePayload(installer, 5 * kPiece + 100));
        ASSERT_FALSE(MakeTorrentFile(dir.path(), "Setup.exe", dir / "Setup.torrent").empty());
        info = std::make_shared<const lt::torrent_info>(ToLibraryPath(dir / "Setup.torrent"));
        folder = AnsiToWide(dir.path());
    }
    HANDLE Open(DWORD access, DWORD share) {
        return ::CreateFileA(installer.c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr);
    }
    // Judges every piece, `budget` bytes a step; the bytes judged after each step.
    std::vector<std::int64_t> Judge(InstallerCheck& check, std::int64_t budget) {
        std::vector<std::int64_t> steps;
        bool done = false;
        while (!done && steps.size() < 100) {
            done = check.Step(budget);
            steps.push_back(check.Checked());
        }
        return steps;
    }

    TempDir dir;
    std::string installer;
    std::shared_ptr<const lt::torrent_info> info;
    std::wstring folder;
};

}  // namespace

TEST_F(InstallerCheckTest, WhileHeldNobodyWritesRenamesOrDeletesItAndReadersStillRead) {
    InstallerCheck check;
    ASSERT_EQ(check.Hold(info, folder), InstallerCheck::Take::Held);
    struct Act {
        const char* what;
        bool (*tried)(const std::string& path);
    };
    const Act acts[] = {
        {"open for writing, sharing all",
         [](const std::string& p) {
             UniqueKernelHandle h(::CreateFileA(p.c_str(), GENERIC_WRITE,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                OPEN_EXISTING, 0, nullptr));
             return static_cast<bool>(h);
         }},
        {"rename", [](const std::string& p) { return ::MoveFileA(p.c_str(), (p + ".old").c_str()) != FALSE; }},
        {"delete", [](const std::string& p) { return ::DeleteFileA(p.c_str()) != FALSE; }},
        {"replace", [](const std::string& p) { return WriteBytes(p, "another program"); }},
    };
    for (const Act& act : acts) {
        SCOPED_TRACE(act.what);
        EXPECT_FALSE(act.tried(installer)) << "done while held";
    }
    {
        // The installer's own start opens it for reading and execution, sharing reading.
        UniqueKernelHandle reader(::CreateFileA(installer.c_str(), GENERIC_READ | GENERIC_EXECUTE, FILE_SHARE_READ,
                                                nullptr, OPEN_EXISTING, 0, nullptr));
        EXPECT_TRUE(reader) << ::GetLastError();
    }
    EXPECT_EQ(Judge(check, 0).back(), 5 * kPiece + 100);
    EXPECT_TRUE(check.BadPieces().empty());
    check.Release();
    EXPECT_TRUE(acts[0].tried(installer)) << "still held once let go";
    EXPECT_TRUE(acts[1].tried(installer)) << "still held once let go";
}

TEST_F(InstallerCheckTest, PiecesAreJudgedAPartAtATimeAndChangedOnesNamed) {
    struct Case {
        const char* what;
        std::int64_t budget;
        std::vector<int> changed;  // pieces whose bytes differ from the torrent's
        std::vector<std::int64_t> steps;
    };
    const Case cases[] = {
        {"one piece a step", kPiece, {}, {kPiece, 2 * kPiece, 3 * kPiece, 4 * kPiece, 5 * kPiece, 5 * kPiece + 100}},
        {"two pieces a step", 2 * kPiece, {}, {2 * kPiece, 4 * kPiece, 5 * kPiece + 100}},
        {"all at once", 1 << 30, {}, {5 * kPiece + 100}},
        {"the first and the short last changed", 1 << 30, {0, 5}, {5 * kPiece + 100}},
        {"a middle one changed", 3 * kPiece, {2}, {3 * kPiece, 5 * kPiece + 100}},
    };
    std::string published;
    ASSERT_TRUE(ReadBytes(installer, published));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string bytes = published;
        for (int piece : c.changed) bytes[static_cast<size_t>(piece) * kPiece + 7] ^= 1;
        ASSERT_TRUE(WriteBytes(installer, bytes));
        InstallerCheck check;
        ASSERT_EQ(check.Hold(info, folder), InstallerCheck::Take::Held);
        EXPECT_EQ(check.Total(), 5 * kPiece + 100);
        EXPECT_EQ(Judge(check, c.budget), c.steps);
        EXPECT_EQ(check.BadPieces(), c.changed);
    }
    // Cut short: the missing bytes fail their pieces.
    ASSERT_TRUE(WriteBytes(installer, published.substr(0, 3 * kPiece + 10)));
    InstallerCheck check;
    ASSERT_EQ(check.Hold(info, folder), InstallerCheck::Take::Held);
    Judge(check, 1 << 30);
    EXPECT_EQ(check.BadPieces(), (std::vector<int>{3, 4, 5}));
}

TEST_F(InstallerCheckTest, WhatCannotBeHeldUnchangedIsBusyAndAnotherFileFails) {
    struct Case {
        const char* what;
        DWORD access, share;
        InstallerCheck::Take take;
    };
    const Case cases[] = {
        {"open without sharing", GENERIC_READ, 0, InstallerCheck::Take::Busy},
        {"open for writing", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
         InstallerCheck::Take::Busy},
        {"open for deletion", DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
         InstallerCheck::Take::Busy},
        {"read by a scanner that shares all", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
         InstallerCheck::Take::Held},
        {"its attributes read (no part in sharing)", FILE_READ_ATTRIBUTES, 0, InstallerCheck::Take::Held},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        UniqueKernelHandle other(Open(c.access, c.share));
        ASSERT_TRUE(other);
        InstallerCheck check;
        EXPECT_EQ(check.Hold(info, folder), c.take);
        EXPECT_EQ(check.Held(), c.take == InstallerCheck::Take::Held);
    }
    // The file judged ours before is another one by now (a swap between the two opens).
    ASSERT_TRUE(WriteBytes(dir / "other.exe", "x"));
    UniqueKernelHandle judged(::CreateFileA((dir / "other.exe").c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                            OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(judged);
    InstallerCheck check;
    EXPECT_EQ(check.Hold(info, folder, judged.get()), InstallerCheck::Take::Failed);
    EXPECT_FALSE(check.Held());
    UniqueKernelHandle same(Open(FILE_READ_ATTRIBUTES, FILE_SHARE_READ));
    EXPECT_EQ(check.Hold(info, folder, same.get()), InstallerCheck::Take::Held);
    // Not there at all.
    check.Release();
    judged.reset();
    same.reset();
    ASSERT_TRUE(::DeleteFileA(installer.c_str()));
    EXPECT_EQ(check.Hold(info, folder), InstallerCheck::Take::Failed);
}
