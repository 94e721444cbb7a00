// The main window's face, labels, progress bar and exit button, painted for real and read back
// pixel by pixel from the window.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "download/PackedFile.h"
#include "res/resource.h"
#include "test_torrent_support.h"
#include "test_support.h"
#include "ui/MirelLauncherDlg.h"
#include "dlg_probe.h"

namespace {

const COLORREF kBarRows[11] = {RGB(76, 140, 243), RGB(72, 134, 237), RGB(62, 118, 231), RGB(52, 102, 222),
                               RGB(45, 93, 213),  RGB(42, 89, 210),  RGB(41, 92, 211),  RGB(43, 103, 222),
                               RGB(49, 122, 234), RGB(55, 138, 241), RGB(56, 145, 242)};

// The pixels of a window's client area, as the screen shows them.
class Capture {
public:
    explicit Capture(HWND hWnd) {
        RECT rc;
        ::GetClientRect(hWnd, &rc);
        w = rc.right;
        h = rc.bottom;
        HDC wdc = ::GetDC(hWnd);
        HDC mem = ::CreateCompatibleDC(wdc);
        BITMAPINFO bi{};
        bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
        bi.bmiHeader.biWidth = w;
        bi.bmiHeader.biHeight = -h;
        bi.bmiHeader.biPlanes = 1;
        bi.bmiHeader.biBitCount = 32;
        void* bits = nullptr;
        HBITMAP dib = ::CreateDIBSection(wdc, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
        HGDIOBJ old = ::SelectObject(mem, dib);
        ::BitBlt(mem, 0, 0, w, h, wdc, 0, 0, SRCCOPY);
        ::GdiFlush();
        px.assign(static_cast<const DWORD*>(bits), static_cast<const DWORD*>(bits) + w * h);
        ::SelectObject(mem, old);
        ::DeleteObject(dib);
        ::DeleteDC(mem);
        ::ReleaseDC(hWnd, wdc);
    }
    COLORREF at(int x, int y) const {
        DWORD v = px[y * w + x];
        return RGB((v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF);
    }
    int w = 0, h = 0;
    std::vector<DWORD> px;
};

// The pixels of a bitmap resource.
std::vector<COLORREF> BitmapPixels(UINT id, int& w, int& h) {
    HBITMAP bmp = ::LoadBitmapA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(id));
    BITMAP bm{};
    ::GetObjectA(bmp, sizeof(bm), &bm);
    w = bm.bmWidth;
    h = bm.bmHeight;
    std::vector<COLORREF> out(w * h);
    HDC dc = ::CreateCompatibleDC(nullptr);
    HGDIOBJ old = ::SelectObject(dc, bmp);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) out[y * w + x] = ::GetPixel(dc, x, y);
    ::SelectObject(dc, old);
    ::DeleteDC(dc);
    ::DeleteObject(bmp);
    return out;
}

// Handles what is queued for this thread; painting itself is synchronous (RDW_UPDATENOW).
void Drain() {
    MSG msg;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
}

void RegisterLauncherClass() {
    WNDCLASSA wc{};
    ::GetClassInfoA(::GetModuleHandleA(nullptr), "#32770", &wc);
    wc.lpszClassName = "Mirel Launcher";
    wc.hInstance = ::GetModuleHandleA(nullptr);
    AfxRegisterClass(&wc);
}

// The main window created for real (modeless here), with its start timer stopped so that no
// launch sequence runs.
class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        RegisterLauncherClass();
        ASSERT_TRUE(dlg.Create(IDD_LAUNCHER_DIALOG));
        dlg.KillTimer(TIMER_START);
        Drain();
    }
    void TearDown() override {
        if (dlg.m_hWnd) dlg.DestroyWindow();
    }
    void Repaint() {
        DlgProbe::m_progress(dlg).RedrawWindow(RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
        dlg.RedrawWindow(RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    }
    CMirelLauncherDlg dlg;
};

}  // namespace

