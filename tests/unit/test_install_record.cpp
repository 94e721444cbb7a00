// The installation record, the download folder and file versions, on the real registry and
// file system under Wine.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <cstring>
#include <functional>
#include <vector>
#include <memory>
#include <string>

#include "launcher/DownloadFolder.h"
#include "launcher/InstallRecord.h"
#include "launcher/LaunchConfig.h"
#include "test_support.h"
#include "ui/MirelLauncherDlg.h"
#include "dlg_probe.h"

#include <aclapi.h>
#include <sddl.h>

#include "common/CodePage.h"

namespace {

const char kTestRoot[] = "Software\\MirelUnitTest";

class RecordTest : public ::testing::Test {
protected:
    void SetUp() override {
        key = std::string(kTestRoot) + "\\" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, key.c_str());
        ASSERT_EQ(::RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey,
                                    nullptr),
                  ERROR_SUCCESS);
    }
    void TearDown() override {
        ::RegCloseKey(hKey);
        ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, key.c_str());
    }
    void Set(const char* name, DWORD type, const void* data, DWORD size) {
        ASSERT_EQ(::RegSetValueExA(hKey, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
    }
    void SetString(const char* name, const std::string& value, DWORD type = REG_SZ) {
        Set(name, type, value.c_str(), static_cast<DWORD>(value.size() + 1));
    }

    std::string key;
    HKEY hKey = nullptr;
    CMirelLauncherDlg dlg;
};

// Fills a buffer with a marker so that "left untouched" can be seen.
struct Marked {
    char buf[MAX_PATH];
    Marked() { std::strcpy(buf, "untouched"); }
};

}  // namespace

TEST_F(RecordTest, VersionValueAcceptanceRules) {
    struct Case {
        const char* what;
        DWORD type;
        std::string data;  // raw bytes stored
        bool present;
        const char* expected;
    };
    const std::string max259(259, 'v');
    const Case cases[] = {
        {"REG_SZ", REG_SZ, std::string("1.2.3\0", 6), true, "1.2.3"},
        {"REG_EXPAND_SZ is not expanded", REG_EXPAND_SZ, std::string("%WINDIR%\\1\0", 12), true, "%WINDIR%\\1"},
        {"REG_MULTI_SZ gives its first string", REG_MULTI_SZ, std::string("2.0\0second\0\0", 12), true, "2.0"},
        {"REG_DWORD counts as missing", REG_DWORD, std::string("\x01\x00\x00\x00", 4), false, nullptr},
        {"REG_BINARY counts as missing", REG_BINARY, std::string("1.2.3\0", 6), false, nullptr},
        {"empty string", REG_SZ, std::string("\0", 1), true, ""},
        {"260 bytes with terminator fit", REG_SZ, max259 + std::string("\0", 1), true, nullptr},
        {"261 bytes do not fit", REG_SZ, max259 + "w" + std::string("\0", 1), false, nullptr},
    };
    for (const auto& c : cases) {
        Set("Version", c.type, c.data.data(), static_cast<DWORD>(c.data.size()));
        Marked out;
        BOOL ok = ReadGameVersion(key.c_str(), out.buf);
        EXPECT_EQ(ok != FALSE, c.present) << c.what;
        if (!c.present) {
            EXPECT_STREQ(out.buf, "untouched") << c.what;
        } else if (c.expected) {
            EXPECT_STREQ(out.buf, c.expected) << c.what;
        } else {
            // Longer than the 64-byte version buffer: cut to 63 characters.
            EXPECT_EQ(std::string(out.buf), std::string(63, 'v')) << c.what;
        }
    }
}

TEST_F(RecordTest, MissingKeyOrValueLeavesBuffersUntouched) {
    Marked path, version;
    EXPECT_FALSE(EnsureGameFolder((key + "\\Nope").c_str(), path.buf));
    EXPECT_FALSE(ReadGameVersion((key + "\\Nope").c_str(), version.buf));
    EXPECT_FALSE(EnsureGameFolder(key.c_str(), path.buf));
    EXPECT_FALSE(ReadGameVersion(key.c_str(), version.buf));
    EXPECT_STREQ(path.buf, "untouched");
    EXPECT_STREQ(version.buf, "untouched");
    // The empty key path is the root of HKEY_LOCAL_MACHINE itself, which holds no record.
    EXPECT_FALSE(EnsureGameFolder("", path.buf));
    EXPECT_STREQ(path.buf, "untouched");
}

TEST_F(RecordTest, InstallPathFolderMustAlreadyExist) {
    TempDir tmp;
    std::string folder = tmp / "게임 폴더";
    SetString("InstallPath", folder);
    Marked path;
    // First call: the folder did not exist; it is created, and the path is filled anyway.
    EXPECT_FALSE(EnsureGameFolder(key.c_str(), path.buf));
    EXPECT_EQ(std::string(path.buf), folder);
    EXPECT_TRUE(IsDirectory(folder));
    // Second call: it exists now.
    Marked again;
    EXPECT_TRUE(EnsureGameFolder(key.c_str(), again.buf));
    EXPECT_EQ(std::string(again.buf), folder);
}

TEST_F(RecordTest, RecordTheUserMayReadButNotWriteCountsAsInstalled) {
    TempDir tmp;
    SetString("InstallPath", tmp.path());
    SetString("Version", "1.2.3");
    // Everyone may read the key, no one may change it; the open handle may still set it back.
    auto dacl = [&](const char* sddl) {
        PSECURITY_DESCRIPTOR sd = nullptr;
        ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &sd, nullptr));
        EXPECT_EQ(::RegSetKeySecurity(hKey, DACL_SECURITY_INFORMATION, sd), ERROR_SUCCESS);
        ::LocalFree(sd);
    };
    dacl("D:P(A;;KR;;;WD)");
    HKEY writable = nullptr;
    EXPECT_EQ(::RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ | KEY_WRITE, &writable), ERROR_ACCESS_DENIED)
        << "the record can still be opened for writing";
    Marked path, version;
    EXPECT_TRUE(EnsureGameFolder(key.c_str(), path.buf));
    EXPECT_TRUE(ReadGameVersion(key.c_str(), version.buf));
    EXPECT_STREQ(version.buf, "1.2.3");
    dacl("D:P(A;;KA;;;WD)");
}

TEST_F(RecordTest, InstallPathOfWrongTypeCountsAsMissing) {
    DWORD number = 5;
    Set("InstallPath", REG_DWORD, &number, sizeof(number));
    Marked path;
    EXPECT_FALSE(EnsureGameFolder(key.c_str(), path.buf));
    EXPECT_STREQ(path.buf, "untouched");
}

