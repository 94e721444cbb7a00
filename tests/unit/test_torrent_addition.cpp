// Finding the torrent files of the download folder and adding them to the session, with the
// real library and file system under Wine.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <libtorrent/add_torrent_params.hpp>
#include <libtorrent/hasher.hpp>
#include <libtorrent/torrent_status.hpp>
#include <libtorrent/write_resume_data.hpp>

#include "test_torrent_support.h"
#include "torrent/TorrentAddition.h"
#include "ui/MirelLauncherDlg.h"
#include "dlg_probe.h"

namespace {

class FindTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder = dir / "Down";
        ::CreateDirectoryA(folder.c_str(), nullptr);
    }
    std::vector<std::string> Found(const std::string& downloadDir) {
        std::vector<std::string> files = FindTorrentFiles(downloadDir, false, false);
        std::sort(files.begin(), files.end());
        return files;
    }
    TempDir dir;
    std::string folder;
};

// Output of a standard stream written while `body` runs.
template <typename F>
std::string CaptureStderr(F body) {
    ::testing::internal::CaptureStderr();
    body();
    return ::testing::internal::GetCapturedStderr();
}
template <typename F>
std::string CaptureStdout(F body) {
    ::testing::internal::CaptureStdout();
    body();
    return ::testing::internal::GetCapturedStdout();
}

}  // namespace

// A torrent file is a name that ends in ".ndn": "x.ndn.resume" (resume data, or anything else
// named so) is none.
TEST_F(FindTest, NamesEndingInDotNdnCaseSensitiveFoldersIncluded) {
    for (const char* name : {"Mirel.ndn", "patch.ndn.old", "x.ndn.resume", "UPPER.NDN", "mixed.Ndn", "notes.txt",
                             "ndn", ".ndn", "x.ndnx"})
        ASSERT_TRUE(WriteBytes(folder + "\\" + name, "x"));
    ::CreateDirectoryA((folder + "\\sub.ndn").c_str(), nullptr);
    ::CreateDirectoryA((folder + "\\plain").c_str(), nullptr);
    std::vector<std::string> expected = {folder + "\\Mirel.ndn", folder + "\\sub.ndn"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Found(folder + "\\"), expected);
}

TEST_F(FindTest, OneSeparatorBetweenFolderAndName) {
    ASSERT_TRUE(WriteBytes(folder + "\\Mirel.ndn", "x"));
    EXPECT_EQ(Found(folder), std::vector<std::string>{folder + "\\Mirel.ndn"}) << "without a trailing backslash";
    EXPECT_EQ(Found(folder + "\\"), std::vector<std::string>{folder + "\\Mirel.ndn"}) << "with one";
    // The download folder as the program forms it: the separator after the drive doubled.
    std::string doubled = folder.substr(0, 3) + "\\" + folder.substr(3) + "\\";
    EXPECT_EQ(Found(doubled), std::vector<std::string>{doubled + "Mirel.ndn"});
}

// ---- adding torrents

namespace {

class AddTest : public DownloadFolderTest {
protected:
    // A torrent of a payload made in the seed folder, its metainfo written into Down.
    std::string Publish(const std::string& payload, const std::string& torrentName, size_t size = 64 * 1024,
                        unsigned seed = 1) {
        EXPECT_TRUE(WritePayload(seedDir + "\\" + payload, size, seed));
        return MakeTorrentFile(seedDir, payload, down + "\\" + torrentName);
    }
    lt::torrent_status Status(const lt::torrent_handle& h) {
        return h.status(lt::torrent_handle::query_name | lt::torrent_handle::query_save_path);
    }
    std::vector<std::pair<std::string, lt::torrent_handle>> Handles() {
        return {DlgProbe::m_pSession(dlg)->handles.begin(), DlgProbe::m_pSession(dlg)->handles.end()};
    }
};

}  // namespace