TEST_F(MainWindowTest, WindowGeometryTextAndControls) {
    RECT wr;
    dlg.GetWindowRect(&wr);
    EXPECT_EQ(wr.right - wr.left, 520);
    EXPECT_EQ(wr.bottom - wr.top, 316);
    char text[64] = {};
    dlg.GetWindowText(text, sizeof(text));
    EXPECT_STREQ(text, "Mirel Online Launcher");
    // The labels start as string 131 and empty; the two statics stay hidden.
    EXPECT_STREQ(DlgProbe::m_szStatusText(dlg), "게임 실행을 위해 작업을 준비중입니다.");
    EXPECT_STREQ(DlgProbe::m_szSizeText(dlg), "");
    EXPECT_FALSE(::IsWindowVisible(DlgProbe::m_stStatus(dlg).m_hWnd));
    EXPECT_FALSE(::IsWindowVisible(DlgProbe::m_stSize(dlg).m_hWnd));
    // Each control sits at its pixel rectangle.
    struct Expect {
        HWND h;
        RECT r;
    };
    const Expect controls[] = {
        {DlgProbe::m_progress(dlg).m_hWnd, {35, 252, 35 + 450, 252 + 9}},
        {DlgProbe::m_btnExit(dlg).m_hWnd, {223, 277, 223 + 74, 277 + 25}},
        {DlgProbe::m_stStatus(dlg).m_hWnd, {34, 228, 34 + 270, 228 + 15}},
        {DlgProbe::m_stSize(dlg).m_hWnd, {370, 228, 370 + 116, 228 + 15}},
    };
    for (const auto& c : controls) {
        RECT r;
        ::GetWindowRect(c.h, &r);
        ::MapWindowPoints(nullptr, dlg.m_hWnd, reinterpret_cast<POINT*>(&r), 2);
        EXPECT_EQ(r.left, c.r.left);
        EXPECT_EQ(r.top, c.r.top);
        EXPECT_EQ(r.right, c.r.right);
        EXPECT_EQ(r.bottom, c.r.bottom);
    }
    EXPECT_FALSE(::GetWindowLongA(dlg.m_hWnd, GWL_EXSTYLE) & WS_EX_TOPMOST);
    // Menu 137 ships with the program, but the window never shows it.
    EXPECT_EQ(::GetMenu(dlg.m_hWnd), nullptr);
    HMENU menu = ::LoadMenuA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDR_POPUP_MENU));
    ASSERT_TRUE(menu);
    ASSERT_EQ(::GetMenuItemCount(menu), 1);
    ::GetMenuStringA(menu, 0, text, sizeof(text), MF_BYPOSITION);
    EXPECT_STREQ(text, "팝업");
    HMENU popup = ::GetSubMenu(menu, 0);
    ASSERT_EQ(::GetMenuItemCount(popup), 2);
    const std::pair<UINT, const char*> items[] = {{ID_MENU_OPEN, "열기"}, {ID_MENU_EXIT, "끝내기"}};
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(::GetMenuItemID(popup, i), items[i].first);
        ::GetMenuStringA(popup, i, text, sizeof(text), MF_BYPOSITION);
        EXPECT_STREQ(text, items[i].second);
    }
    ::DestroyMenu(menu);
}

TEST_F(MainWindowTest, FaceIsPaintedUnderTheLabels) {
    DlgProbe::m_szStatusText(dlg)[0] = '\0';
    Repaint();
    Capture shot(dlg.m_hWnd);
    int bw, bh;
    auto face = BitmapPixels(IDB_BACKGROUND, bw, bh);
    ASSERT_EQ(bw, 520);
    ASSERT_EQ(bh, 316);
    // Everywhere outside the controls, the client area is the face's top-left part.
    int mismatches = 0, checked = 0;
    for (int y = 0; y < shot.h; y += 3)
        for (int x = 0; x < shot.w; x += 3) {
            if (y >= 250 && y < 263 && x >= 33 && x < 487) continue;    // progress bar
            if (y >= 275 && y < 304 && x >= 221 && x < 299) continue;   // exit button
            ++checked;
            if (shot.at(x, y) != face[y * bw + x]) ++mismatches;
        }
    EXPECT_GT(checked, 10000);
    EXPECT_EQ(mismatches, 0);
}