namespace {

class DownloadDirTest : public ::testing::Test {
protected:
    void Point(const std::string& root) {
        // Mirrors the launcher's own layout: "<root>\Down\Mirel Online\" after a root with a
        // trailing separator, so the separator after the root is doubled.
        DlgProbe::m_config(dlg).downloadDir = root + "\\\\Down\\Mirel Online\\";
    }
    TempDir tmp;
    CMirelLauncherDlg dlg;
};

}  // namespace

TEST_F(DownloadDirTest, CreatesTheOneMissingLevel) {
    Point(tmp.path());
    Marked out;
    ASSERT_TRUE(dlg.EnsureDownloadDir(out.buf));
    EXPECT_STREQ(out.buf, DlgProbe::m_config(dlg).downloadDir.c_str());
    EXPECT_TRUE(IsDirectory(tmp / "Down\\Mirel Online"));
    // Existing already: succeeds at once.
    Marked again;
    EXPECT_TRUE(dlg.EnsureDownloadDir(again.buf));
    EXPECT_STREQ(again.buf, DlgProbe::m_config(dlg).downloadDir.c_str());
}

TEST_F(DownloadDirTest, FailsWhenMoreThanOneLevelIsMissing) {
    Point(tmp / "missing-root");
    Marked out;
    EXPECT_FALSE(dlg.EnsureDownloadDir(out.buf));
    EXPECT_STREQ(out.buf, "untouched");
    EXPECT_FALSE(IsDirectory(tmp / "missing-root"));
}

TEST_F(DownloadDirTest, FailsWhenSubfolderCannotBeMadeBesideExistingDown) {
    Point(tmp.path());
    // A name the file system refuses: "Down" exists, the subfolder cannot be created.
    DlgProbe::m_config(dlg).downloadDir = tmp.path() + "\\\\Down\\Mirel<Online>\\";
    ASSERT_TRUE(::CreateDirectoryA((tmp / "Down").c_str(), nullptr));
    Marked out;
    EXPECT_FALSE(dlg.EnsureDownloadDir(out.buf));
    EXPECT_STREQ(out.buf, "untouched");
}

TEST_F(DownloadDirTest, ASecondLauncherFindsTheFolderBusyAndTouchesNothing) {
    Point(tmp.path());
    auto first = std::make_unique<CMirelLauncherDlg>(DlgProbe::m_config(dlg));
    Marked out;
    ASSERT_TRUE(first->EnsureDownloadDir(out.buf));
    EXPECT_EQ(DlgProbe::m_downloadFolder(*first).state(), DownloadFolder::Trusted);

    Marked second;
    EXPECT_FALSE(dlg.EnsureDownloadDir(second.buf));
    EXPECT_EQ(DlgProbe::m_downloadFolder(dlg).state(), DownloadFolder::Busy);
    EXPECT_STREQ(second.buf, "untouched");
    // A later run of the first launcher keeps the folder it holds.
    Marked again;
    EXPECT_TRUE(first->EnsureDownloadDir(again.buf));

    first.reset();  // the first launcher ends: the folder is free
    Marked third;
    EXPECT_TRUE(dlg.EnsureDownloadDir(third.buf));
    EXPECT_STREQ(third.buf, DlgProbe::m_config(dlg).downloadDir.c_str());
}

namespace {

// A folder (or file) made with an access list given in SDDL; the user's SID stands for "ME".
bool MakeWithSddl(const std::string& path, std::wstring sddl, bool folder, const std::string& content = "") {
    const std::wstring ours = DownloadFolderSddl();
    const std::wstring me = ours.substr(16, ours.find(L')') - 16);
    for (size_t at; (at = sddl.find(L"ME")) != std::wstring::npos;) sddl.replace(at, 2, me);
    FolderSecurity security(sddl);
    if (!security.get()) return false;
    if (folder) return ::CreateDirectoryA(path.c_str(), security.get()) != FALSE;
    UniqueKernelHandle file(::CreateFileA(path.c_str(), GENERIC_WRITE, 0, security.get(), CREATE_NEW, 0, nullptr));
    DWORD written = 0;
    return file && ::WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
}

bool MakeOpenFolder(const std::string& path) {
    return ::CreateDirectoryA(path.c_str(), nullptr) && OpenToEveryone(path);
}

const wchar_t kOurs[] = L"D:P(A;OICI;FA;;;ME)(A;OICI;FA;;;SY)";

std::string Content(const std::string& path) {
    std::string data;
    return ReadBytes(path, data) ? data : std::string("<missing>");
}

// A fresh folder made in place of one moved aside: the lock, and the record of where the old one
// went (until it is read back).
std::vector<std::string> MovedAsideEntries() { return {"MirelLauncher.aside", "MirelLauncher.lock"}; }

// The record's bytes for a moved-aside folder: its path in UTF-16.
std::string Record(const std::wstring& aside) {
    return std::string(reinterpret_cast<const char*>(aside.data()), aside.size() * sizeof(wchar_t));
}

}  // namespace

