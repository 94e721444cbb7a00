// The main window: construction, initialisation, message routing, painting and dragging, its
// four timers, the starter's message 2, the two exits and the other commands. The launch
// sequence it runs is in LaunchSequence.cpp.
#include "ui/MirelLauncherDlg.h"

#include "common/CodePage.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/Diagnostics.h"
#include "framework/handles.h"
#include "launcher/StartParams.h"
#include "torrent/TorrentSession.h"
#include "ui/SizeText.h"
#include "ui/TorrentInfoDlg.h"

namespace {

constexpr int kWindowWidth = 520;
constexpr int kWindowHeight = 316;
const RECT kStatusRect = {34, 228, 304, 243};
const RECT kSizeRect = {370, 228, 486, 243};

// The confirmed exit waits for the heartbeat of timer 4, which only this thread's own timer
// signals: a blocking wait could never see the next one, so it is bounded by one period.
constexpr DWORD kHeartbeatWaitMs = 1000;
// The unconfirmed exit waits for the monitor thread to take the stop request. It keeps
// serving messages sent to this thread meanwhile (the shell, opening the installer on the
// monitor thread, may broadcast to every top-level window), and gives up after this long
// rather than hang.
constexpr DWORD kMonitorStopWaitMs = 5000;

constexpr DWORD kStartParamViewSize = 1024;

}  // namespace

CMirelLauncherDlg::CMirelLauncherDlg(const LaunchConfig& config, CWnd* pParent)
    : CDialog(IDD_LAUNCHER_DIALOG, pParent), m_config(config) {
    m_hIcon = AfxGetApp() ? AfxGetApp()->LoadIcon(IDI_LAUNCHER) : nullptr;
}

CMirelLauncherDlg::~CMirelLauncherDlg() {
    // The monitor thread uses the session and the folder: it is stopped, and known to be
    // stopped, before either goes away.
    m_monitor.Stop(INFINITE);
    try {
        m_pSession.reset();
    } catch (...) {
    }
    m_downloadFolder.Release();
}

void CMirelLauncherDlg::DoDataExchange(CDataExchange* pDX) {
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_PROGRESS, m_progress);
    DDX_Control(pDX, IDC_BTN_EXIT, m_btnExit);
    DDX_Control(pDX, IDC_STATIC_STATUS, m_stStatus);
    DDX_Control(pDX, IDC_STATIC_SIZE, m_stSize);
}

BOOL CMirelLauncherDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    SetWindowPos(HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    LoadTexts();
    InitLayout();
    m_hAccel = ::LoadAcceleratorsA(AfxGetResourceHandle(), MAKEINTRESOURCEA(IDR_ACCEL));
    SetWindowText("Mirel Online Launcher");
    SetWindowPos(HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    return TRUE;
}

void CMirelLauncherDlg::LoadTexts() {
    HINSTANCE hInst = AfxGetResourceHandle();
    ::LoadStringA(hInst, IDS_EXIT_CONFIRM, m_szExitConfirm, MAX_PATH);
    ::LoadStringA(hInst, IDS_PREPARING, m_szPreparingText, MAX_PATH);
    ::LoadStringA(hInst, IDS_GAME_RUNNING, m_szRunningText, MAX_PATH);
    m_font.CreateFont(12, 0, 0, 0, 500, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                      CLEARTYPE_QUALITY, FF_SWISS | DEFAULT_PITCH, "굴림");
}

void CMirelLauncherDlg::InitLayout() {
    ::SetActiveWindow(m_hWnd);
    MoveWindow(0, 0, kWindowWidth, kWindowHeight);
    CenterWindow();

    m_bmpFace.LoadBitmap(IDB_BACKGROUND, AfxGetResourceHandle());
    m_btnExit.LoadBitmaps(IDB_BTN_NORMAL, IDB_BTN_PRESSED, IDB_BTN_HOVER, 0);
    m_btnExit.MoveWindow(223, 277, 74, 25);
    m_progress.MoveWindow(35, 252, 450, 9);
    m_progress.SetBarBitmap(IDB_PROGRESS_BAR);
    m_stStatus.MoveWindow(34, 228, 270, 15);
    lstrcpynA(m_szStatusText, m_szPreparingText, MAX_PATH);
    m_stSize.MoveWindow(370, 228, 116, 15);

    SetTimer(TIMER_HOVER, 50);
    SetTimer(TIMER_REFRESH, 500);
    SetTimer(TIMER_START, 400);
    SetTimer(TIMER_SIGNAL, 1000);
}

BOOL CMirelLauncherDlg::PreTranslateMessage(MSG* pMsg) {
    if (m_hAccel && ::TranslateAcceleratorA(m_hWnd, m_hAccel, pMsg)) return TRUE;
    return CDialog::PreTranslateMessage(pMsg);
}

BOOL CMirelLauncherDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult) {
    switch (message) {
    case WM_START_PARAM:
        // The starter's message is also WM_DESTROY. While the window is really being destroyed it gets the
        // normal destroy handling; from anyone else it announces a start parameter string.
        if (IsBeingDestroyed()) return FALSE;
        *pResult = OnStartParamMsg(wParam, lParam);
        return TRUE;
    case WM_PAINT:
        OnPaint();
        return TRUE;
    case WM_ERASEBKGND:
        *pResult = FALSE;
        return TRUE;
    case WM_QUERYDRAGICON:
        *pResult = reinterpret_cast<LRESULT>(m_hIcon);
        return TRUE;
    case WM_LBUTTONDOWN:
        OnLButtonDown();
        return TRUE;
    case WM_LBUTTONUP:
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDC_BTN_EXIT:
            if (HIWORD(wParam) == BN_CLICKED) {
                OnBnClickedExit();
                return TRUE;
            }
            break;
        case ID_MENU_OPEN:
            OnMenuOpen();
            return TRUE;
        case ID_MENU_EXIT:
            OnMenuExit();
            return TRUE;
        case ID_SHOW_PEER_INFO:
            OnShowPeerInfo();
            return TRUE;
        default:
            break;
        }
        break;
    case WM_TIMER:
        OnTimer(static_cast<UINT_PTR>(wParam));
        return TRUE;
    case WM_APP_NOTICE:
        OnNotice(wParam);
        return TRUE;
    case WM_APP_PEER_ROWS:
        OnPeerRows();
        return TRUE;
    default:
        break;
    }
    return FALSE;
}