TEST_F(MainWindowTest, LabelsDrawInsideTheirRectanglesAndAreCut) {
    std::string longText;
    for (int i = 0; i < 40; ++i) longText += "가나다라 ";
    lstrcpynA(DlgProbe::m_szStatusText(dlg), longText.c_str(), MAX_PATH);
    lstrcpynA(DlgProbe::m_szSizeText(dlg), "123456789012345678901234567890K/700M", MAX_PATH);
    Repaint();
    Capture shot(dlg.m_hWnd);
    int bw, bh;
    auto face = BitmapPixels(IDB_BACKGROUND, bw, bh);
    auto changed = [&](int x, int y) { return shot.at(x, y) != face[y * bw + x]; };
    int insideStatus = 0, nearRightEdge = 0, outside = 0;
    for (int y = 220; y < 250; ++y)
        for (int x = 20; x < 500; ++x) {
            if (!changed(x, y)) continue;
            bool inStatus = x >= 34 && x < 304 && y >= 228 && y < 243;
            bool inSize = x >= 370 && x < 486 && y >= 228 && y < 243;
            if (inStatus) ++insideStatus;
            if (inStatus && x >= 290) ++nearRightEdge;
            if (!inStatus && !inSize) ++outside;
        }
    EXPECT_GT(insideStatus, 200);
    EXPECT_GT(nearRightEdge, 0) << "a long status text runs up to the rectangle's edge";
    EXPECT_EQ(outside, 0) << "nothing is drawn outside the label rectangles";
    // The size label is right-aligned: ink reaches the right edge of its rectangle.
    int sizeRight = 0;
    for (int y = 228; y < 243; ++y)
        for (int x = 476; x < 486; ++x) sizeRight += changed(x, y);
    EXPECT_GT(sizeRight, 0);
    // Label text is white.
    bool sawWhite = false;
    for (int y = 228; y < 243 && !sawWhite; ++y)
        for (int x = 34; x < 304; ++x)
            if (shot.at(x, y) == RGB(255, 255, 255)) sawWhite = true;
    EXPECT_TRUE(sawWhite);
}

TEST_F(MainWindowTest, ProgressBarFillsItsShareWithTheGradientOverABlackTrack) {
    struct Case {
        int pos;
        int filled;
    };
    // A position outside 0..100 is ignored: the bar keeps what it showed.
    const Case cases[] = {{0, 0}, {33, 148}, {50, 225}, {101, 225}, {100, 450}, {-1, 450}};
    for (const auto& c : cases) {
        DlgProbe::m_progress(dlg).SetPos(c.pos);
        Repaint();
        Capture bar(DlgProbe::m_progress(dlg).m_hWnd);
        ASSERT_EQ(bar.w, 450);
        ASSERT_EQ(bar.h, 9);
        int filled = 0;
        for (int x = 0; x < bar.w; ++x)
            if (bar.at(x, 4) != RGB(0, 0, 0)) ++filled;
        EXPECT_EQ(filled, c.filled) << "position " << c.pos;
        // The 11 image rows are squeezed into 9 in the default stretching mode, which ANDs the
        // rows it merges: every bar row is one image row or the AND of a run of adjacent rows,
        // top to bottom, and all 11 rows are used.
        int next = 0;
        for (int y = 0; y < 9 && c.filled > 0; ++y) {
            COLORREF v = bar.at(0, y);
            COLORREF merged = 0xFFFFFF;
            int end = next;
            while (end < 11 && merged != v) merged &= kBarRows[end++];
            EXPECT_EQ(merged, v) << "row " << y << " colour " << std::hex << v;
            next = end;
            EXPECT_EQ(bar.at(c.filled - 1, y), v) << "the stretch repeats each row across";
        }
        if (c.filled > 0) {
            EXPECT_EQ(next, 11);
        }
        if (c.filled < 450) {
            EXPECT_EQ(bar.at(449, 4), RGB(0, 0, 0));
        }
    }
}