// What Take does with a folder that was there: for a download, a folder of ours stays, an empty
// open one is tightened, and any other is moved aside whole, with everything in it kept; for an
// installed game nothing is made, changed or moved.
TEST_F(DownloadDirTest, AFolderThatCannotBeVouchedForIsMovedAsideWholeAndNothingIsLost) {
    using DF = DownloadFolder;
    struct Case {
        const char* what;
        DF::Use use;
        std::function<bool(const std::string& folder)> make;
        DF::State state;
        bool movedAside;
    };
    const std::string outside = tmp / "outside.bin";
    static UniqueKernelHandle holder;  // another program's handle, without sharing
    DF::s_busyWaitMs = 300;
    const Case cases[] = {
        {"ours, with a file", DF::ForDownload,
         [](const std::string& f) { return MakeWithSddl(f, kOurs, true) && WriteBytes(f + "\\Setup.exe", "setup"); },
         DF::Trusted, false},
        {"open to everyone, empty", DF::ForDownload, [](const std::string& f) { return MakeOpenFolder(f); },
         DF::Trusted, false},
        {"open to everyone, with a file", DF::ForDownload,
         [](const std::string& f) { return MakeOpenFolder(f) && WriteBytes(f + "\\Setup.exe", "setup"); },
         DF::Trusted, true},
        {"ours, with a file that has a second name outside", DF::ForDownload,
         [&](const std::string& f) {
             return MakeWithSddl(f, kOurs, true) && WriteBytes(outside, "outside") &&
                    ::CreateHardLinkA((f + "\\Setup.exe").c_str(), outside.c_str(), nullptr);
         },
         DF::Trusted, true},
        {"ours, with a file others may change", DF::ForDownload,
         [](const std::string& f) {
             return MakeWithSddl(f, kOurs, true) && WriteBytes(f + "\\Setup.exe", "setup") && OpenToEveryone(f + "\\Setup.exe");
         },
         DF::Trusted, true},
        {"ours, a folder where the lock goes", DF::ForDownload,
         [](const std::string& f) {
             return MakeWithSddl(f, kOurs, true) && ::CreateDirectoryA((f + "\\MirelLauncher.lock").c_str(), nullptr);
         },
         DF::Trusted, true},
        {"ours, deeper than the launcher looks", DF::ForDownload,
         [](const std::string& f) {
             if (!MakeWithSddl(f, kOurs, true)) return false;
             std::string deep = f;
             for (int level = 0; level < 34; ++level)
                 if (!::CreateDirectoryA((deep += "\\d").c_str(), nullptr)) return false;
             return true;
         },
         DF::Trusted, true},
        // Its owner and access list are read all the same: nothing to wait for.
        {"ours, a file another program holds open", DF::ForDownload,
         [](const std::string& f) {
             if (!MakeWithSddl(f, kOurs, true) || !WriteBytes(f + "\\Setup.exe", "setup")) return false;
             holder.reset(::CreateFileA((f + "\\Setup.exe").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
             return static_cast<bool>(holder);
         },
         DF::Trusted, false},
        {"ours, held open itself by another program", DF::ForDownload,
         [](const std::string& f) {
             if (!MakeWithSddl(f, kOurs, true) || !WriteBytes(f + "\\Setup.exe", "setup")) return false;
             holder.reset(::CreateFileA(f.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                        nullptr));
             return static_cast<bool>(holder);
         },
         DF::InUse, false},
        {"another user's, with a file", DF::ForDownload,
         [](const std::string& f) {
             g_describeForTests = [](const std::wstring& path, std::wstring& sddl) {
                 if (path.size() < 13 || path.compare(path.size() - 13, 13, L"\\Mirel Online") != 0) return false;
                 sddl = L"O:S-1-5-21-1-2-3-1002D:P(A;OICI;FA;;;S-1-5-21-1-2-3-1002)(A;OICI;FA;;;SY)";
                 return true;
             };
             return MakeOpenFolder(f) && WriteBytes(f + "\\Setup.exe", "setup");
         },
         DF::NotOurs, false},
        {"made by an elevated run: Administrators own the folder and the lock", DF::ForDownload,
         [](const std::string& f) {
             g_describeForTests = [](const std::wstring& path, std::wstring& sddl) {
                 if (path.find(L"Mirel Online") == std::wstring::npos) return false;
                 const bool lock = path.find(L"MirelLauncher.lock") != std::wstring::npos;
                 sddl = lock ? L"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)"
                             : L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
                 return true;
             };
             return MakeWithSddl(f, kOurs, true) && WriteBytes(f + "\\Setup.exe", "setup") &&
                    WriteBytes(f + "\\MirelLauncher.lock", "");
         },
         DF::Trusted, false},
        {"open to everyone, with a file, on a volume without access lists", DF::ForDownload,
         [](const std::string& f) {
             DF::s_volumeKeepsAccessLists = [](HANDLE) { return false; };
             return MakeOpenFolder(f) && WriteBytes(f + "\\Setup.exe", "setup");
         },
         DF::Untrusted, false},
        {"a file where the folder goes", DF::ForDownload,
         [](const std::string& f) { return WriteBytes(f, "a file"); }, DF::Refused, false},
        {"installed game, open with a file", DF::AsItStands,
         [](const std::string& f) { return MakeOpenFolder(f) && WriteBytes(f + "\\Setup.exe", "setup"); },
         DF::Untrusted, false},
        {"installed game, ours", DF::AsItStands,
         [](const std::string& f) { return MakeWithSddl(f, kOurs, true) && WriteBytes(f + "\\Setup.exe", "setup"); },
         DF::Trusted, false},
        {"installed game, missing", DF::AsItStands, [](const std::string&) { return true; }, DF::Absent, false},
    };
    Point(tmp.path());
    const std::string folder = tmp / "Down\\Mirel Online";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir::Remove(tmp / "Down");
        ::DeleteFileA(outside.c_str());
        ASSERT_TRUE(::CreateDirectoryA((tmp / "Down").c_str(), nullptr));
        ASSERT_TRUE(c.make(folder));
        const std::vector<std::string> before = FolderEntries(folder);
        // (What another program holds without sharing cannot be read here meanwhile.)
        const std::string setup = holder ? std::string("setup") : Content(folder + "\\Setup.exe");

        DownloadFolder df;
        EXPECT_EQ(df.Take(DlgProbe::m_config(dlg).downloadDir, c.use), c.state);
        holder.reset();
        g_describeForTests = [](const std::wstring&, std::wstring&) { return false; };
        DF::s_volumeKeepsAccessLists = nullptr;
        EXPECT_EQ(!df.MovedAsideTo().empty(), c.movedAside);
        if (c.state == DF::Refused) {
            EXPECT_EQ(Content(folder), "a file");
            ::DeleteFileA(folder.c_str());
            continue;
        }
        if (c.movedAside) {
            // The old folder whole, under a name that says what it is; a fresh one in its place.
            const std::string moved = WideToAnsi(df.MovedAsideTo());
            EXPECT_EQ(moved, tmp / "Down\\Mirel Online (moved aside)");
            EXPECT_EQ(FolderEntries(moved), before);
            EXPECT_EQ(Content(moved + "\\Setup.exe"), setup);
            EXPECT_EQ(FolderEntries(folder), MovedAsideEntries());
            EXPECT_EQ(Content(folder + "\\MirelLauncher.aside"), Record(df.MovedAsideTo()));
        } else if (c.state != DF::Absent) {
            EXPECT_EQ(Content(folder + "\\Setup.exe"), setup);
        } else {
            EXPECT_FALSE(IsDirectory(folder));  // nothing made for an installed game
        }
        if (::GetFileAttributesA(outside.c_str()) != INVALID_FILE_ATTRIBUTES) { EXPECT_EQ(Content(outside), "outside"); }
        // Used as it stands, nothing is made, not even the lock: the folder is not held alone.
        EXPECT_EQ(df.StillTrusted(), c.state == DF::Trusted && c.use == DF::ForDownload);
        if (c.use == DF::AsItStands && c.state != DF::Absent) {
            // Its access list as it was: an installed game's folder is not tightened either.
            UniqueKernelHandle h(OpenFolderHeld(folder));
            EXPECT_EQ(ReadFolderTrust(h.get()).othersWrite, c.state == DF::Untrusted);
        }
    }
    DF::s_busyWaitMs = 3000;
    for (const std::string& name : FolderEntries(tmp / "Down")) TempDir::Remove(tmp / ("Down\\" + name));
}

// Busy is waited out: a program that lets go within the wait changes nothing, and the folder is
// used as it is.
TEST_F(DownloadDirTest, AFileHeldOpenForAMomentIsWaitedOut) {
    Point(tmp.path());
    const std::string folder = tmp / "Down\\Mirel Online";
    ASSERT_TRUE(::CreateDirectoryA((tmp / "Down").c_str(), nullptr));
    ASSERT_TRUE(MakeWithSddl(folder, kOurs, true) && WriteBytes(folder + "\\Setup.exe", "setup"));
    HANDLE held = ::CreateFileA((folder + "\\Setup.exe").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    std::thread release([held] {
        ::Sleep(400);
        ::CloseHandle(held);
    });
    DownloadFolder df;
    EXPECT_EQ(df.Take(DlgProbe::m_config(dlg).downloadDir, DownloadFolder::ForDownload), DownloadFolder::Trusted);
    release.join();
    EXPECT_TRUE(df.MovedAsideTo().empty());
    EXPECT_EQ(Content(folder + "\\Setup.exe"), "setup");
}

// One moved-aside folder: a later move goes inside an earlier one only when that one is ours
// alone, under its time; an empty one of ours alone gives way. Any other, whoever it is (the
// first move's folder, which others could write; another user's), is left as it is, and the
// folder goes beside it under its time. Every file of every move is kept.
TEST_F(DownloadDirTest, MovesGoIntoTheMovedAsideFolderOnlyWhenItIsOursAlone) {
    Point(tmp.path());
    const std::string down = tmp / "Down";
    const std::string folder = down + "\\Mirel Online";
    const std::string aside = down + "\\Mirel Online (moved aside)";
    ASSERT_TRUE(::CreateDirectoryA(down.c_str(), nullptr));
    auto moveWith = [&](const char* name) {
        TempDir::Remove(folder);
        EXPECT_TRUE(MakeOpenFolder(folder));
        EXPECT_TRUE(WriteBytes(folder + "\\" + name, name));
        DownloadFolder df;
        EXPECT_EQ(df.Take(DlgProbe::m_config(dlg).downloadDir, DownloadFolder::ForDownload), DownloadFolder::Trusted);
        return WideToAnsi(df.MovedAsideTo());
    };
    auto dated = [&](const std::string& moved) { return moved.rfind(aside.substr(0, aside.size() - 1) + " ", 0) == 0; };
    // The first move takes the name; the folder it made, which others could write, is no place
    // for the next one.
    EXPECT_EQ(moveWith("first.txt"), aside);
    const std::string second = moveWith("second.txt");
    EXPECT_TRUE(dated(second)) << second;
    EXPECT_EQ(FolderEntries(aside), std::vector<std::string>{"first.txt"});
    EXPECT_EQ(Content(second + "\\second.txt"), "second.txt");
    // Ours alone: the next move goes inside, under its time.
    TempDir::Remove(aside);
    TempDir::Remove(second);
    ASSERT_TRUE(MakeWithSddl(aside, kOurs, true) && WriteBytes(aside + "\\kept.txt", "kept"));
    const std::string inside = moveWith("third.txt");
    EXPECT_EQ(inside.rfind(aside + "\\Mirel Online ", 0), 0u) << inside;
    EXPECT_EQ(Content(inside + "\\third.txt"), "third.txt");
    EXPECT_EQ(Content(aside + "\\kept.txt"), "kept");
    // Emptied by the player: the next move takes its name.
    TempDir::Remove(aside);
    ASSERT_TRUE(MakeWithSddl(aside, kOurs, true));
    EXPECT_EQ(moveWith("fourth.txt"), aside);
    EXPECT_EQ(FolderEntries(aside), std::vector<std::string>{"fourth.txt"});
    // Another user's, empty or not, nobody else may write: left as it is, and the folder beside.
    for (bool empty : {true, false}) {
        SCOPED_TRACE(empty ? "another user's, empty" : "another user's, with a file");
        TempDir::Remove(aside);
        for (const std::string& name : FolderEntries(down))
            if (name != "Mirel Online") TempDir::Remove(down + "\\" + name);
        ASSERT_TRUE(MakeWithSddl(aside, kOurs, true));
        if (!empty) {
            ASSERT_TRUE(WriteBytes(aside + "\\theirs.txt", "theirs"));
        }
        g_describeForTests = [](const std::wstring& path, std::wstring& sddl) {
            if (path.size() < 14 || path.compare(path.size() - 14, 14, L" (moved aside)") != 0) return false;
            sddl = L"O:S-1-5-21-1-2-3-1002D:P(A;OICI;FA;;;S-1-5-21-1-2-3-1002)(A;OICI;FA;;;SY)";
            return true;
        };
        const std::string moved = moveWith("fifth.txt");
        g_describeForTests = [](const std::wstring&, std::wstring&) { return false; };
        EXPECT_TRUE(dated(moved)) << moved;
        EXPECT_EQ(Content(moved + "\\fifth.txt"), "fifth.txt");
        EXPECT_EQ(FolderEntries(aside), empty ? std::vector<std::string>{} : std::vector<std::string>{"theirs.txt"});
    }
}

// What slips into an empty open folder between the look and the tightening was made while
// others could write: the folder is looked at again, and such an entry sends it aside.
TEST_F(DownloadDirTest, WhatSlipsInBeforeTheTighteningIsLookedAtAgain) {
    Point(tmp.path());
    const std::string folder = tmp / "Down\\Mirel Online";
    ASSERT_TRUE(::CreateDirectoryA((tmp / "Down").c_str(), nullptr));
    ASSERT_TRUE(MakeOpenFolder(folder));
    DownloadFolder::s_beforeTightening = [](const std::wstring& f) {
        const std::string planted = WideToAnsi(f) + "\\planted.exe";
        EXPECT_TRUE(WriteBytes(planted, "planted") && OpenToEveryone(planted));
    };
    DownloadFolder df;
    const auto state = df.Take(DlgProbe::m_config(dlg).downloadDir, DownloadFolder::ForDownload);
    DownloadFolder::s_beforeTightening = [](const std::wstring&) {};
    EXPECT_EQ(state, DownloadFolder::Trusted);
    EXPECT_EQ(FolderEntries(folder), MovedAsideEntries());
    ASSERT_FALSE(df.MovedAsideTo().empty());
    EXPECT_EQ(Content(WideToAnsi(df.MovedAsideTo()) + "\\planted.exe"), "planted");
}

// The shared folder is another user's: this user downloads into a folder of their own, and the
// other user's folder is left exactly as it is.
TEST_F(DownloadDirTest, AnotherUsersFolderSendsTheDownloadToTheUsersOwn) {
    Point(tmp.path());
    const std::string shared = tmp / "Down\\Mirel Online";
    DlgProbe::m_config(dlg).ownDownloadDir = tmp / "Local\\Mirel Online\\";
    ASSERT_TRUE(::CreateDirectoryA((tmp / "Down").c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryA((tmp / "Local").c_str(), nullptr));
    ASSERT_TRUE(MakeOpenFolder(shared) && WriteBytes(shared + "\\Setup.exe", "theirs"));
    g_describeForTests = [](const std::wstring& path, std::wstring& sddl) {
        if (path.find(L"\\Down\\Mirel Online") == std::wstring::npos) return false;
        sddl = L"O:S-1-5-21-1-2-3-1002D:P(A;OICI;FA;;;S-1-5-21-1-2-3-1002)(A;OICI;0x1200a9;;;BU)";
        return true;
    };
    Marked out;
    const BOOL taken = dlg.EnsureDownloadDir(out.buf);
    g_describeForTests = [](const std::wstring&, std::wstring&) { return false; };
    ASSERT_TRUE(taken);
    EXPECT_STREQ(out.buf, (tmp / "Local\\Mirel Online\\").c_str());
    EXPECT_EQ(DlgProbe::m_config(dlg).downloadDir, tmp / "Local\\Mirel Online\\");
    EXPECT_EQ(FolderEntries(shared), std::vector<std::string>{"Setup.exe"});
    EXPECT_EQ(FolderEntries(tmp / "Down"), std::vector<std::string>{"Mirel Online"});
}

namespace {

std::string g_raceOutside;

}  // namespace

// Between judging the folder and acting on it, a subfolder is swapped for a link to a folder
// outside: nothing outside changes, and what the folder held is kept aside.
TEST_F(DownloadDirTest, ALinkSwappedInWhileTheFolderIsJudgedChangesNothingOutside) {
    Point(tmp.path());
    const std::string folder = tmp / "Down\\Mirel Online";
    g_raceOutside = tmp / "outside";
    ASSERT_TRUE(::CreateDirectoryA((tmp / "Down").c_str(), nullptr));
    ASSERT_TRUE(MakeOpenFolder(folder));
    ASSERT_TRUE(::CreateDirectoryA((folder + "\\sub").c_str(), nullptr));
    ASSERT_TRUE(WriteBytes(folder + "\\sub\\a.txt", "a"));
    ASSERT_TRUE(::CreateDirectoryA(g_raceOutside.c_str(), nullptr));
    ASSERT_TRUE(WriteBytes(g_raceOutside + "\\keep.txt", "keep"));
    DownloadFolder::s_beforeActing = [](const std::wstring& judged) {
        const std::string sub = WideToAnsi(judged) + "\\sub";
        ASSERT_TRUE(::MoveFileA(sub.c_str(), (g_raceOutside + "-sub").c_str()));
        ASSERT_TRUE(MakeHostLink(g_raceOutside, sub));
    };
    DownloadFolder df;
    const auto state = df.Take(DlgProbe::m_config(dlg).downloadDir, DownloadFolder::ForDownload);
    DownloadFolder::s_beforeActing = [](const std::wstring&) {};
    EXPECT_EQ(state, DownloadFolder::Trusted);
    EXPECT_EQ(FolderEntries(g_raceOutside), std::vector<std::string>{"keep.txt"});
    EXPECT_EQ(Content(g_raceOutside + "\\keep.txt"), "keep");
    ASSERT_FALSE(df.MovedAsideTo().empty());
    EXPECT_EQ(FolderEntries(folder), MovedAsideEntries());
    // The link goes before the folder it leads to is cleaned up with the test's.
    const std::string link = WideToAnsi(df.MovedAsideTo()) + "\\sub";
    ::RemoveDirectoryA(link.c_str());
    ::DeleteFileA(link.c_str());
}

namespace {

std::atomic<bool> g_folderHeld{false};
UniqueKernelHandle g_keptInPlace;  // what keeps a folder from being moved, as an open file in it would on Windows

}  // namespace

// The folder and the one above it are held so that nobody can rename them: not while Take waits
// out what another program holds in the folder, nor once the lock is taken. (A hold that asks
// for nothing but attributes and access lists would stop nobody: such a handle takes no part in
// anyone's sharing check, on Windows and in Wine alike.)
TEST_F(DownloadDirTest, NoRenameOfTheFolderOrTheOneAboveGoesThroughWhileTakeWaitsOrAfterTheLock) {
    Point(tmp.path());
    const std::string down = tmp / "Down";
    const std::string folder = down + "\\Mirel Online";
    ASSERT_TRUE(::CreateDirectoryA(down.c_str(), nullptr));
    ASSERT_TRUE(MakeWithSddl(folder, kOurs, true) && ::CreateDirectoryA((folder + "\\sub").c_str(), nullptr));
    ASSERT_TRUE(WriteBytes(folder + "\\Setup.exe", "setup"));
    // Another program holds a subfolder open without sharing: Take waits it out, holding the
    // folder. It lets go after its renames.
    UniqueKernelHandle sub(::CreateFileA((folder + "\\sub").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ASSERT_TRUE(sub);
    // Told when Take reads the held folder's access list: from then on it holds both levels.
    g_folderHeld = false;
    g_describeForTests = [](const std::wstring& path, std::wstring&) {
        if (path.size() >= 13 && path.compare(path.size() - 13, 13, L"\\Mirel Online") == 0) g_folderHeld = true;
        return false;
    };
    struct Try {
        std::string from, to;
    };
    const Try tries[] = {{folder, down + "\\Swapped"}, {down, tmp / "Down2"}};
    std::vector<DWORD> duringWait;
    std::thread other([&] {
        WaitUntil([] { return g_folderHeld.load(); }, 10000);
        for (int round = 0; round < 5; ++round) {
            for (const Try& t : tries)
                duringWait.push_back(::MoveFileA(t.from.c_str(), t.to.c_str()) ? ERROR_SUCCESS : ::GetLastError());
            ::Sleep(50);
        }
        sub.reset();
    });
    DownloadFolder df;
    const auto state = df.Take(DlgProbe::m_config(dlg).downloadDir, DownloadFolder::ForDownload);
    other.join();
    g_describeForTests = [](const std::wstring&, std::wstring&) { return false; };
    EXPECT_TRUE(g_folderHeld.load());
    ASSERT_EQ(duringWait.size(), 10u);
    for (DWORD e : duringWait) EXPECT_EQ(e, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(state, DownloadFolder::Trusted);
    EXPECT_TRUE(df.StillTrusted());
    // After the lock: the same.
    for (const Try& t : tries) {
        EXPECT_FALSE(::MoveFileA(t.from.c_str(), t.to.c_str())) << t.from;
        EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION)) << t.from;
    }
    EXPECT_TRUE(df.StillTrusted());
    EXPECT_EQ(FolderEntries(down), std::vector<std::string>{"Mirel Online"});
    EXPECT_EQ(Content(folder + "\\Setup.exe"), "setup");
}

// A swap above the held folders (Windows refuses to rename a folder while something in it is
// open; Wine does not): the folder's path then names another folder, which is seen, and what
// is downloaded is not opened from there.
TEST_F(DownloadDirTest, AFolderSwappedAboveTheHeldOnesIsSeenAndNoLongerTrusted) {
    TempDir outer;
    const std::string root = outer / "root";
    ASSERT_TRUE(::CreateDirectoryA(root.c_str(), nullptr));
    DlgProbe::m_config(dlg).downloadDir = root + "\\Down\\Mirel Online\\";
    DownloadFolder df;
    ASSERT_EQ(df.Take(DlgProbe::m_config(dlg).downloadDir, DownloadFolder::ForDownload), DownloadFolder::Trusted);
    EXPECT_TRUE(df.StillInPlace());
    EXPECT_TRUE(df.StillTrusted());
    if (!::MoveFileA(root.c_str(), (outer / "away").c_str())) {
        EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));  // as on Windows: nothing to see
        return;
    }
    // Another folder of the same names where the held ones were.
    ASSERT_TRUE(::CreateDirectoryA(root.c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryA((root + "\\Down").c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryA((root + "\\Down\\Mirel Online").c_str(), nullptr));
    EXPECT_FALSE(df.StillInPlace());
    EXPECT_FALSE(df.StillTrusted());
    df.Release();
}

// Nobody else can keep a download from going on: a shared folder still held open by another
// program after the wait, and a lock in it that cannot be moved aside because another program
// holds it, send the download to the user's own folder, as another user's folder does. Only a
// lock that nobody but us may open, held, is another launcher of ours.
TEST_F(DownloadDirTest, AFolderOrLockHeldByAnotherProgramSendsTheDownloadToTheUsersOwn) {
    const std::string shared = tmp / "Down\\Mirel Online";
    const std::string own = tmp / "Local\\Mirel Online\\";
    static UniqueKernelHandle holder;
    DownloadFolder::s_busyWaitMs = 300;
    struct Case {
        const char* what;
        std::function<bool()> make;
        bool ownFolder;
        std::function<void(const std::wstring&)> beforeActing;
    };
    const Case cases[] = {
        {"the folder held open without sharing",
         [&] {
             holder.reset(::CreateFileA(shared.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr));
             return static_cast<bool>(holder);
         },
         true, nullptr},
        {"a subfolder held open without sharing",
         [&] {
             if (!::CreateDirectoryA((shared + "\\sub").c_str(), nullptr)) return false;
             holder.reset(::CreateFileA((shared + "\\sub").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr));
             return static_cast<bool>(holder);
         },
         true, nullptr},
        // A lock others may open (an earlier version's), held by another program: not moved aside,
        // since Windows does not rename a folder while a file in it is open (Wine does: it is
        // shown here by holding the folder as that open file would keep it).
        {"a lock others may open, held, that keeps the folder in place",
         [&] {
             if (!MakeWithSddl(shared + "\\MirelLauncher.lock", L"D:P(A;;FA;;;ME)(A;;FR;;;WD)", false)) return false;
             holder.reset(::CreateFileA((shared + "\\MirelLauncher.lock").c_str(), GENERIC_READ, 0, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
             return static_cast<bool>(holder);
         },
         true,
         [](const std::wstring& folder) {
             g_keptInPlace.reset(::CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
         }},
        {"our own lock, held: another launcher of ours",
         [&] {
             HANDLE lock = nullptr;
             const LockResult taken = TakeFolderLock(shared, lock);
             holder.reset(lock);
             return taken == LockResult::Held;
         },
         false, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir::Remove(tmp / "Down");
        TempDir::Remove(tmp / "Local");
        ASSERT_TRUE(::CreateDirectoryA((tmp / "Down").c_str(), nullptr));
        ASSERT_TRUE(::CreateDirectoryA((tmp / "Local").c_str(), nullptr));
        ASSERT_TRUE(MakeWithSddl(shared, kOurs, true));
        ASSERT_TRUE(c.make());
        static std::function<void(const std::wstring&)> acting;
        acting = c.beforeActing;
        if (acting) DownloadFolder::s_beforeActing = [](const std::wstring& f) { acting(f); };
        CMirelLauncherDlg launcher;
        Point(tmp.path());
        DlgProbe::m_config(launcher) = DlgProbe::m_config(dlg);
        DlgProbe::m_config(launcher).ownDownloadDir = own;
        Marked out;
        ::testing::internal::CaptureStderr();
        const BOOL taken = launcher.EnsureDownloadDir(out.buf);
        const std::string err = ::testing::internal::GetCapturedStderr();
        DownloadFolder::s_beforeActing = [](const std::wstring&) {};
        holder.reset();
        g_keptInPlace.reset();
        if (c.ownFolder) {
            EXPECT_TRUE(taken) << err;
            EXPECT_STREQ(out.buf, own.c_str());
            EXPECT_EQ(FolderEntries(own), std::vector<std::string>{"MirelLauncher.lock"});
        } else {
            EXPECT_FALSE(taken);
            EXPECT_EQ(DlgProbe::m_downloadFolder(launcher).state(), DownloadFolder::Busy);
            EXPECT_FALSE(IsDirectory(own));
        }
        for (const std::string& name : FolderEntries(tmp / "Down")) EXPECT_EQ(name, "Mirel Online");
    }
    DownloadFolder::s_busyWaitMs = 3000;
}

// What is held before it is opened stays as it was judged: a file held by HoldIfStillOurs can be
// opened to be read or run, never written, renamed or removed; a folder so held cannot be
// renamed or removed either.
TEST_F(DownloadDirTest, WhatHoldIfStillOursHoldsNobodyCanWriteRenameOrRemove) {
    const std::string folder = tmp / "Held";
    ASSERT_TRUE(MakeWithSddl(folder, kOurs, true));
    ASSERT_TRUE(WriteBytes(folder + "\\Setup.exe", "setup"));
    {
        UniqueKernelHandle held;
        ASSERT_EQ(HoldIfStillOurs(AnsiToWide(folder + "\\Setup.exe"), held), OpenCheck::Ours);
        UniqueKernelHandle writer(::CreateFileA((folder + "\\Setup.exe").c_str(), GENERIC_WRITE,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                OPEN_EXISTING, 0, nullptr));
        EXPECT_FALSE(writer);
        EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
        EXPECT_FALSE(::MoveFileA((folder + "\\Setup.exe").c_str(), (folder + "\\Other.exe").c_str()));
        EXPECT_FALSE(::DeleteFileA((folder + "\\Setup.exe").c_str()));
        // As a program is opened to run: reading, sharing reading and deletion.
        UniqueKernelHandle runner(::CreateFileA((folder + "\\Setup.exe").c_str(), GENERIC_READ | GENERIC_EXECUTE,
                                                FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr));
        EXPECT_TRUE(runner);
    }
    {
        UniqueKernelHandle held;
        ASSERT_EQ(HoldIfStillOurs(AnsiToWide(folder), held), OpenCheck::Ours);
        EXPECT_FALSE(::MoveFileA(folder.c_str(), (tmp / "Elsewhere").c_str()));
        EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    }
    EXPECT_TRUE(::MoveFileA((folder + "\\Setup.exe").c_str(), (folder + "\\Other.exe").c_str())) << "let go";
    EXPECT_EQ(Content(folder + "\\Other.exe"), "setup");
}

// The user's own folder by a name the code page has: the path itself when it can spell it, else
// its short form, which names the same folder.
TEST(OwnFolder, ItsPathIsOneTheCodePageCanSpell) {
    TempDir tmp;
    const std::wstring plain = AnsiToWide(tmp / "Local");
    // A name in Thai, which code page 949 cannot spell.
    const std::wstring thai = AnsiToWide(tmp.path()) + L"\\\u0E1C\u0E39\u0E49\u0E43\u0E0A\u0E49";
    for (const std::wstring& folder : {plain, thai}) {
        ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
        const std::string ansi = AnsiFolderPath(folder);
        ASSERT_FALSE(ansi.empty());
        EXPECT_EQ(WideToAnsi(AnsiToWide(ansi)), ansi);
        UniqueKernelHandle a(OpenFolderHeld(folder)), b(OpenFolderHeld(ansi));
        EXPECT_TRUE(a && b && SameFile(a.get(), b.get())) << ansi;
        if (folder == plain) {
            EXPECT_EQ(ansi, tmp / "Local");
        }
    }
    EXPECT_NE(MachineLaunchConfig().ownDownloadDir, "");
}

// A folder that holds the game, is the game's folder or lies inside it is left as it stands: an
// installed game needs nothing from it, and a download may use it only when it is ours already.
TEST_F(DownloadDirTest, TheGamesOwnFolderIsNeverMovedOrTightened) {
    Point(tmp.path());
    const std::string down = tmp / "Down";
    const std::string folder = down + "\\Mirel Online";
    const struct {
        const char* what;
        std::string game;
    } cases[] = {
        {"the game inside the download folder", folder + "\\Game"},
        {"the game's folder itself", folder},
        {"the download folder inside the game's", down},
    };
    for (const auto& c : cases) {
        for (bool installed : {true, false}) {
            SCOPED_TRACE(std::string(c.what) + (installed ? ", installed" : ", download"));
            TempDir::Remove(down);
            ASSERT_TRUE(MakeOpenFolder(down));
            ASSERT_TRUE(MakeOpenFolder(folder));
            ::CreateDirectoryA(c.game.c_str(), nullptr);
            ASSERT_TRUE(WriteBytes(c.game + "\\save.dat", "save"));
            DownloadFolder df;
            df.KeepApartFrom(c.game);
            const auto state = df.Take(DlgProbe::m_config(dlg).downloadDir,
                                       installed ? DownloadFolder::AsItStands : DownloadFolder::ForDownload);
            EXPECT_EQ(state, DownloadFolder::GameFolder);
            EXPECT_TRUE(df.MovedAsideTo().empty());
            EXPECT_EQ(Content(c.game + "\\save.dat"), "save");
            for (const std::string& name : FolderEntries(down))
                EXPECT_EQ(name.find("(moved aside"), std::string::npos) << name;
            UniqueKernelHandle h(OpenFolderHeld(folder));
            EXPECT_TRUE(ReadFolderTrust(h.get()).othersWrite);
        }
    }
}

// The lock, judged through the handle that holds it: a plain file of ours with one name, that no
// one else may open. Anything else under its name is not taken for it.
TEST_F(DownloadDirTest, TheLockIsAPlainFileOfOursThatNoOneElseMayOpen) {
    const std::string lock = tmp / "MirelLauncher.lock";
    UniqueKernelHandle heldElsewhere;  // another process's hold
    const std::string outside = tmp / "outside.bin";
    struct Case {
        const char* what;
        std::function<bool()> make;
        LockResult result;
        bool madeHere = false;  // the lock held is one this run made: its access list is looked at
    };
    const Case cases[] = {
        {"missing", [] { return true; }, LockResult::Held, true},
        {"one that everyone may read", [&] { return MakeWithSddl(lock, L"D:P(A;;FA;;;ME)(A;;FR;;;BU)", false); },
         LockResult::Held, true},
        {"a folder", [&] { return ::CreateDirectoryA(lock.c_str(), nullptr) != FALSE; }, LockResult::NotOurs},
        {"a second name of another file",
         [&] { return WriteBytes(outside, "x") && ::CreateHardLinkA(lock.c_str(), outside.c_str(), nullptr); },
         LockResult::NotOurs},
        {"left by an elevated run: owned by Administrators",
         [&] {
             g_describeForTests = [](const std::wstring& path, std::wstring& sddl) {
                 if (path.find(L"MirelLauncher.lock") == std::wstring::npos) return false;
                 sddl = L"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)";
                 return true;
             };
             return WriteBytes(lock, "");
         },
         LockResult::Held},
        {"another user's",
         [&] {
             g_describeForTests = [](const std::wstring& path, std::wstring& sddl) {
                 if (path.find(L"MirelLauncher.lock") == std::wstring::npos) return false;
                 sddl = L"O:S-1-5-21-1-2-3-1002D:P(A;;FA;;;S-1-5-21-1-2-3-1002)";
                 return true;
             };
             return WriteBytes(lock, "");
         },
         LockResult::NotOurs},
        // Held by another process: Busy only when nobody but our identities may open it.
        // (Everyone rather than Users: Wine keeps an access list as a mode.)
        {"held, and others may open it",
         [&] {
             if (!MakeWithSddl(lock, L"D:P(A;;FA;;;ME)(A;;FR;;;WD)", false)) return false;
             heldElsewhere.reset(::CreateFileA(lock.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
             return static_cast<bool>(heldElsewhere);
         },
         LockResult::NotOurs},
        {"held, and only we may open it",
         [&] {
             if (!MakeWithSddl(lock, L"D:P(A;;FA;;;ME)(A;;FA;;;SY)", false)) return false;
             heldElsewhere.reset(::CreateFileA(lock.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
             return static_cast<bool>(heldElsewhere);
         },
         LockResult::Busy},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ::RemoveDirectoryA(lock.c_str());
        ::DeleteFileA(lock.c_str());
        ::DeleteFileA(outside.c_str());
        ASSERT_TRUE(c.make());
        HANDLE h = nullptr;
        EXPECT_EQ(TakeFolderLock(tmp.path(), h), c.result);
        heldElsewhere.reset();
        g_describeForTests = [](const std::wstring&, std::wstring&) { return false; };
        UniqueKernelHandle held(h);
        if (c.result != LockResult::Held || !c.madeHere) {
            EXPECT_EQ(h == nullptr, c.result != LockResult::Held);
            continue;
        }
        // Held: a second taker finds it busy, and its access list names nobody but us, SYSTEM
        // and Administrators.
        HANDLE second = nullptr;
        EXPECT_EQ(TakeFolderLock(tmp.path(), second), LockResult::Busy);
        PSECURITY_DESCRIPTOR sd = nullptr;
        ASSERT_EQ(::GetSecurityInfo(h, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr,
                                    &sd),
                  ERROR_SUCCESS);
        wchar_t* text = nullptr;
        ASSERT_TRUE(::ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1,
                                                                           DACL_SECURITY_INFORMATION, &text, nullptr));
        const std::wstring dacl = text;
        ::LocalFree(text);
        ::LocalFree(sd);
        for (const wchar_t* other : {L";WD)", L";BU)", L";AU)"})
            EXPECT_EQ(dacl.find(other), std::wstring::npos) << std::string(dacl.begin(), dacl.end());
    }
    // Used as it stands, nothing is made or made again: a missing lock stays missing, and one
    // that others may read is held as it is.
    ::DeleteFileA(lock.c_str());
    HANDLE h = nullptr;
    EXPECT_EQ(TakeFolderLock(tmp.path(), h, false), LockResult::Missing);
    EXPECT_EQ(::GetFileAttributesA(lock.c_str()), INVALID_FILE_ATTRIBUTES);
    ASSERT_TRUE(MakeWithSddl(lock, L"D:P(A;;FA;;;ME)(A;;FR;;;BU)", false, "old"));
    EXPECT_EQ(TakeFolderLock(tmp.path(), h, false), LockResult::Held);
    UniqueKernelHandle held(h);
    held.reset();
    EXPECT_EQ(Content(lock), "old");
}

// Who may change a folder, read from its security descriptor as the current user sees it.
TEST(FolderTrustRules, OnlyUsSystemAndAdministratorsMayWriteAndOwn) {
    const std::wstring ours = DownloadFolderSddl();
    ASSERT_EQ(ours.rfind(L"D:P(A;OICI;FA;;;", 0), 0u) << std::string(ours.begin(), ours.end());
    const std::wstring me = ours.substr(16, ours.find(L')') - 16);
    const std::wstring other = L"S-1-5-21-1-2-3-1001";
    struct Case {
        const char* what;
        std::wstring sddl;
        bool ownedByUs, othersWrite, trusted;
    };
    const Case cases[] = {
        {"what the launcher creates", L"O:" + me + ours, true, false, true},
        {"inherited from a Windows drive root: Authenticated Users may modify", L"O:" + me +
             L"D:(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;OICIID;0x1200a9;;;BU)(A;OICIIOID;SDGXGWGR;;;AU)"
             L"(A;ID;0x1301bf;;;AU)",
         true, true, false},
        {"made by another user", L"O:" + other + L"D:P(A;OICI;FA;;;" + other + L")(A;OICI;FA;;;SY)", false, true,
         false},
        {"another user's folder nobody else may write is still theirs", L"O:" + other + L"D:P(A;OICI;FA;;;SY)",
         false, false, false},
        {"Users may write", L"O:" + me + L"D:P(A;OICI;FA;;;" + me + L")(A;OICI;0x1201bf;;;BU)", true, true, false},
        {"made by an elevated administrator", L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", false,
         false, true},
        {"creator-owner entries follow whoever may create", L"O:" + me + L"D:P(A;OICI;FA;;;" + me +
             L")(A;OICIIO;FA;;;CO)(A;OICI;0x1200a9;;;BU)",
         true, false, true},
        {"a denial does not count as a grant", L"O:" + me + L"D:P(D;OICI;FA;;;WD)(A;OICI;FA;;;" + me + L")", true,
         false, true},
    };
    for (const Case& c : cases) {
        PSECURITY_DESCRIPTOR sd = nullptr;
        ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(c.sddl.c_str(), SDDL_REVISION_1, &sd,
                                                                           nullptr))
            << c.what;
        FolderTrust trust = EvaluateFolderSecurity(sd);
        ::LocalFree(sd);
        EXPECT_TRUE(trust.read) << c.what;
        EXPECT_EQ(trust.ownedByUs, c.ownedByUs) << c.what;
        EXPECT_EQ(trust.othersWrite, c.othersWrite) << c.what;
        EXPECT_EQ(trust.trusted(), c.trusted) << c.what;
    }
    // No access list at all lets everyone do everything.
    SECURITY_DESCRIPTOR open{};
    PSID owner = nullptr;
    ASSERT_TRUE(::ConvertStringSidToSidW(me.c_str(), &owner));
    ASSERT_TRUE(::InitializeSecurityDescriptor(&open, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(::SetSecurityDescriptorOwner(&open, owner, FALSE));
    ASSERT_TRUE(::SetSecurityDescriptorDacl(&open, TRUE, nullptr, FALSE));
    FolderTrust trust = EvaluateFolderSecurity(&open);
    ::LocalFree(owner);
    EXPECT_TRUE(trust.ownedByUs);
    EXPECT_TRUE(trust.othersWrite);
    EXPECT_FALSE(trust.trusted());
}

TEST(FileVersion, ReadsTheFirstTranslationOnly) {
    CMirelLauncherDlg dlg;
    struct Case {
        const char* file;
        const char* expected;
    };
    const Case cases[] = {
        {"standin_patcher.exe", "1.0.0.1"},
        {"standin_patcher_v2.exe", "1.0.0.2"},
        {"standin_multilang.exe", "7.7.7.1"},  // the second translation says 9.9.9.9
        {"standin_patcher_nover.exe", "before"},  // no version resource: unchanged
        {"no-such-file.exe", "before"},
    };
    for (const auto& c : cases) {
        CString version("before");
        GetFileVersionString(StandinPath(c.file).c_str(), version);
        EXPECT_STREQ(version, c.expected) << c.file;
    }
}
