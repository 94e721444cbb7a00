// The torrent monitor thread, run for real on a real session: progress of the main torrent,
// the completion action (the stand-in installer, which records each start), the peer rows and
// the stop protocol. Waits are bounded; "nothing happened" is checked over a counted number of
// peer-list refreshes (each one comes more than a second after the last), never over a time.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>

#include <libtorrent/address.hpp>
#include <libtorrent/ip_filter.hpp>
#include <libtorrent/session.hpp>
#include <libtorrent/torrent_status.hpp>

#include "common/CodePage.h"
#include "common/FilePaths.h"
#include "launcher/FolderTrust.h"
#include "test_torrent_support.h"
#include "torrent/DiskIo.h"
#include "torrent/InstallerPath.h"
#include "torrent/TorrentMonitor.h"
#include "ui/SizeText.h"
#include "torrent/WebSeedPolicy.h"
#include "ui/MirelLauncherDlg.h"
#include "ui/TorrentInfoDlg.h"
#include "dlg_probe.h"

namespace {

class MonitorTest : public DownloadFolderTest {
protected:
    void SetUp() override {
        DownloadFolderTest::SetUp();
        log = dir / "installer.log";
        ::SetEnvironmentVariableA("STANDIN_INSTALL_LOG", log.c_str());
        ::SetEnvironmentVariableA("STANDIN_INSTALL_MS", "1");
        // Another title than the installer's: a launch sequence of a test running beside this
        // one waits for that title and would take this window for its installer.
        ::SetEnvironmentVariableA("STANDIN_INSTALL_TITLE", "Mirel monitor test installer");
        ::SetEnvironmentVariableA("STANDIN_INSTALL_KEY", nullptr);
        // The folder held as the launch sequence holds it: the installer opens only from there.
        ASSERT_EQ(DlgProbe::m_downloadFolder(dlg).Take(down, DownloadFolder::ForDownload), DownloadFolder::Trusted);
    }
    void TearDown() override {
        EXPECT_TRUE(Monitor().Stop(10000));
        ::SetEnvironmentVariableA("STANDIN_INSTALL_LOG", nullptr);
        ::SetEnvironmentVariableA("STANDIN_INSTALL_MS", nullptr);
        ::SetEnvironmentVariableA("STANDIN_INSTALL_TITLE", nullptr);
    }

    // Publishes the stand-in installer (or random bytes) as `payload`, its torrent as
    // Down\<torrentName>; with `present` the download folder already holds the whole content.
    void Publish(const std::string& payload, const std::string& torrentName, bool present, bool installer = true) {
        std::string source = seedDir + "\\" + payload;
        if (installer) {
            ASSERT_TRUE(::CopyFileA(StandinPath("standin_installer.exe").c_str(), source.c_str(), FALSE));
            ASSERT_TRUE(MarkForTest(source));
        } else {
            ASSERT_TRUE(WritePayload(source, 48 * 1024));
        }
        ASSERT_FALSE(MakeTorrentFile(seedDir, payload, down + "\\" + torrentName).empty());
        if (present) {
            ASSERT_TRUE(::CopyFileA(source.c_str(), (down + "\\" + payload).c_str(), FALSE));
        }
    }
    void StartSession() {
        CurrentDir cwd(dir.path());
        ::testing::internal::CaptureStdout();
        ASSERT_TRUE(dlg.StartTorrentSession());
        ::testing::internal::GetCapturedStdout();
    }
    lt::torrent_handle Handle(const std::string& torrentName) {
        auto it = DlgProbe::m_pSession(dlg)->handles.find(down + "\\" + torrentName);
        return it == DlgProbe::m_pSession(dlg)->handles.end() ? lt::torrent_handle() : it->second;
    }
    bool Seeding(const std::string& torrentName) {
        lt::torrent_handle h = Handle(torrentName);
        return WaitUntil([&] { return h.status().state == lt::torrent_status::seeding; });
    }
    TorrentMonitor& Monitor() { return DlgProbe::m_monitor(dlg); }
    // The monitor as the launch sequence starts it, posting to `window`.
    void Start(HWND window = nullptr) {
        ASSERT_TRUE(Monitor().Start(*DlgProbe::m_pSession(dlg), DlgProbe::m_downloadFolder(dlg),
                                    DlgProbe::m_config(dlg).downloadDir, window ? window : dlg.m_hWnd));
        ASSERT_TRUE(Monitor().Running());
    }
    // Lets the monitor make `count` peer-list refreshes (the peer window counts as open):
    // by then it has made well over a hundred passes.
    bool Refreshes(int count) {
        DlgProbe::m_monitor(dlg).Shared().peerWindowClosed = false;
        for (int i = 0; i < count; ++i) {
            DWORD before = DlgProbe::m_monitor(dlg).Shared().peerListTick;
            if (!WaitUntil([&] { return DlgProbe::m_monitor(dlg).Shared().peerListTick != before; }, 10000)) return false;
        }
        return true;
    }
    int InstallerRuns() {
        std::string text;
        if (!ReadBytes(log, text)) return 0;
        return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
    }
    // What the window shows once its refresh has taken the monitor's latest figures (this test
    // stands in for the window's thread).
    std::string SizeText() {
        dlg.ShowFigures();
        return DlgProbe::m_szSizeText(dlg);
    }
    int BarPos() {
        dlg.ShowFigures();
        return DlgProbe::m_progress(dlg).GetPos();
    }
    std::vector<PeerRow> TakeRows() {
        return DlgProbe::m_monitor(dlg).Shared().TakeRows();
    }

    std::string log;
};

}  // namespace