TEST_F(MainWindowTest, ProgressBarWithoutImageIsFlat) {
    DlgProbe::m_progress(dlg).SetBarBitmap(4242);  // no such bitmap
    EXPECT_FALSE(DlgProbe::m_progress(dlg).m_bHasBitmap);
    DlgProbe::m_progress(dlg).SetPos(50);
    Repaint();
    Capture bar(DlgProbe::m_progress(dlg).m_hWnd);
    for (int y = 0; y < 9; ++y) {
        EXPECT_EQ(bar.at(0, y), RGB(160, 160, 208));
        EXPECT_EQ(bar.at(224, y), RGB(160, 160, 208));
        EXPECT_EQ(bar.at(225, y), RGB(0, 0, 0));
    }
    // A second image replaces the first, which is released.
    DlgProbe::m_progress(dlg).SetBarBitmap(IDB_PROGRESS_BAR);
    EXPECT_TRUE(DlgProbe::m_progress(dlg).m_bHasBitmap);
    const HGDIOBJ first = DlgProbe::m_progress(dlg).m_bmBar.m_hObject;
    ASSERT_EQ(::GetObjectType(first), static_cast<DWORD>(OBJ_BITMAP));
    DlgProbe::m_progress(dlg).SetBarBitmap(IDB_PROGRESS_BAR);
    EXPECT_TRUE(DlgProbe::m_progress(dlg).m_bHasBitmap);
    EXPECT_NE(DlgProbe::m_progress(dlg).m_bmBar.m_hObject, first);
    EXPECT_EQ(::GetObjectType(first), 0u) << "the first image was not released";
}

TEST_F(MainWindowTest, ExitButtonShowsNormalHoverAndPressedImages) {
    struct Case {
        const char* what;
        bool hover;
        bool pressed;
        UINT image;
    };
    const Case cases[] = {
        {"normal", false, false, IDB_BTN_NORMAL},
        {"hover", true, false, IDB_BTN_HOVER},
        {"pressed wins over hover", true, true, IDB_BTN_PRESSED},
        {"pressed", false, true, IDB_BTN_PRESSED},
    };
    dlg.KillTimer(TIMER_HOVER);  // the hover state is set by hand here
    for (const auto& c : cases) {
        DlgProbe::m_btnExit(dlg).m_bHover = c.hover ? TRUE : FALSE;
        ::SendMessageA(DlgProbe::m_btnExit(dlg).m_hWnd, BM_SETSTATE, c.pressed ? TRUE : FALSE, 0);
        DlgProbe::m_btnExit(dlg).RedrawWindow(RDW_INVALIDATE | RDW_UPDATENOW);
        Capture shot(DlgProbe::m_btnExit(dlg).m_hWnd);
        int iw, ih;
        auto image = BitmapPixels(c.image, iw, ih);
        ASSERT_EQ(shot.w, iw);
        ASSERT_EQ(shot.h, ih);
        int diff = 0;
        for (int y = 0; y < ih; ++y)
            for (int x = 0; x < iw; ++x) diff += shot.at(x, y) != image[y * iw + x];
        EXPECT_EQ(diff, 0) << c.what;
    }
    ::SendMessageA(DlgProbe::m_btnExit(dlg).m_hWnd, BM_SETSTATE, FALSE, 0);
}