TEST_F(AddTest, TorrentsAreAddedPausedAutoManagedWithTheirLimitsKeyedByPath) {
    ASSERT_FALSE(Publish("Setup.exe", "Mirel.ndn").empty());
    std::string out;
    {
        CurrentDir cwd(dir.path());
        out = CaptureStdout([&] { ASSERT_TRUE(dlg.StartTorrentSession()); });
    }
    EXPECT_EQ(out, "Setup.exe\n");
    auto handles = Handles();
    ASSERT_EQ(handles.size(), 1u);
    EXPECT_EQ(handles[0].first, down + "\\Mirel.ndn");
    const lt::torrent_handle& h = handles[0].second;
    ASSERT_TRUE(h.is_valid());
    lt::torrent_status st = Status(h);
    EXPECT_TRUE(st.flags & lt::torrent_flags::auto_managed);
    EXPECT_FALSE(st.flags & lt::torrent_flags::seed_mode);
    EXPECT_FALSE(st.flags & lt::torrent_flags::upload_mode);
    EXPECT_EQ(st.storage_mode, lt::storage_mode_sparse);
    EXPECT_EQ(st.save_path, ToLibraryPath(down + "\\"));
    EXPECT_EQ(h.max_connections(), 50);
    EXPECT_EQ(h.upload_limit(), -1) << "no limit";
    EXPECT_EQ(h.download_limit(), -1) << "no limit";
    // No upload slot limit: the library stores "none" as its largest value.
    EXPECT_GT(h.max_uploads(), 1 << 20);
}

// A torrent of files that need not exist (made-up hashes): only its names matter here.
std::string WriteNamedTorrent(const std::string& torrentPath, const std::vector<std::string>& files) {
    lt::file_storage fs;
    for (const std::string& f : files) fs.add_file(f, 1024);
    lt::create_torrent ct(fs, 16 * 1024, lt::create_torrent::v1_only);
    for (lt::piece_index_t p : fs.piece_range()) ct.set_hash(p, lt::hasher("any", 3).final());
    std::vector<char> out;
    lt::bencode(std::back_inserter(out), ct.generate());
    return WriteBytes(torrentPath, std::string(out.begin(), out.end())) ? torrentPath : std::string();
}

// Unreadable torrent files and torrents that name a device (with or without an extension, in
// any case, at any depth) are reported and skipped; names that only look alike are added.
TEST_F(AddTest, BrokenTorrentFilesAreReportedAndSkippedTheOthersStillAdded) {
    ASSERT_FALSE(Publish("Setup.exe", "Mirel.ndn").empty());
    ASSERT_TRUE(WriteBytes(down + "\\Broken.ndn", "d8:announce"));
    ::CreateDirectoryA((down + "\\folder.ndn").c_str(), nullptr);
    const std::vector<std::vector<std::string>> devices = {
        {"con.exe"}, {"NUL"}, {"Lpt1.txt"}, {"com9.tar.gz"}, {"aux .txt"}, {"pack/prn/readme.txt", "pack/a.bin"},
        {"CONOUT$"}, {"COM0"}, {"lpt0.log"}, {"COM\xC2\xB9.txt"}, {"lpt\xC2\xB3"}, {"con."}};
    for (size_t i = 0; i < devices.size(); ++i)
        ASSERT_FALSE(WriteNamedTorrent(down + "\\device" + std::to_string(i) + ".ndn", devices[i]).empty());
    ASSERT_FALSE(WriteNamedTorrent(down + "\\lookalike.ndn", {"set/console.exe", "set/com10.txt", "set/lpt",
                                                                   "set/icon.con", "set/nul_", "set/com\xC2\xB4"})
                     .empty());
    std::string err;
    {
        CurrentDir cwd(dir.path());
        err = CaptureStderr([&] { dlg.StartTorrentSession(); });
    }
    EXPECT_EQ(DlgProbe::m_torrentFiles(dlg).size(), 4u + devices.size());
    auto handles = Handles();
    ASSERT_EQ(handles.size(), 2u);
    EXPECT_EQ(handles[0].first, down + "\\Mirel.ndn");
    EXPECT_EQ(handles[1].first, down + "\\lookalike.ndn");
    // "<torrent file>: <reason>", one line each.
    std::vector<std::string> skipped = {"Broken.ndn", "folder.ndn"};
    for (size_t i = 0; i < devices.size(); ++i) skipped.push_back("device" + std::to_string(i) + ".ndn");
    for (const std::string& name : skipped) {
        std::string prefix = down + "\\" + name + ": ";
        size_t at = err.find(prefix);
        ASSERT_NE(at, std::string::npos) << err;
        size_t eol = err.find('\n', at);
        ASSERT_NE(eol, std::string::npos);
        EXPECT_GT(eol, at + prefix.size()) << "a reason follows";
        if (name.rfind("device", 0) == 0) {
            EXPECT_EQ(err.substr(at + prefix.size(), eol - at - prefix.size()), "not added, a file named like a device");
        }
    }
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), static_cast<long>(skipped.size())) << err;
}