TEST_F(MonitorTest, CompleteDownloadOpensTheInstallerOnceAndShowsFullProgress) {
    Publish("Setup.exe", "Mirel.ndn", true);
    StartSession();
    Start();
    ASSERT_TRUE(WaitUntil([&] { return InstallerRuns() == 1; })) << "the installer was not opened";
    ASSERT_TRUE(Refreshes(2));
    EXPECT_EQ(InstallerRuns(), 1) << "opened once only";
    EXPECT_EQ(BarPos(), 100);
    // The content is the installer itself, opened from the save path.
    std::string text;
    ASSERT_TRUE(ReadBytes(log, text));
    EXPECT_NE(text.find(" " + down + "\\Setup.exe"), std::string::npos) << text;
    char expected[64];
    FormatSize(static_cast<float>(Handle("Mirel.ndn").status().total_wanted), expected, sizeof(expected));
    EXPECT_EQ(SizeText(), std::string(expected) + "/" + expected);
}

// Right before the installer is opened, the folder and the installer must still be ours alone:
// one that others may change by then, or that has a second name, is never opened.
struct NoLongerOurs {
    const char* what;
    bool (*change)(const std::string& down, const std::string& installer);
};
class MonitorRefusalTest : public MonitorTest, public ::testing::WithParamInterface<NoLongerOurs> {};

TEST_P(MonitorRefusalTest, AnInstallerNoLongerOursAloneIsNeverOpened) {
    Publish("Setup.exe", "Mirel.ndn", true);
    StartSession();
    ASSERT_TRUE(Seeding("Mirel.ndn"));
    ASSERT_TRUE(GetParam().change(down, down + "\\Setup.exe"));
    const HWND window = ::CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_TRUE(window);
    Start(window);
    ASSERT_TRUE(WaitUntil([&] { return Monitor().Refusals() > 0; })) << "never judged";
    EXPECT_EQ(InstallerRuns(), 0);
    // The player is told: the window gets the notice that ends the wait.
    MSG msg;
    const bool told =
        WaitUntil([&] { return ::PeekMessageA(&msg, window, WM_APP_NOTICE, WM_APP_NOTICE, PM_REMOVE) != 0; });
    EXPECT_TRUE(Monitor().Stop(10000));
    ::DestroyWindow(window);
    ASSERT_TRUE(told);
    EXPECT_EQ(msg.wParam, static_cast<WPARAM>(kNoticeInstallerRefused));
}

// A second name made from elsewhere (another program's hard link) changes nothing about who may
// write the installer: it is opened.
TEST_F(MonitorTest, ASecondNameOfTheInstallerMadeElsewhereDoesNotKeepItShut) {
    Publish("Setup.exe", "Mirel.ndn", true);
    StartSession();
    ASSERT_TRUE(Seeding("Mirel.ndn"));
    ASSERT_TRUE(::CreateHardLinkA((dir / "second.exe").c_str(), (down + "\\Setup.exe").c_str(), nullptr));
    Start();
    ASSERT_TRUE(WaitUntil([&] { return InstallerRuns() == 1; })) << "the installer was not opened";
    EXPECT_EQ(Monitor().Refusals(), 0);
}

// An installer another program holds open (a scanner) is waited for, never refused: it opens
// once let go.
TEST_F(MonitorTest, AnInstallerHeldByAnotherProgramIsWaitedForThenOpened) {
    Publish("Setup.exe", "Mirel.ndn", true);
    StartSession();
    ASSERT_TRUE(Seeding("Mirel.ndn"));
    UniqueKernelHandle scanner(::CreateFileA((down + "\\Setup.exe").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                             0, nullptr));
    ASSERT_TRUE(scanner);
    Start();
    ASSERT_TRUE(Refreshes(2));
    EXPECT_EQ(InstallerRuns(), 0);
    EXPECT_EQ(Monitor().Refusals(), 0);
    scanner.reset();
    ASSERT_TRUE(WaitUntil([&] { return InstallerRuns() == 1; })) << "never opened once let go";
    EXPECT_EQ(Monitor().Refusals(), 0);
}

// An installer another program holds so that its bytes cannot be held unchanged (open for
// writing, or open without sharing reading) is waited for, the player told after 5 s, and
// opened once let go. The shell alone would refuse it each second, with nothing shown. (A lock
// on its bytes is the same wait, but Wine does not hold a process's own locks against it.)
struct InstallerHolder {
    const char* what;
    // Opens the installer as that program would; INVALID_HANDLE_VALUE when it cannot yet.
    HANDLE (*hold)(const std::string& installer);
};
class MonitorHeldInstallerTest : public MonitorTest, public ::testing::WithParamInterface<InstallerHolder> {
protected:
    // The notices posted to `window` so far, in order.
    std::vector<WPARAM> Notices(HWND window) {
        MSG msg;
        while (::PeekMessageA(&msg, window, WM_APP_NOTICE, WM_APP_NOTICE, PM_REMOVE)) notices.push_back(msg.wParam);
        return notices;
    }
    std::vector<WPARAM> notices;
};