namespace {

// A run of the launch sequence on the created window, for a game whose installation record
// lies under a key of its own and whose download folder is a fresh folder.
class SequenceOnWindowTest : public MainWindowTest {
protected:
    void SetUp() override {
        MainWindowTest::SetUp();
        key = std::string("Software\\MirelUnitTest\\") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, key.c_str());
        DlgProbe::m_config(dlg).downloadDir = tmp.path() + "\\\\Down\\Mirel Online\\";
        DlgProbe::m_config(dlg).listenPort = 0;
        DlgProbe::m_config(dlg).listenInterface = "127.0.0.1";
    }
    void TearDown() override {
        ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, key.c_str());
        MainWindowTest::TearDown();
    }
    // A packed description of a 64 KiB installer (a torrent nobody seeds: a run that fetches it
    // waits for the installer), served by the test HTTP server under a folder of this test's own.
    // Its URL, empty when it could not be served; `plain` gets the unpacked description.
    std::string ServeDescription(const std::string& tag, std::string& plain) {
        const std::string served = HostToWindows(kHttpTestServerDir);
        std::string port;
        if (!ReadBytes(served + "\\port", port)) {
            ADD_FAILURE() << "the test HTTP server is not running";
            return {};
        }
        const std::string folder = tag + "-" + std::to_string(TestSeed());
        ::CreateDirectoryA((served + "\\files\\" + folder).c_str(), nullptr);
        if (!WritePayload(tmp / "Setup.exe", 64 * 1024) ||
            MakeTorrentFile(tmp.path(), "Setup.exe", tmp / "plain.torrent").empty() ||
            !ReadBytes(tmp / "plain.torrent", plain) ||
            !WriteBytes(served + "\\files\\" + folder + "\\Mirel.ndn", PackContent(plain))) {
            ADD_FAILURE() << "the description could not be served";
            return {};
        }
        return "http://127.0.0.1:" + std::to_string(std::atoi(port.c_str())) + "/files/" + folder + "/Mirel.ndn";
    }
    void Record(const std::string& installPath) {
        HKEY h = nullptr;
        ASSERT_EQ(::RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr),
                  ERROR_SUCCESS);
        const char version[] = "1.0.0";
        ::RegSetValueExA(h, "InstallPath", 0, REG_SZ, reinterpret_cast<const BYTE*>(installPath.c_str()),
                         static_cast<DWORD>(installPath.size() + 1));
        ::RegSetValueExA(h, "Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version), sizeof(version));
        ::RegCloseKey(h);
    }
    // The start flag is not "0": no patcher is started.
    std::string StartString() const { return "u*t*" + key + "*s*http://127.0.0.1:9/Mirel.ndn*1"; }

    TempDir tmp;
    std::string key;
};

}  // namespace

TEST_F(SequenceOnWindowTest, StatusLineSaysTheGameIsRunningOnceTheRunReachesThePatcherStep) {
    Record(tmp.path());
    EXPECT_STREQ(DlgProbe::m_szStatusText(dlg), "게임 실행을 위해 작업을 준비중입니다.");
    EXPECT_EQ(dlg.ProcessStartParam(StartString().c_str()), kSequenceDone);
    EXPECT_STREQ(DlgProbe::m_szStatusText(dlg), "게임이 실행 중입니다.");
}

TEST_F(SequenceOnWindowTest, MessageTwoStartsNoSequenceOnceAnExitIsPending) {
    Record(tmp.path());
    const std::string text = StartString();
    HANDLE mapping = ::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 1024, "Start Param Map");
    ASSERT_TRUE(mapping);
    void* view = ::MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 1024);
    ASSERT_TRUE(view);
    std::memcpy(view, text.c_str(), text.size() + 1);
    DlgProbe::m_bExitPending(dlg) = true;
    dlg.OnStartParamMsg(0, 0);
    EXPECT_STREQ(DlgProbe::m_szStatusText(dlg), "게임 실행을 위해 작업을 준비중입니다.");
    EXPECT_FALSE(IsDirectory(tmp / "Down")) << "the sequence took the download folder";
    // Without an exit pending, the same message runs the sequence to its end.
    DlgProbe::m_bExitPending(dlg) = false;
    dlg.OnStartParamMsg(0, 0);
    EXPECT_STREQ(DlgProbe::m_szStatusText(dlg), "게임이 실행 중입니다.");
    ::UnmapViewOfFile(view);
    ::CloseHandle(mapping);
}