// A launcher built with a key adds the description it checked in this run and nothing else.
TEST_F(AddTest, SignedOnlyLauncherAddsTheCheckedDescriptionAlone) {
    ASSERT_FALSE(Publish("Setup.exe", "Mirel.ndn").empty());
    ASSERT_FALSE(Publish("Evil.exe", "zz.ndn").empty());
    // Where case counts, a "mirel.ndn" beside the checked description is another file.
    ASSERT_TRUE(RunOnHost("/bin/cp", {UnixPath(down + "\\zz.ndn"), UnixPath(down + "\\mirel.ndn")}, [&] {
        const auto names = FolderEntries(down);
        return std::find(names.begin(), names.end(), "mirel.ndn") != names.end();
    }));
    for (bool checked : {false, true}) {
        SCOPED_TRACE(checked ? "checked in this run" : "not checked in this run");
        std::vector<std::string> found;
        std::string err = CaptureStderr([&] { found = FindTorrentFiles(down, true, checked); });
        EXPECT_EQ(found, checked ? std::vector<std::string>{down + "\\Mirel.ndn"} : std::vector<std::string>{});
        for (const char* other : {"\\zz.ndn", "\\mirel.ndn"})
            EXPECT_NE(err.find(down + other + ": not added, no signature checked in this run"), std::string::npos) << err;
        EXPECT_EQ(err.find("Mirel.ndn: not added") == std::string::npos, checked) << err;
    }
}

// One main torrent at a time, and no two torrents writing one file: a new description replaces
// the earlier main torrent, and torrents whose files are one file for Windows are not added.
TEST_F(AddTest, ANewDescriptionReplacesTheMainTorrentAndNoTwoTorrentsShareAFile) {
    ASSERT_FALSE(Publish("Setup.exe", "Mirel.ndn").empty());
    CurrentDir cwd(dir.path());
    ASSERT_TRUE(dlg.StartTorrentSession());
    ASSERT_EQ(Handles().size(), 1u);
    const lt::torrent_handle earlier = Handles()[0].second;

    // Another torrent naming the installer in other case, one whose own two files differ only
    // in case beyond ASCII, and one whose folder is where a file of another goes.
    ASSERT_FALSE(WriteNamedTorrent(down + "\\other.ndn", {"SETUP.EXE"}).empty());
    ASSERT_FALSE(WriteNamedTorrent(down + "\\twice.ndn", {"pack/\xC3\x84.bin", "pack/\xC3\xA4.bin"}).empty());
    ASSERT_FALSE(WriteNamedTorrent(down + "\\under.ndn", {"setup.exe/inner.bin"}).empty());
    // A new description: other content under the same names.
    ASSERT_FALSE(Publish("Setup.exe", "Mirel.ndn", 64 * 1024, 9).empty());
    const lt::info_hash_t later = lt::torrent_info(ToLibraryPath(down + "\\Mirel.ndn")).info_hashes();
    const std::string err = CaptureStderr([&] { ASSERT_TRUE(dlg.StartTorrentSession()); });

    auto handles = Handles();
    ASSERT_EQ(handles.size(), 1u) << err;
    EXPECT_EQ(handles[0].first, down + "\\Mirel.ndn");
    EXPECT_TRUE(handles[0].second.info_hashes() == later);
    EXPECT_FALSE(earlier.is_valid()) << "the earlier main torrent is gone from the session";
    EXPECT_EQ(DlgProbe::m_pSession(dlg)->session->get_torrents().size(), 1u);
    for (const char* line : {"other.ndn: not added, its files are those of ", "under.ndn: not added, its files are those of ",
                             "twice.ndn: not added, two of its files are one file for Windows"})
        EXPECT_NE(err.find(line), std::string::npos) << line << "\n" << err;
}