void CMirelLauncherDlg::OnPaint() {
    if (IsIconic()) {
        PAINTSTRUCT ps;
        HDC hdc = ::BeginPaint(m_hWnd, &ps);
        ::SendMessageA(m_hWnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(hdc), 0);
        RECT rc;
        GetClientRect(&rc);
        int x = (rc.right - rc.left - ::GetSystemMetrics(SM_CXICON) + 1) / 2;
        int y = (rc.bottom - rc.top - ::GetSystemMetrics(SM_CYICON) + 1) / 2;
        ::DrawIcon(hdc, x, y, m_hIcon);
        ::EndPaint(m_hWnd, &ps);
        return;
    }

    PAINTSTRUCT ps;
    HDC hdc = ::BeginPaint(m_hWnd, &ps);
    RECT rc;
    GetClientRect(&rc);
    const int w = rc.right - rc.left, h = rc.bottom - rc.top;

    // The face and the label line are composed off screen and put on the screen at once,
    // around the visible controls: the dialog does not clip its children, and painting the
    // face over the bar and the button would show them gone until they paint again.
    CDC back;
    CDC face;
    UniqueGdiObject buffer;
    HGDIOBJ oldBack = nullptr;
    HDC target = hdc;
    if (back.CreateCompatibleDC(hdc) && face.CreateCompatibleDC(hdc))
        buffer.reset(::CreateCompatibleBitmap(hdc, w, h));
    if (buffer) {
        oldBack = back.SelectObject(buffer.get());
        target = back;
    }
    RECT all = {0, 0, w, h};
    ::FillRect(target, &all, static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH)));
    if (m_bmpFace.m_hObject && face.m_hDC) {
        HGDIOBJ oldFace = face.SelectObject(m_bmpFace.m_hObject);
        ::BitBlt(target, 0, 0, w, h, face, 0, 0, SRCCOPY);
        face.SelectObject(oldFace);
    }

    ::SetBkMode(target, TRANSPARENT);
    ::SetTextColor(target, m_crText);
    HGDIOBJ oldFont = ::SelectObject(target, m_font.m_hObject);
    RECT status = kStatusRect, size = kSizeRect;
    ::DrawTextA(target, m_szStatusText, -1, &status, DT_SINGLELINE | DT_VCENTER | DT_LEFT);
    ::DrawTextA(target, m_szSizeText, -1, &size, DT_SINGLELINE | DT_VCENTER | DT_RIGHT);
    ::SelectObject(target, oldFont);

    if (target != hdc) {
        for (HWND child = ::GetWindow(m_hWnd, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT)) {
            if (!::IsWindowVisible(child)) continue;
            RECT r;
            ::GetWindowRect(child, &r);
            ::MapWindowPoints(nullptr, m_hWnd, reinterpret_cast<POINT*>(&r), 2);
            ::ExcludeClipRect(hdc, r.left, r.top, r.right, r.bottom);
        }
        ::BitBlt(hdc, 0, 0, w, h, back, 0, 0, SRCCOPY);
        back.SelectObject(oldBack);
    }
    ::EndPaint(m_hWnd, &ps);
}