TEST_P(MonitorHeldInstallerTest, IsToldAfterFiveSecondsThenOpenedOnceLetGo) {
    Publish("Setup.exe", "Mirel.ndn", true);
    StartSession();
    ASSERT_TRUE(Seeding("Mirel.ndn"));
    // (The library's check may still hold the file a moment after the state reads seeding.)
    UniqueKernelHandle holder;
    ASSERT_TRUE(WaitUntil([&] {
        holder.reset(GetParam().hold(down + "\\Setup.exe"));
        return static_cast<bool>(holder);
    }));
    const HWND window = ::CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_TRUE(window);
    const DWORD started = ::GetTickCount();
    Start(window);
    const bool told = WaitUntil([&] {
        const std::vector<WPARAM> n = Notices(window);
        return std::find(n.begin(), n.end(), static_cast<WPARAM>(kNoticeInstallerBusy)) != n.end();
    });
    const DWORD waited = ::GetTickCount() - started;
    const int runsWhileHeld = InstallerRuns();
    holder.reset();
    const bool opened = WaitUntil([&] { return InstallerRuns() == 1; });
    const bool plainAgain = WaitUntil([&] { return Notices(window).back() == kNoticeStatusPlain; }, 5000);
    EXPECT_TRUE(Monitor().Stop(10000));
    ::DestroyWindow(window);
    ASSERT_TRUE(told) << "the player was never told";
    EXPECT_GE(waited, 4500u) << "told before the 5 s";
    EXPECT_EQ(runsWhileHeld, 0);
    EXPECT_TRUE(opened) << "never opened once let go";
    EXPECT_TRUE(plainAgain) << "the status line kept saying it waits";
    // Once let go, it was held and checked before it opened, and the status line said so.
    const auto checking = std::find(notices.begin(), notices.end(), static_cast<WPARAM>(kNoticeCheckingInstaller));
    EXPECT_TRUE(checking != notices.end() &&
                std::find(checking, notices.end(), static_cast<WPARAM>(kNoticeStatusPlain)) != notices.end());
    EXPECT_EQ(Monitor().Refusals(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Holders, MonitorHeldInstallerTest,
    ::testing::Values(
        InstallerHolder{"OpenWithoutSharing",
                        [](const std::string& i) {
                            return ::CreateFileA(i.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
                        }},
        InstallerHolder{"OpenForWriting",
                        [](const std::string& i) {
                            return ::CreateFileA(i.c_str(), GENERIC_WRITE,
                                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                 OPEN_EXISTING, 0, nullptr);
                        }}),
    [](const ::testing::TestParamInfo<InstallerHolder>& info) { return std::string(info.param.what); });

// A download that stops is told, with what to do, and goes on by itself once the cause is gone:
// another program holding the installer while it is written, a full disk (whose writes the disk
// back-end holds and tries again), another error of the torrent (a write the system refused).
struct Stall {
    const char* what;
    WPARAM notice;
    DWORD writeError;  // the error of every write while the cause lasts (0: none)
    bool holdFile;     // another program holds the installer without sharing meanwhile
};
class MonitorStallTest : public MonitorTest, public ::testing::WithParamInterface<Stall> {
protected:
    void TearDown() override {
        MonitorTest::TearDown();
        g_launcherWriteFaultForTests = nullptr;
    }
};

TEST_P(MonitorStallTest, IsToldAndGoesOnOnceTheCauseIsGone) {
    const Stall& c = GetParam();
    Publish("Setup.exe", "Mirel.ndn", false);
    UniqueKernelHandle holder;
    if (c.holdFile) {
        holder.reset(::CreateFileA((down + "\\Setup.exe").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   CREATE_NEW, 0, nullptr));
        ASSERT_TRUE(holder);
    }
    std::atomic<bool> lasts{true};
    if (c.writeError)
        g_launcherWriteFaultForTests = [&lasts, &c](lt::file_index_t, std::int64_t) -> DWORD {
            return lasts ? c.writeError : 0;
        };
    StartSession();
    auto seeder = StartLoopbackSeeder(down + "\\Mirel.ndn", seedDir);
    ASSERT_TRUE(WaitUntil([&] { return seeder->is_listening(); }));
    const lt::tcp::endpoint seederAt(lt::make_address("127.0.0.1"), static_cast<unsigned short>(seeder->listen_port()));
    lt::torrent_handle mine = Handle("Mirel.ndn");
    const HWND window = ::CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_TRUE(window);
    Start(window);
    auto connect = [&] {
        const lt::torrent_status s = mine.status();
        if (s.state == lt::torrent_status::downloading && s.num_peers == 0) mine.connect_peer(seederAt);
    };
    std::vector<WPARAM> notices;
    const bool told = WaitUntil([&] {
        connect();
        MSG msg;
        while (::PeekMessageA(&msg, window, WM_APP_NOTICE, WM_APP_NOTICE, PM_REMOVE)) notices.push_back(msg.wParam);
        return std::find(notices.begin(), notices.end(), c.notice) != notices.end();
    });
    const int runsWhileStopped = InstallerRuns();
    lasts = false;
    holder.reset();
    const bool opened = WaitUntil([&] {
        connect();
        return InstallerRuns() == 1;
    }, 60000);
    EXPECT_TRUE(Monitor().Stop(10000));
    ::DestroyWindow(window);
    ASSERT_TRUE(told) << "never told";
    EXPECT_EQ(std::count(notices.begin(), notices.end(), c.notice), 1) << "told more than once";
    const std::wstring detail = Monitor().Shared().NoticeDetail(c.notice);
    if (c.notice == kNoticeFileHeld) {
        EXPECT_EQ(detail, AnsiToWide(down + "\\Setup.exe"));
    } else if (c.notice == kNoticeDiskFull) {
        EXPECT_EQ(detail, AnsiToWide(down + "\\"));
    } else {
        EXPECT_FALSE(detail.empty()) << "the error in the system's words";
    }
    EXPECT_EQ(runsWhileStopped, 0);
    EXPECT_TRUE(opened) << "the download did not go on once the cause was gone";
}

INSTANTIATE_TEST_SUITE_P(
    Causes, MonitorStallTest,
    ::testing::Values(Stall{"InstallerHeldByAnotherProgram", kNoticeFileHeld, 0, true},
                      Stall{"DiskFull", kNoticeDiskFull, ERROR_DISK_FULL, false},
                      Stall{"WriteRefused", kNoticeTorrentError, ERROR_ACCESS_DENIED, false}),
    [](const ::testing::TestParamInfo<Stall>& info) { return std::string(info.param.what); });

// Bytes changed on disk after the library hashed them (by another program, or a disk that
// lies) are caught by the check through the held installer: the pieces are fetched again and
// only the installer as published is opened.
TEST_F(MonitorTest, APieceChangedOnDiskAfterItsCheckIsFetchedAgainNotRun) {
    Publish("Setup.exe", "Mirel.ndn", true);
    StartSession();
    ASSERT_TRUE(Seeding("Mirel.ndn"));
    std::string published, changed;
    ASSERT_TRUE(ReadBytes(seedDir + "\\Setup.exe", published));
    ASSERT_GT(published.size(), 3u * 16 * 1024);
    changed = published;
    changed[2 * 16 * 1024 + 5] ^= 0x5A;  // the third piece
    ASSERT_TRUE(WaitUntil([&] { return WriteBytes(down + "\\Setup.exe", changed); }));
    auto seeder = StartLoopbackSeeder(down + "\\Mirel.ndn", seedDir);
    ASSERT_TRUE(WaitUntil([&] { return seeder->is_listening(); }));
    const lt::tcp::endpoint seederAt(lt::make_address("127.0.0.1"), static_cast<unsigned short>(seeder->listen_port()));
    lt::torrent_handle mine = Handle("Mirel.ndn");
    Start();
    ASSERT_TRUE(WaitUntil([&] { return Monitor().Rechecks() > 0; })) << "the change was not caught";
    EXPECT_EQ(InstallerRuns(), 0) << "the changed installer ran";
    // The library's check finds the piece bad; it is fetched from the seeder.
    ASSERT_TRUE(WaitUntil([&] {
        if (mine.status().state == lt::torrent_status::downloading && mine.status().num_peers == 0)
            mine.connect_peer(seederAt);
        return InstallerRuns() == 1;
    }, 60000)) << "never opened once fetched again";
    std::string after;
    ASSERT_TRUE(ReadBytes(down + "\\Setup.exe", after));
    EXPECT_TRUE(after == published) << "what ran is not what was published";
    EXPECT_EQ(Monitor().Rechecks(), 1);
}

// An installer whose path is longer than the plain form carries goes to the shell in the
// extended form. A shell that will not take it (Wine's starts no program beyond MAX_PATH) is
// asked again, and the player is told which file to open: never a silent wait.
TEST(ShellPathForm, OnlyAPathBeyondThePlainFormIsExtended) {
    const std::wstring folder = L"C:\\Down\\Mirel Online\\";
    EXPECT_EQ(ShellPath(folder + L"Setup.exe"), folder + L"Setup.exe");
    const std::wstring atLimit = folder + std::wstring(MAX_PATH - 1 - folder.size(), L'a');
    EXPECT_EQ(ShellPath(atLimit), atLimit) << "MAX_PATH - 1 characters fit";
    const std::wstring beyond = atLimit + L"b";
    EXPECT_EQ(ShellPath(beyond), L"\\\\?\\" + beyond);
}

TEST_F(MonitorTest, AnInstallerBeyondMaxPathIsOpenedOrThePlayerToldWhichFileToOpen) {
    const std::wstring name = std::wstring(240 - down.size() % 10, L'i') + L".exe";
    const std::wstring seedFile = AnsiToWide(seedDir) + L"\\" + name;
    const std::wstring installer = AnsiToWide(down) + L"\\" + name;
    ASSERT_GT(installer.size(), static_cast<size_t>(MAX_PATH));
    ASSERT_TRUE(::CopyFileW(AnsiToWide(StandinPath("standin_installer.exe")).c_str(), ExtendedPath(seedFile).c_str(),
                            FALSE));
    std::string bytes;
    {
        UniqueKernelHandle f(::CreateFileW(ExtendedPath(seedFile).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                           OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(f);
        const std::string mark = "test " + std::to_string(TestSeed());
        DWORD n = 0;
        ::SetFilePointer(f.get(), 0, nullptr, FILE_END);
        ASSERT_TRUE(::WriteFile(f.get(), mark.data(), static_cast<DWORD>(mark.size()), &n, nullptr));
    }
    WIN32_FILE_ATTRIBUTE_DATA data{};
    ASSERT_TRUE(::GetFileAttributesExW(ExtendedPath(seedFile).c_str(), GetFileExInfoStandard, &data));
    lt::file_storage fs;
    fs.add_file(WideToAnsi(name), data.nFileSizeLow);  // ASCII alone
    lt::create_torrent ct(fs, 16 * 1024, lt::create_torrent::v1_only);
    lt::set_piece_hashes(ct, ToLibraryPath(seedDir));
    std::vector<char> out;
    lt::bencode(std::back_inserter(out), ct.generate());
    ASSERT_TRUE(WriteBytes(down + "\\Mirel.ndn", std::string(out.begin(), out.end())));
    ASSERT_TRUE(::CopyFileW(ExtendedPath(seedFile).c_str(), ExtendedPath(installer).c_str(), FALSE));
    StartSession();
    const HWND window = ::CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_TRUE(window);
    Start(window);
    MSG msg{};
    const bool told = WaitUntil([&] {
        while (::PeekMessageA(&msg, window, WM_APP_NOTICE, WM_APP_NOTICE, PM_REMOVE))
            if (msg.wParam == kNoticeInstallerNotStarted) return true;
        return InstallerRuns() == 1;
    });
    EXPECT_TRUE(Monitor().Stop(10000));
    ::DestroyWindow(window);
    ASSERT_TRUE(told) << "neither opened nor told";
    if (InstallerRuns() == 0) {
        EXPECT_EQ(Monitor().Shared().NoticeDetail(kNoticeInstallerNotStarted), installer) << "told another file";
    }
    EXPECT_EQ(Monitor().Refusals(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Changes, MonitorRefusalTest,
    ::testing::Values(
        NoLongerOurs{"InstallerOpenToEveryone", [](const std::string&, const std::string& i) { return OpenToEveryone(i); }},
        NoLongerOurs{"FolderOpenToEveryone", [](const std::string& d, const std::string&) { return OpenToEveryone(d); }}),
    [](const ::testing::TestParamInfo<NoLongerOurs>& info) { return std::string(info.param.what); });

TEST_F(MonitorTest, InstalledGameShowsAFullBarAndOpensNothing) {
    Publish("Setup.exe", "Mirel.ndn", true);
    StartSession();
    ASSERT_TRUE(Seeding("Mirel.ndn"));
    DlgProbe::m_monitor(dlg).Shared().installed = true;
    Start();
    ASSERT_TRUE(Refreshes(2));
    EXPECT_EQ(BarPos(), 100);
    EXPECT_EQ(SizeText(), "");
    EXPECT_EQ(InstallerRuns(), 0);
}

TEST_F(MonitorTest, IncompleteMainTorrentMovesNothingAndOpensNothing) {
    Publish("Setup.exe", "Mirel.ndn", false);
    StartSession();
    DlgProbe::m_progress(dlg).SetPos(7);
    Start();
    ASSERT_TRUE(Refreshes(2));
    EXPECT_EQ(BarPos(), 0);
    char wanted[64];
    FormatSize(static_cast<float>(Handle("Mirel.ndn").status().total_wanted), wanted, sizeof(wanted));
    EXPECT_EQ(SizeText(), std::string("0/") + wanted);
    EXPECT_EQ(InstallerRuns(), 0);
}

// Only Mirel.ndn's content is ever opened: a complete program described by another torrent file,
// whose name merely holds "Mirel.ndn" and sorts last, is left alone.
TEST_F(MonitorTest, OnlyTheMainTorrentsContentIsOpened) {
    Publish("Evil.exe", "zzMirel.ndn", true);
    Publish("Setup.exe", "Mirel.ndn", true);
    StartSession();
    ASSERT_TRUE(Seeding("zzMirel.ndn"));
    Start();
    ASSERT_TRUE(WaitUntil([&] { return InstallerRuns() == 1; }));
    ASSERT_TRUE(Refreshes(2));
    std::string text;
    ASSERT_TRUE(ReadBytes(log, text));
    EXPECT_NE(text.find(down + "\\Setup.exe"), std::string::npos) << text;
    EXPECT_EQ(text.find("Evil.exe"), std::string::npos) << text;
    EXPECT_EQ(InstallerRuns(), 1);
}

TEST_F(MonitorTest, ShellRefusalIsRetriedUntilTheInstallerOpens) {
    Publish("Setup.exe", "Mirel.ndn", true);
    StartSession();
    ASSERT_TRUE(Seeding("Mirel.ndn"));
    // Nobody else may open the file while we hold it: the shell cannot start it.
    // (The library's check may still hold the file a moment after the state reads seeding.)
    HANDLE lock = INVALID_HANDLE_VALUE;
    ASSERT_TRUE(WaitUntil([&] {
        lock = ::CreateFileA((down + "\\Setup.exe").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
        return lock != INVALID_HANDLE_VALUE;
    }));
    Start();
    bool refreshed = Refreshes(2);
    int whileLocked = InstallerRuns();
    ::CloseHandle(lock);
    ASSERT_TRUE(refreshed);
    EXPECT_EQ(whileLocked, 0);
    ASSERT_TRUE(WaitUntil([&] { return InstallerRuns() == 1; })) << "no retry after the refusal";
    ASSERT_TRUE(Refreshes(2));
    EXPECT_EQ(InstallerRuns(), 1);
}

TEST_F(MonitorTest, NothingWantedKeepsTheBarAndStillSetsTheSizeText) {
    Publish("Setup.exe", "Mirel.ndn", false);
    StartSession();
    lt::torrent_handle h = Handle("Mirel.ndn");
    h.prioritize_files({lt::dont_download});
    ASSERT_TRUE(WaitUntil([&] { return h.status().total_wanted == 0; }));
    DlgProbe::m_progress(dlg).SetPos(42);
    Start();
    ASSERT_TRUE(Refreshes(2));
    EXPECT_EQ(BarPos(), 42);
    EXPECT_EQ(SizeText(), "0/0");
    EXPECT_EQ(InstallerRuns(), 0);
}

TEST_F(MonitorTest, InvalidHandlesAreDroppedFromTheContainer) {
    Publish("Setup.exe", "Mirel.ndn", false);
    Publish("Other.bin", "other.ndn", false, false);
    StartSession();
    ASSERT_EQ(DlgProbe::m_pSession(dlg)->handles.size(), 2u);
    lt::torrent_handle other = Handle("other.ndn");
    Start();
    DlgProbe::m_pSession(dlg)->session->remove_torrent(other);
    ASSERT_TRUE(WaitUntil([&] { return !other.is_valid(); }));
    ASSERT_TRUE(Refreshes(2));
    ASSERT_TRUE(Monitor().Stop(10000));
    ASSERT_EQ(DlgProbe::m_pSession(dlg)->handles.size(), 1u);
    EXPECT_EQ(DlgProbe::m_pSession(dlg)->handles.begin()->first, down + "\\Mirel.ndn");
}

TEST_F(MonitorTest, PeerRowsOfAConnectedPeerWhileThePeerWindowCounts) {
    Publish("Setup.exe", "Mirel.ndn", false);
    StartSession();
    // A seeder of our own on the loopback address, slow enough to keep the connection busy.
    auto seeder = StartLoopbackSeeder(down + "\\Mirel.ndn", seedDir, 16 * 1024);
    ASSERT_TRUE(WaitUntil([&] { return seeder->is_listening(); }));
    const int port = seeder->listen_port();
    const lt::tcp::endpoint seederAt(lt::make_address("127.0.0.1"), static_cast<unsigned short>(port));
    lt::torrent_handle mine = Handle("Mirel.ndn");

    Start();
    const std::string expected = "p2p 127.0.0.1 : " + std::to_string(port);
    DlgProbe::m_monitor(dlg).Shared().peerWindowClosed = false;
    // The library's queue starts the torrent on its own time; until it runs, a connection
    // request is dropped, so it is repeated.
    ASSERT_TRUE(WaitUntil([&] {
        if (mine.status().num_peers == 0) mine.connect_peer(seederAt);
        for (const PeerRow& r : TakeRows())
            if (r.cells[0] == expected) return true;
        return false;
    })) << "no row for the seeder";
    // While no peer window exists, no refresh and no time stamp. The size label moves with the
    // slow download: each change is a later pass.
    DlgProbe::m_monitor(dlg).Shared().peerWindowClosed = true;
    auto nextLabel = [&] {
        std::string before = SizeText();
        return WaitUntil([&] { return SizeText() != before; });
    };
    ASSERT_TRUE(nextLabel()) << "the download does not move";
    DWORD tick = DlgProbe::m_monitor(dlg).Shared().peerListTick;
    DlgProbe::m_monitor(dlg).Shared().TakeRows();
    ASSERT_TRUE(nextLabel());
    ASSERT_TRUE(nextLabel());
    EXPECT_EQ(DlgProbe::m_monitor(dlg).Shared().peerListTick.load(), tick);
    EXPECT_TRUE(TakeRows().empty());
}

TEST_F(MonitorTest, StopsOnMessage16AndIgnoresOtherMessages) {
    Publish("Setup.exe", "Mirel.ndn", false);
    StartSession();
    Start();
    ::PostThreadMessageA(Monitor().ThreadId(), WM_USER + 5, 0, 0);
    ::PostThreadMessageA(Monitor().ThreadId(), WM_TIMER, 0, 0);
    ASSERT_TRUE(Refreshes(1));
    EXPECT_TRUE(Monitor().Running());
    // WM_CLOSE posted to the thread stops it like the stop request.
    ::PostThreadMessageA(Monitor().ThreadId(), WM_CLOSE, 0, 0);
    EXPECT_EQ(::WaitForSingleObject(Monitor().ThreadHandle(), 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(::WaitForSingleObject(Monitor().DoneEvent(), 0), static_cast<DWORD>(WAIT_OBJECT_0)) << "done event signalled";
}

// ---- the cells of one peer row

TEST(PeerRowFormat, KindAddressRatesAndFull64BitTotals) {
    lt::peer_info p{};
    p.connection_type = lt::peer_info::standard_bittorrent;
    p.ip = lt::tcp::endpoint(lt::make_address("127.0.0.1"), 51413);
    p.up_speed = 1234;
    p.down_speed = 567890;
    p.total_upload = 5000000000LL;
    p.total_download = 2147483648LL;
    PeerRow row = FormatPeerRow(p);
    EXPECT_EQ(row.cells[0], "p2p 127.0.0.1 : 51413");
    EXPECT_EQ(row.cells[1], "1234 byte/s");
    EXPECT_EQ(row.cells[2], "5000000000 byte");
    EXPECT_EQ(row.cells[3], "567890 byte/s");
    EXPECT_EQ(row.cells[4], "2147483648 byte");

    p.connection_type = lt::peer_info::web_seed;
    p.ip = lt::tcp::endpoint(lt::make_address("10.1.2.3"), 80);
    p.total_upload = 0;
    EXPECT_EQ(FormatPeerRow(p).cells[0], "http 10.1.2.3 : 80");
    EXPECT_EQ(FormatPeerRow(p).cells[2], "0 byte");
    p.connection_type = lt::peer_info::http_seed;
    EXPECT_EQ(FormatPeerRow(p).cells[0], "http 10.1.2.3 : 80");
    p.ip = lt::tcp::endpoint(lt::make_address("::1"), 6881);
    p.connection_type = lt::peer_info::standard_bittorrent;
    EXPECT_EQ(FormatPeerRow(p).cells[0], "p2p ::1 : 6881");
}

// ---- what may be opened

TEST(ContentPathCheck, OnlyPathsStrictlyInsideTheFolderAfterNormalising) {
    const std::wstring folder = L"C:\\\\Down\\Mirel Online\\";
    EXPECT_TRUE(IsInsideFolder(L"C:\\Down\\Mirel Online\\Setup.exe", folder));
    EXPECT_TRUE(IsInsideFolder(L"c:\\down\\MIREL ONLINE\\sub\\Setup.exe", folder)) << "case does not matter";
    EXPECT_TRUE(IsInsideFolder(L"C:\\Down\\Mirel Online\\..\xFFE6\\Setup.exe", folder)) << "a name, not a step up";
    EXPECT_FALSE(IsInsideFolder(L"C:\\Down\\Mirel Online\\..\\Setup.exe", folder));
    EXPECT_FALSE(IsInsideFolder(L"C:\\Down\\Mirel Online\\a\\..\\..\\Setup.exe", folder));
    EXPECT_FALSE(IsInsideFolder(L"C:\\Down\\Mirel Online2\\Setup.exe", folder)) << "a sibling with the same start";
    EXPECT_FALSE(IsInsideFolder(L"C:\\Down\\Mirel Online\\", folder)) << "the folder itself";
    EXPECT_FALSE(IsInsideFolder(L"C:\\Down\\Mirel Online", folder));
    EXPECT_FALSE(IsInsideFolder(L"D:\\Down\\Mirel Online\\Setup.exe", folder));
}

// A torrent of several files is opened as its folder, which must pass the same check as a file.
TEST_F(MonitorTest, ATorrentOfSeveralFilesOpensItsFolder) {
    ASSERT_TRUE(::CreateDirectoryA((seedDir + "\\Pack").c_str(), nullptr));
    ASSERT_TRUE(WritePayload(seedDir + "\\Pack\\a.bin", 20000, 1));
    ASSERT_TRUE(WritePayload(seedDir + "\\Pack\\b.bin", 30000, 2));
    lt::file_storage fs;
    lt::add_files(fs, ToLibraryPath(seedDir + "\\Pack"));
    lt::create_torrent ct(fs, 16 * 1024, lt::create_torrent::v1_only);
    lt::set_piece_hashes(ct, ToLibraryPath(seedDir));
    std::vector<char> out;
    lt::bencode(std::back_inserter(out), ct.generate());
    ASSERT_TRUE(WriteBytes(down + "\\Mirel.ndn", std::string(out.begin(), out.end())));
    StartSession();
    std::wstring target;
    ASSERT_TRUE(ContentPath(Handle("Mirel.ndn"), AnsiToWide(down + "\\"), target));
    EXPECT_EQ(target, AnsiToWide(down) + L"\\Pack");
    ASSERT_TRUE(::CreateDirectoryA((down + "\\Pack").c_str(), nullptr));
    UniqueKernelHandle held;
    EXPECT_EQ(HoldIfStillOurs(target, held), OpenCheck::Ours) << "the folder the shell would open is ours";
}

TEST_F(MonitorTest, InstallerNamedWithTheWonSignIsOpenedByItsOwnName) {
    // U+20A9 becomes a backslash through code page 949's best-fit table: as an ANSI path this
    // name points at "Down\..\Setup.exe", above the download folder.
    const std::string name = AnsiToUtf8("..") + "\xE2\x82\xA9" + "Setup.exe";
    std::wstring wide;
    ASSERT_TRUE(Utf8ToWide(name, wide));
    ASSERT_EQ(Utf8ToAnsi(name), "..\\Setup.exe") << "the mapping this test is about";
    std::wstring seedFile = AnsiToWide(seedDir) + L"\\" + wide;
    ASSERT_TRUE(::CopyFileW(AnsiToWide(StandinPath("standin_installer.exe")).c_str(), seedFile.c_str(), FALSE));
    lt::file_storage fs;
    WIN32_FILE_ATTRIBUTE_DATA data{};
    ASSERT_TRUE(::GetFileAttributesExW(seedFile.c_str(), GetFileExInfoStandard, &data));
    fs.add_file(name, data.nFileSizeLow);
    lt::create_torrent ct(fs, 16 * 1024, lt::create_torrent::v1_only);
    lt::set_piece_hashes(ct, ToLibraryPath(seedDir));
    std::vector<char> out;
    lt::bencode(std::back_inserter(out), ct.generate());
    ASSERT_TRUE(WriteBytes(down + "\\Mirel.ndn", std::string(out.begin(), out.end())));
    ASSERT_TRUE(::CopyFileW(seedFile.c_str(), (AnsiToWide(down) + L"\\" + wide).c_str(), FALSE));
    StartSession();
    Start();
    ASSERT_TRUE(WaitUntil([&] { return InstallerRuns() == 1; })) << "the installer was not opened";
    std::string text;
    ASSERT_TRUE(ReadBytes(log, text));
    std::wstring logged;
    ASSERT_TRUE(Utf8ToWide(text, logged));
    EXPECT_NE(logged.find(L" " + AnsiToWide(down) + L"\\" + wide), std::wstring::npos);
}

// ---------------------------------------------------------------------------------------------
// The web seeds' policy: what it sees of the swarm and what it decides from it.

namespace {

constexpr int kPieces = 8;
constexpr std::int64_t kMiBps = 1024 * 1024;

lt::typed_bitfield<lt::piece_index_t> Pieces(std::initializer_list<int> held) {
    lt::typed_bitfield<lt::piece_index_t> bits(kPieces, false);
    for (int i : held) bits.set_bit(lt::piece_index_t(i));
    return bits;
}

// A connection from 10.0.0.`host` that has brought `total` bytes so far.
lt::peer_info Peer(int host, std::initializer_list<int> held, std::int64_t total, lt::peer_flags_t flags = {}) {
    lt::peer_info peer;
    peer.ip = lt::tcp::endpoint(lt::make_address_v4("10.0.0." + std::to_string(host)), 6881);
    peer.connection_type = lt::peer_info::standard_bittorrent;
    peer.pieces = Pieces(held);
    peer.total_download = total;
    peer.flags = flags;
    return peer;
}

lt::peer_info WebSeed(std::int64_t total) {
    lt::peer_info peer = Peer(99, {}, total);
    peer.connection_type = lt::peer_info::web_seed;
    return peer;
}

SwarmView View(int needed, int uncovered, std::int64_t peerRate, std::int64_t webRate) {
    SwarmView view;
    view.needed = needed;
    view.uncovered = uncovered;
    view.peerRate = peerRate;
    view.webRate = webRate;
    return view;
}

}  // namespace

TEST(WebSeedPolicy, CountsOnlyThePiecesHeldByPeersThatCanSendThem) {
    const auto have = Pieces({0, 1});
    std::vector<lt::peer_info> peers = {Peer(1, {2, 3}, 0), Peer(2, {4}, 0, lt::peer_info::remote_choked),
                                        Peer(3, {5}, 0, lt::peer_info::handshake), WebSeed(0)};
    ConnectionTotals totals;
    SwarmView view = ViewSwarm(have, peers, {}, totals, 0);
    EXPECT_EQ(view.needed, 6);
    EXPECT_EQ(view.uncovered, 3) << "5 is held by a peer still in its handshake; 4 by one that chokes us but has "
                                    "not kept us waiting yet";
    EXPECT_EQ(view.firstNeeded, 2);
    EXPECT_EQ(view.lastNeeded, 7);
    EXPECT_EQ(view.peerRate, 0) << "no rates at the first look";

    peers.push_back(Peer(4, {}, 0, lt::peer_info::seed));
    EXPECT_EQ(ViewSwarm(have, peers, {}, totals, 1000).uncovered, 0) << "a seed holds every piece";
}

TEST(WebSeedPolicy, RatesAreWhatEachConnectionBroughtSinceTheLastLook) {
    const auto have = Pieces({});
    ConnectionTotals totals;
    ViewSwarm(have, {Peer(1, {}, 5 * kMiBps), Peer(2, {}, 3 * kMiBps), WebSeed(7 * kMiBps)}, {}, totals, 0);
    // Two seconds later: peer 1 brought 6 MiB more, peer 2 reconnected (its count began
    // again) and brought 2 MiB, peer 3 is new, the web seed brought 8 MiB.
    SwarmView view = ViewSwarm(have, {Peer(1, {}, 11 * kMiBps), Peer(2, {}, 2 * kMiBps), Peer(3, {}, 9 * kMiBps),
                                      WebSeed(15 * kMiBps)},
                               {}, totals, 2000);
    EXPECT_EQ(view.peerRate, 4 * kMiBps) << "peer 3 counts from the next look on";
    EXPECT_EQ(view.webRate, 4 * kMiBps);
    EXPECT_EQ(totals.size(), 4u);
}

TEST(WebSeedPolicy, ALauncherWithoutPeersKeepsItsWebSeed) {
    WebSeedPolicy policy;
    for (std::uint32_t t = 0; t < 60000; t += 1000)
        ASSERT_EQ(policy.Look(View(kPieces, kPieces, 0, 4 * kMiBps), t), WebSeedPolicy::Action::None) << t;
    EXPECT_TRUE(policy.WebSeedsOn());
}

TEST(WebSeedPolicy, OffOnlyWhenPeersHoldEveryNeededPieceAndOutrunTheWebSeed) {
    WebSeedPolicy policy;
    EXPECT_EQ(policy.Look(View(8, 0, 9 * kMiBps, 4 * kMiBps), 0), WebSeedPolicy::Action::None);
    EXPECT_EQ(policy.Look(View(8, 0, 9 * kMiBps, 4 * kMiBps), 1000), WebSeedPolicy::Action::None)
        << "the web seed's rate is measured first";
    std::uint32_t t = WebSeedPolicy::kMinOnMs;
    EXPECT_EQ(policy.Look(View(8, 1, 9 * kMiBps, 4 * kMiBps), t), WebSeedPolicy::Action::None)
        << "one piece no peer holds";
    EXPECT_EQ(policy.Look(View(8, 0, 3 * kMiBps, 2 * kMiBps), t + 1000), WebSeedPolicy::Action::None)
        << "peers slower than the web seed's best";
    EXPECT_EQ(policy.Look(View(8, 0, 4 * kMiBps, 0), t + 2000), WebSeedPolicy::Action::Remove);
    EXPECT_FALSE(policy.WebSeedsOn());
    EXPECT_EQ(policy.LastReason(), WebSeedPolicy::Reason::PeersSupply);
}

TEST(WebSeedPolicy, BackAtOnceForAPieceNoPeerHolds) {
    WebSeedPolicy policy;
    policy.Look(View(8, 0, 9 * kMiBps, 4 * kMiBps), 0);
    ASSERT_EQ(policy.Look(View(8, 0, 9 * kMiBps, 4 * kMiBps), WebSeedPolicy::kMinOnMs), WebSeedPolicy::Action::Remove);
    EXPECT_EQ(policy.Look(View(6, 0, 9 * kMiBps, 0), WebSeedPolicy::kMinOnMs + 1000), WebSeedPolicy::Action::None);
    EXPECT_EQ(policy.Look(View(5, 1, 9 * kMiBps, 0), WebSeedPolicy::kMinOnMs + 2000), WebSeedPolicy::Action::Restore)
        << "the peer that held it left";
    EXPECT_TRUE(policy.WebSeedsOn());
    EXPECT_EQ(policy.LastReason(), WebSeedPolicy::Reason::PieceNobodyHolds);
    EXPECT_EQ(policy.Look(View(5, 0, 9 * kMiBps, 4 * kMiBps), WebSeedPolicy::kMinOnMs + 3000),
              WebSeedPolicy::Action::None)
        << "it works a while before it may go again";
}

TEST(WebSeedPolicy, BackWhenPeersStayBelowTheWebSeedsRate) {
    WebSeedPolicy policy;
    policy.Look(View(8, 0, 9 * kMiBps, 4 * kMiBps), 0);
    std::uint32_t t = WebSeedPolicy::kMinOnMs;
    ASSERT_EQ(policy.Look(View(8, 0, 9 * kMiBps, 4 * kMiBps), t), WebSeedPolicy::Action::Remove);
    EXPECT_EQ(policy.Look(View(8, 0, kMiBps, 0), t += 1000), WebSeedPolicy::Action::None) << "one slow look";
    EXPECT_EQ(policy.Look(View(8, 0, 5 * kMiBps, 0), t += 1000), WebSeedPolicy::Action::None);
    EXPECT_EQ(policy.Look(View(8, 0, kMiBps, 0), t += 1000), WebSeedPolicy::Action::None) << "not in a row";
    EXPECT_EQ(policy.Look(View(8, 0, 0, 0), t += 1000), WebSeedPolicy::Action::Restore);
    EXPECT_EQ(policy.LastReason(), WebSeedPolicy::Reason::PeersSlow);
}

TEST(WebSeedPolicy, NothingToDoOnceComplete) {
    WebSeedPolicy policy;
    EXPECT_EQ(policy.Look(View(0, 0, 9 * kMiBps, 0), 0), WebSeedPolicy::Action::None);
    EXPECT_EQ(policy.Look(View(0, 0, 9 * kMiBps, 0), 60000), WebSeedPolicy::Action::None);
    EXPECT_TRUE(policy.WebSeedsOn());
}