// A torrent that names the installer by its short (8.3) alias names the installer for Windows:
// compared by long, final paths, it is not added beside the main torrent, and a main torrent
// added after it removes it.
TEST_F(AddTest, ATorrentNamingTheInstallerByItsShortAliasIsTheInstaller) {
    ASSERT_FALSE(Publish("LongInstallerName.exe", "Mirel.ndn").empty());
    // The installer as downloaded: its short alias names it.
    ASSERT_TRUE(::CopyFileA((seedDir + "\\LongInstallerName.exe").c_str(), (down + "\\LongInstallerName.exe").c_str(),
                            FALSE));
    char alias[MAX_PATH] = {};
    ASSERT_TRUE(::GetShortPathNameA((down + "\\LongInstallerName.exe").c_str(), alias, MAX_PATH));
    const std::string aliasName = std::string(alias).substr(std::string(alias).find_last_of('\\') + 1);
    ASSERT_NE(aliasName, "LongInstallerName.exe") << "no short alias on this volume";
    ASSERT_FALSE(WriteNamedTorrent(down + "\\alias.ndn", {aliasName}).empty());
    CurrentDir cwd(dir.path());
    const std::string err = CaptureStderr([&] { ASSERT_TRUE(dlg.StartTorrentSession()); });
    ASSERT_EQ(Handles().size(), 1u) << err;
    EXPECT_EQ(Handles()[0].first, down + "\\Mirel.ndn");
    EXPECT_NE(err.find("alias.ndn: not added, its files are those of "), std::string::npos) << err;

    // The other way round: the alias's torrent first, then the main torrent, which wins.
    CMirelLauncherDlg second(DlgProbe::m_config(dlg));
    DlgProbe::m_pSession(dlg).reset();
    DlgProbe::m_pSession(second) = OpenTorrentSession(DlgProbe::m_config(second));
    ASSERT_TRUE(DlgProbe::m_pSession(second));
    TorrentSession& ses = *DlgProbe::m_pSession(second);
    std::string removed = CaptureStderr([&] {
        CaptureStdout([&] {
            EXPECT_TRUE(AddTorrent(ses, down + "\\alias.ndn", DlgProbe::m_config(second)));
            EXPECT_TRUE(AddTorrent(ses, down + "\\Mirel.ndn", DlgProbe::m_config(second)));
        });
    });
    EXPECT_NE(removed.find("alias.ndn: removed, its files are those of "), std::string::npos) << removed;
    ASSERT_EQ(ses.handles.size(), 1u);
    EXPECT_EQ(ses.handles.begin()->first, down + "\\Mirel.ndn");
}

// What is added as the main torrent is the description this run took, as the bytes that were
// checked: one written over Mirel.ndn since, or its file gone, changes nothing. In a launcher
// with a key too.
TEST_F(AddTest, TheDescriptionAddedIsTheBytesThatWereCheckedNotItsFileReadAgain) {
    ASSERT_FALSE(Publish("Setup.exe", "Mirel.ndn").empty());
    std::string checked;
    ASSERT_TRUE(ReadBytes(down + "\\Mirel.ndn", checked));
    const lt::span<const char> bytes(checked.data(), static_cast<std::ptrdiff_t>(checked.size()));
    const lt::info_hash_t taken = lt::torrent_info(bytes, lt::from_span).info_hashes();
    struct Case {
        const char* what;
        bool signedOnly;
        bool removed;
    };
    const Case cases[] = {{"rewritten", false, false}, {"rewritten, keyed", true, false}, {"removed", false, true}};
    unsigned seed = 5;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // Between the check and the addition, another description under the same name: another
        // program under the installer's name.
        ASSERT_FALSE(Publish("Setup.exe", "Mirel.ndn", 64 * 1024, ++seed).empty());
        if (c.removed) {
            ASSERT_TRUE(::DeleteFileA((down + "\\Mirel.ndn").c_str()));
        }
        CMirelLauncherDlg launcher(DlgProbe::m_config(dlg));
        DlgProbe::m_config(launcher).signedOnly = c.signedOnly;
        DlgProbe::m_bDescriptionChecked(launcher) = c.signedOnly;
        DlgProbe::m_description(launcher) = checked;
        {
            CurrentDir cwd(dir.path());
            CaptureStdout([&] { ASSERT_TRUE(launcher.StartTorrentSession()); });
        }
        auto& handles = DlgProbe::m_pSession(launcher)->handles;
        ASSERT_EQ(handles.size(), 1u);
        EXPECT_EQ(handles.begin()->first, down + "\\Mirel.ndn");
        EXPECT_TRUE(handles.begin()->second.info_hashes() == taken);
    }
}