void CMirelLauncherDlg::OnLButtonDown() {
    // Drag the caption-less window from anywhere on its face.
    ::SendMessageA(m_hWnd, WM_NCLBUTTONDOWN, HTCAPTION, 0);
}

void CMirelLauncherDlg::SetSizeText(float fDone, float fTotal) {
    char done[256], total[256];
    FormatSize(fDone, done, sizeof(done));
    FormatSize(fTotal, total, sizeof(total));
    std::snprintf(m_szSizeText, sizeof(m_szSizeText), "%s/%s", done, total);
    if (m_stSize.m_hWnd) m_stSize.SetWindowText(m_szSizeText);
}

void CMirelLauncherDlg::ShowFigures() {
    MonitorShared::Figures figures;
    if (!m_monitor.Shared().TakeFigures(figures)) return;
    if (figures.barPos >= 0) m_progress.SetPos(figures.barPos);
    if (figures.hasSize) SetSizeText(figures.done, figures.wanted);
}

// The status line, painted on the face; the hidden static beside it carries the same text for
// whatever reads windows' texts (screen readers, the tests).
void CMirelLauncherDlg::ShowStatus(const char* text) {
    lstrcpynA(m_szStatusText, text, MAX_PATH);
    if (m_stStatus.m_hWnd) m_stStatus.SetWindowText(m_szStatusText);
    RedrawWindow(RDW_INVALIDATE | RDW_UPDATENOW);
}

// What the monitor tells the player: a refused installer ends the run (nothing would progress),
// with what to do, and the window closes, in the wait for the installer too; an installer
// another program holds is waited for, and the status line says so, as it says while the
// installer is checked before it opens. A download that stopped is told in a box of its own,
// which does not hold it up: it goes on by itself once the player has ended the cause.
void CMirelLauncherDlg::OnNotice(WPARAM notice) {
    if (notice == kNoticeInstallerBusy) {
        ShowStatus(AfxLoadText(IDS_INSTALLER_BUSY));
    } else if (notice == kNoticeCheckingInstaller) {
        ShowStatus(AfxLoadText(IDS_CHECKING_INSTALLER));
    } else if (notice == kNoticeStatusPlain) {
        ShowStatus(m_szPreparingText);
    } else if (notice == kNoticeInstallerNotStarted) {
        TellWithoutWaiting(IDS_INSTALLER_NOT_STARTED, WideToAnsi(m_monitor.Shared().NoticeDetail(notice)));
    } else if (notice == kNoticeDiskFull || notice == kNoticeFileHeld || notice == kNoticeTorrentError) {
        const UINT text = notice == kNoticeDiskFull ? IDS_TORRENT_DISK_FULL
                          : notice == kNoticeFileHeld ? IDS_TORRENT_FILE_HELD
                                                      : IDS_TORRENT_ERROR;
        TellWithoutWaiting(text, WideToAnsi(m_monitor.Shared().NoticeDetail(notice)));
    } else if (notice == kNoticeInstallerRefused) {
        MessageBox(AfxLoadText(IDS_INSTALLER_NOT_OPENED), AfxGetAppName(), MB_OK);
        // Sent, not posted: the wait for the installer takes a posted close as the player's
        // stop and would leave the window open with nothing running.
        SendMessage(WM_CLOSE);
    }
}

void CMirelLauncherDlg::OnPeerRows() {
    std::vector<PeerRow> rows = m_monitor.Shared().TakeRows();
    if (CTorrentInfoDlg* peer = PeerWindow()) peer->FillRows(rows);
}

// The monitor makes rows only while a peer window is open.
void CMirelLauncherDlg::SetPeerWindow(CTorrentInfoDlg* peer) {
    m_pPeerDlg = peer;
    m_monitor.Shared().peerWindowClosed = peer == nullptr;
}

// ---- the four timers: button hover, refresh, the one-shot start and the heartbeat