// An installed game whose download folder holds torrent files: no fetch and no wait (the run
// would stop at a message for the unreachable address otherwise), and the monitor that starts
// for those files is told to stop at the end of the same run.
TEST_F(SequenceOnWindowTest, AnInstalledGameWithTorrentFilesStartsTheMonitorAndStopsItInTheSameRun) {
    ASSERT_TRUE(::CreateDirectoryA((tmp / "Game").c_str(), nullptr));
    Record(tmp / "Game");
    {
        DownloadFolder made;  // the folder as an earlier download left it: ours alone
        ASSERT_EQ(made.Take(DlgProbe::m_config(dlg).downloadDir, DownloadFolder::ForDownload), DownloadFolder::Trusted);
    }
    ASSERT_TRUE(WriteBytes(tmp / "Down\\Mirel Online\\old.ndn", "not a torrent"));
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(dlg.ProcessStartParam(StartString().c_str()), kSequenceDone);
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(DlgProbe::m_torrentFiles(dlg).size(), 1u);
    TorrentMonitor& monitor = DlgProbe::m_monitor(dlg);
    ASSERT_TRUE(monitor.Started());
    EXPECT_EQ(::WaitForSingleObject(monitor.ThreadHandle(), 10000), static_cast<DWORD>(WAIT_OBJECT_0))
        << "the monitor was not told to stop";
    EXPECT_EQ(::GetFileAttributesA((tmp / "Down\\Mirel Online\\Mirel.ndn").c_str()), INVALID_FILE_ATTRIBUTES)
        << "nothing was fetched";
}

// The start timer runs its sequence even when a message 2 has already started one: the first
// run, waiting for the installer, dispatches the timer and so runs the second inside itself.
// Here the first run downloads a game (its description from the test HTTP server, no peer: it
// waits), and the timer's command line is that of an installed game.
TEST_F(SequenceOnWindowTest, TheStartTimerRunsItsSequenceInsideARunThatWaitsForTheInstaller) {
    std::string plain;
    const std::string url = ServeDescription("nested", plain);
    ASSERT_FALSE(url.empty());

    const std::string downloadKey = key;
    Record(tmp / "Game");  // missing: the game is not installed
    key = downloadKey + "\\Installed";
    ASSERT_TRUE(::CreateDirectoryA((tmp / "Installed").c_str(), nullptr));
    Record(tmp / "Installed");
    std::string timerLine = "u*t*" + key + "*s*http://127.0.0.1:9/Mirel.ndn*1";
    key = downloadKey;
    CWinApp app("MirelNestedRunTest");
    app.m_lpCmdLine = &timerLine[0];

    // The start timer fires once the first run has its description, so in its wait for the
    // installer (a timer set before the run fires whenever the fetch happens to pump messages,
    // and a slow fetch on a busy machine does). The timer's run ends with a close, which hides
    // this modeless window; the first run's wait is then ended as a user's close would end it.
    const HWND hwnd = dlg.m_hWnd;
    dlg.ShowWindow(SW_SHOW);
    ASSERT_TRUE(::IsWindowVisible(hwnd));
    const std::string fetched = tmp / "Down\\Mirel Online\\Mirel.ndn";
    std::thread closer([hwnd, fetched] {
        if (WaitUntil([&fetched] { return ::GetFileAttributesA(fetched.c_str()) != INVALID_FILE_ATTRIBUTES; }, 60000))
            ::PostMessageA(hwnd, WM_TIMER, TIMER_START, 0);
        WaitUntil([hwnd] { return !::IsWindowVisible(hwnd); }, 60000);
        ::PostMessageA(hwnd, WM_CLOSE, 0, 0);
    });
    ::testing::internal::CaptureStdout();
    const std::string first = "u*t*" + key + "*s*" + url + "*1";
    const SequenceResult result = dlg.ProcessStartParam(first.c_str());
    ::testing::internal::GetCapturedStdout();
    closer.join();

    EXPECT_EQ(result, kSequenceInterrupted);
    EXPECT_TRUE(ReadBytes(tmp / "Down\\Mirel Online\\Mirel.ndn", plain)) << "the first run fetched nothing";
    EXPECT_STREQ(DlgProbe::m_szStatusText(dlg), "게임이 실행 중입니다.") << "the timer's run did not reach its end";
    TorrentMonitor& monitor = DlgProbe::m_monitor(dlg);
    ASSERT_TRUE(monitor.Started());
    EXPECT_EQ(::WaitForSingleObject(monitor.ThreadHandle(), 10000), static_cast<DWORD>(WAIT_OBJECT_0))
        << "the timer's run did not stop the monitor";
}