TEST_F(AddTest, SameTorrentUnderTwoNamesGivesTwoEntriesWithOneHandle) {
    ASSERT_FALSE(Publish("Setup.exe", "Mirel.ndn").empty());
    ASSERT_TRUE(::CopyFileA((down + "\\Mirel.ndn").c_str(), (down + "\\copy.ndn").c_str(), FALSE));
    std::string err;
    {
        CurrentDir cwd(dir.path());
        err = CaptureStderr([&] { dlg.StartTorrentSession(); });
    }
    EXPECT_EQ(err, "") << "a duplicate is no error";
    auto handles = Handles();
    ASSERT_EQ(handles.size(), 2u);
    EXPECT_EQ(handles[0].first, down + "\\Mirel.ndn");
    EXPECT_EQ(handles[1].first, down + "\\copy.ndn");
    EXPECT_TRUE(handles[0].second == handles[1].second);
    EXPECT_EQ(DlgProbe::m_pSession(dlg)->session->get_torrents().size(), 1u);
}

// A later run (message 2 with the session up) adds what it finds, each torrent once.
TEST_F(AddTest, LaterRunAddsWhatItFindsOnceWithTheWindowsLimits) {
    ASSERT_FALSE(Publish("Setup.exe", "Mirel.ndn").empty());
    CurrentDir cwd(dir.path());
    ASSERT_TRUE(dlg.StartTorrentSession());
    ASSERT_FALSE(Publish("Other.bin", "other.ndn", 32 * 1024, 2).empty());
    DlgProbe::m_config(dlg).uploadLimit = 1000;
    DlgProbe::m_config(dlg).downloadLimit = 2000;
    ASSERT_TRUE(dlg.StartTorrentSession());
    ASSERT_TRUE(dlg.StartTorrentSession());
    auto handles = Handles();
    ASSERT_EQ(handles.size(), 2u);
    EXPECT_EQ(handles[1].first, down + "\\other.ndn");
    EXPECT_EQ(Status(handles[1].second).name, "Other.bin");
    EXPECT_EQ(handles[1].second.upload_limit(), 1000);
    EXPECT_EQ(handles[1].second.download_limit(), 2000);
    EXPECT_EQ(DlgProbe::m_pSession(dlg)->session->get_torrents().size(), 2u);
}

TEST_F(AddTest, ResumeDataIsReadFromSavePathNameDotResume) {
    ASSERT_FALSE(Publish("Setup.exe", "Mirel.ndn").empty());
    ASSERT_FALSE(Publish("Other.bin", "other.ndn", 32 * 1024, 2).empty());
    // Resume data of the right torrent, as the library writes it, carrying counters that only
    // resume data can bring in.
    auto resumeFor = [&](const std::string& torrent, std::int64_t uploaded) {
        lt::add_torrent_params atp;
        atp.ti = std::make_shared<lt::torrent_info>(ToLibraryPath(down + "\\" + torrent));
        atp.info_hashes = atp.ti->info_hashes();
        atp.save_path = ToLibraryPath(down + "\\");
        atp.total_uploaded = uploaded;
        std::vector<char> buf = lt::write_resume_data_buf(atp);
        return std::string(buf.begin(), buf.end());
    };
    ASSERT_TRUE(WriteBytes(down + "\\Setup.exe.resume", resumeFor("Mirel.ndn", 123456)));
    // Resume data of another torrent under this one's name, and a broken one: not taken.
    ASSERT_TRUE(WriteBytes(down + "\\Other.bin.resume", resumeFor("Mirel.ndn", 999)));
    {
        CurrentDir cwd(dir.path());
        ASSERT_TRUE(dlg.StartTorrentSession());
    }
    std::int64_t setup = -1, other = -1;
    for (auto& e : Handles()) {
        lt::torrent_status st = Status(e.second);
        (st.name == "Setup.exe" ? setup : other) = st.all_time_upload;
    }
    EXPECT_EQ(setup, 123456);
    EXPECT_EQ(other, 0);
    // The files are only read.
    std::string bytes;
    ASSERT_TRUE(ReadBytes(down + "\\Setup.exe.resume", bytes));
    EXPECT_EQ(bytes, resumeFor("Mirel.ndn", 123456));
}