void CMirelLauncherDlg::OnTimer(UINT_PTR nIDEvent) {
    switch (nIDEvent) {
    case TIMER_HOVER: {
        POINT pt;
        ::GetCursorPos(&pt);
        if (m_btnExit.m_hWnd && m_btnExit.UpdateHover(pt.x, pt.y))
            m_btnExit.RedrawWindow(RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
        break;
    }
    case TIMER_REFRESH:
        ShowFigures();
        // The window's own painting leaves the controls alone (see OnPaint).
        m_progress.RedrawWindow(RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
        RedrawWindow(RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
        if (CTorrentInfoDlg* peer = PeerWindow()) peer->DrainMessages();
        break;
    case TIMER_START:
        KillTimer(TIMER_START);
        ProcessStartParam(AfxGetApp()->m_lpCmdLine);
        break;
    case TIMER_SIGNAL:
        if (g_hHeartbeatEvent) ::SetEvent(g_hHeartbeatEvent);
        break;
    default:
        break;
    }
}

// ---- message 2: the start parameter string in the "Start Param Map" mapping

LRESULT CMirelLauncherDlg::OnStartParamMsg(WPARAM, LPARAM) {
    // The process is on its way out: no launch sequence inside an exit.
    if (m_bExitPending) return 0;
    UniqueKernelHandle mapping(::OpenFileMappingA(FILE_MAP_WRITE, FALSE, "Start Param Map"));
    if (!mapping) return 0;
    // A handle opened for writing gives no read-only view, so a mapping that cannot be viewed at
    // this size is no start parameter, like a missing one.
    UniqueView view(::MapViewOfFile(mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, kStartParamViewSize));
    if (!view) return 0;
    // Only committed, readable memory is read: the creator may have left pages reserved. A view
    // with nothing readable is no start parameter at all, like a missing mapping.
    SIZE_T avail = ReadableBytes(view.get(), kStartParamViewSize);
    if (avail == 0) return 0;
    char text[kStartParamViewSize + 1];
    CutStartParamText(static_cast<const char*>(view.get()), avail, text);
    view.reset();
    mapping.reset();
    ProcessStartParam(text);
    return 0;
}

// ---- the two exits and the other commands

void CMirelLauncherDlg::ReleaseFace() {
    KillTimer(TIMER_HOVER);
    KillTimer(TIMER_REFRESH);
    m_bmpFace.DeleteObject();
}

void CMirelLauncherDlg::EndProcessNow() {
    // With the BitTorrent session running, the runtime's exit would destroy static objects
    // that the library's threads are still using (a crash, and under a debugger a hang):
    // the process is then ended outright, which is what the exit means anyway.
    if (m_pSession) {
        std::fflush(nullptr);
        ::TerminateProcess(::GetCurrentProcess(), 0);
    }
    std::exit(0);
}

void CMirelLauncherDlg::OnBnClickedExit() {
    if (MessageBox(m_szExitConfirm, "Check", MB_OKCANCEL) != IDOK) return;
    m_bExitPending = true;
    ReleaseFace();
    if (m_monitor.Started()) {
        m_monitor.RequestStop();
        if (g_hHeartbeatEvent) ::WaitForSingleObject(g_hHeartbeatEvent, kHeartbeatWaitMs);
    }
    EndProcessNow();
}

void CMirelLauncherDlg::OnMenuExit() {
    // The exit's steps as lines: an exit that takes long shows where it waited.
    DiagnosticLine(stderr, "exit: asked\n");
    m_bExitPending = true;
    ReleaseFace();
    if (CTorrentInfoDlg* peer = PeerWindow()) {
        SetPeerWindow(nullptr);
        peer->DestroyAndDelete();
    }
    if (m_monitor.Started()) {
        const DWORD asked = ::GetTickCount();
        m_monitor.RequestStop();
        HANDLE waits[2] = {m_monitor.DoneEvent(), m_monitor.ThreadHandle()};
        const bool ended = WaitServingSentMessages(waits, 2, kMonitorStopWaitMs);
        DiagnosticLine(stderr, "exit: the monitor %s after %lu ms\n", ended ? "stopped" : "had not stopped",
                       static_cast<unsigned long>(::GetTickCount() - asked));
    }
    DiagnosticLine(stderr, "exit: ending the process\n");
    EndProcessNow();
}

void CMirelLauncherDlg::OnMenuOpen() {
    CWnd* main = AfxGetApp()->m_pMainWnd;
    if (main && main->m_hWnd) main->ShowWindow(SW_SHOW);
    if (CTorrentInfoDlg* peer = PeerWindow()) peer->ShowWindow(SW_SHOW);
}

void CMirelLauncherDlg::OnShowPeerInfo() {
    if (PeerWindow()) return;
    // Its Close button ends it; the window then has no peer window again.
    auto* peer = new CTorrentInfoDlg(this, [this] { SetPeerWindow(nullptr); });
    if (!peer->Create(IDD_PEER_INFO, this)) {
        delete peer;
        return;
    }
    peer->ShowWindow(SW_SHOW);
    SetPeerWindow(peer);
}