namespace {

BOOL CALLBACK FindMessageBox(HWND h, LPARAM lp) {
    char cls[64] = {};
    ::GetClassNameA(h, cls, sizeof(cls));
    if (std::strcmp(cls, "#32770") != 0 || !::IsWindowVisible(h)) return TRUE;
    *reinterpret_cast<HWND*>(lp) = h;
    return FALSE;
}

// The first visible message box of the thread, or null.
HWND MessageBoxOf(DWORD thread) {
    HWND found = nullptr;
    ::EnumThreadWindows(thread, FindMessageBox, reinterpret_cast<LPARAM>(&found));
    return found;
}

}  // namespace

// The notice that the installer is not opened, when it comes during the wait for the installer:
// the player reads it and the window closes. (The wait takes a posted close as the player's
// stop: a notice that posted its close left the window open with nothing running.)
TEST_F(SequenceOnWindowTest, TheInstallerNotOpenedNoticeInTheWaitClosesTheWindow) {
    std::string plain;
    const std::string url = ServeDescription("refused", plain);
    ASSERT_FALSE(url.empty());
    Record(tmp / "Game");  // missing: the game is not installed, and no peer: the run waits

    const HWND hwnd = dlg.m_hWnd;
    dlg.ShowWindow(SW_SHOW);
    // Taken by the run's wait, as the monitor's notice would be.
    ASSERT_TRUE(::PostMessageA(hwnd, WM_APP_NOTICE, kNoticeInstallerRefused, 0));
    const DWORD self = ::GetCurrentThreadId();
    std::string told;
    bool closed = false;
    std::thread player([&] {
        HWND box = nullptr;
        if (!WaitUntil([&] { return (box = MessageBoxOf(self)) != nullptr; }, 60000)) return;
        char text[512] = {};
        ::GetDlgItemTextA(box, 0xFFFF, text, sizeof(text));
        told = text;
        ::PostMessageA(box, WM_COMMAND, IDOK, 0);
        // This window is modeless: a close hides it and the wait goes on, so a close of the
        // test's own ends it once seen.
        closed = WaitUntil([hwnd] { return !::IsWindowVisible(hwnd); }, 10000);
        ::PostMessageA(hwnd, WM_CLOSE, 0, 0);
    });
    ::testing::internal::CaptureStdout();
    const std::string line = "u*t*" + key + "*s*" + url + "*1";
    const SequenceResult result = dlg.ProcessStartParam(line.c_str());
    ::testing::internal::GetCapturedStdout();
    player.join();

    EXPECT_EQ(result, kSequenceInterrupted);
    EXPECT_NE(told.find("다운로드한 설치 파일을 열지 않았습니다."), std::string::npos) << told;
    EXPECT_TRUE(closed) << "the window stayed open";
    TorrentMonitor& monitor = DlgProbe::m_monitor(dlg);
    ASSERT_TRUE(monitor.Started());
    EXPECT_EQ(::WaitForSingleObject(monitor.ThreadHandle(), 10000), static_cast<DWORD>(WAIT_OBJECT_0));
}