TEST_F(AddTest, BrokenResumeDataStillAddsTheTorrent) {
    ASSERT_FALSE(Publish("Setup.exe", "Mirel.ndn").empty());
    ASSERT_TRUE(WriteBytes(down + "\\Setup.exe.resume", "d4:junk"));
    std::string err;
    {
        CurrentDir cwd(dir.path());
        err = CaptureStderr([&] { dlg.StartTorrentSession(); });
    }
    EXPECT_EQ(err, "");
    ASSERT_EQ(Handles().size(), 1u);
    EXPECT_TRUE(Handles()[0].second.is_valid());
}

TEST_F(AddTest, KoreanTorrentNameIsShownAndSavedInTheCodePage) {
    const std::string name = "미렐온라인설치.exe";  // code page 949
    ASSERT_FALSE(Publish(name, "Mirel.ndn").empty());
    // A complete copy in the download folder: the library finds it under the converted name.
    ASSERT_TRUE(::CopyFileA((seedDir + "\\" + name).c_str(), (down + "\\" + name).c_str(), FALSE));
    std::string out;
    {
        CurrentDir cwd(dir.path());
        out = CaptureStdout([&] { ASSERT_TRUE(dlg.StartTorrentSession()); });
    }
    EXPECT_EQ(out, name + "\n");
    ASSERT_EQ(Handles().size(), 1u);
    lt::torrent_handle h = Handles()[0].second;
    ASSERT_TRUE(WaitUntil([&] { return h.status().state == lt::torrent_status::seeding; }))
        << "state " << static_cast<int>(h.status().state);
    EXPECT_EQ(Utf8ToAnsi(Status(h).name), name);
}

// ---- resume data is a hint only

// Resume data is a hint: however it claims completion (pieces had, pieces verified, seed mode,
// the file mapped elsewhere), the files on disk are hashed, and other content holds no piece.
TEST_F(AddTest, ResumeDataClaimingEveryPieceIsCheckedAgainstTheFiles) {
    struct Claim {
        const char* payload;
        const char* torrent;
        bool verifiedSeedModeElsewhere;
    };
    const Claim claims[] = {{"Setup.exe", "Mirel.ndn", true}, {"Other.exe", "b.ndn", false}};
    unsigned seed = 1;
    for (const Claim& c : claims) {
        ASSERT_FALSE(Publish(c.payload, c.torrent, 256 * 1024, seed++).empty());
        // A file of the right size with other content where the payload belongs, another at the
        // place the resume data maps it to, and resume data that calls both complete.
        ASSERT_TRUE(WritePayload(down + "\\" + c.payload, 256 * 1024, 7));
        ASSERT_TRUE(WritePayload(down + "\\elsewhere.exe", 256 * 1024, 8));
        lt::add_torrent_params claim;
        claim.ti = std::make_shared<lt::torrent_info>(ToLibraryPath(down + "\\" + c.torrent));
        claim.info_hashes = claim.ti->info_hashes();
        claim.save_path = ToLibraryPath(down + "\\");
        claim.have_pieces.resize(claim.ti->num_pieces(), true);
        if (c.verifiedSeedModeElsewhere) {
            claim.verified_pieces.resize(claim.ti->num_pieces(), true);
            claim.renamed_files[lt::file_index_t{0}] = "elsewhere.exe";
            claim.flags |= lt::torrent_flags::seed_mode;
        }
        std::vector<char> buf = lt::write_resume_data_buf(claim);
        ASSERT_TRUE(WriteBytes(down + "\\" + c.payload + ".resume", std::string(buf.begin(), buf.end())));
    }
    {
        CurrentDir cwd(dir.path());
        ASSERT_TRUE(dlg.StartTorrentSession());
    }
    ASSERT_EQ(Handles().size(), 2u);
    for (const auto& entry : Handles()) {
        SCOPED_TRACE(entry.first);
        const lt::torrent_handle h = entry.second;
        ASSERT_TRUE(WaitUntil([&] {
            auto state = h.status().state;
            return state != lt::torrent_status::checking_files && state != lt::torrent_status::checking_resume_data;
        }));
        lt::torrent_status st = h.status();
        EXPECT_EQ(st.num_pieces, 0) << "the planted content holds no valid piece";
        EXPECT_NE(st.state, lt::torrent_status::seeding);
        EXPECT_FALSE(st.flags & lt::torrent_flags::seed_mode);
        EXPECT_EQ(h.torrent_file()->files().file_path(lt::file_index_t{0}), h.torrent_file()->name());
    }
}
