#include "ui/TorrentInfoDlg.h"

#include <utility>

#include "res/resource.h"

CTorrentInfoDlg::CTorrentInfoDlg(CWnd* pParent, std::function<void()> onClose)
    : CDialog(IDD_PEER_INFO, pParent), m_onClose(std::move(onClose)) {}

CTorrentInfoDlg::~CTorrentInfoDlg() = default;

void CTorrentInfoDlg::DoDataExchange(CDataExchange* pDX) {
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_PEER_LIST, m_list);
}

BOOL CTorrentInfoDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    for (int column = 0; column < 5; ++column)
        m_list.InsertColumn(column, AfxLoadText(IDS_PEER_COLUMN_FIRST + column), LVCFMT_LEFT, column == 0 ? 150 : 140);
    return TRUE;
}

BOOL CTorrentInfoDlg::OnMessage(UINT message, WPARAM wParam, LPARAM, LRESULT*) {
    if (message == WM_COMMAND && LOWORD(wParam) == IDC_BTN_CLOSE) {
        OnBnClickedClose();
        return TRUE;
    }
    return FALSE;
}

void CTorrentInfoDlg::OnBnClickedClose() {
    if (m_onClose) m_onClose();
    DestroyWindow();
}

void CTorrentInfoDlg::DestroyAndDelete() {
    if (m_hWnd)
        DestroyWindow();  // PostNcDestroy deletes the object
    else
        delete this;
}

void CTorrentInfoDlg::PostNcDestroy() { delete this; }

bool CTorrentInfoDlg::DrainMessages() {
    MSG msg;
    HWND hWnd = m_hWnd;
    while (hWnd && ::PeekMessageA(&msg, hWnd, 0, 0, PM_REMOVE | PM_NOYIELD)) {
        if (msg.message == WM_CLOSE || msg.message == WM_DESTROY || msg.message == WM_NCDESTROY) return false;
        ::DispatchMessageA(&msg);
        if (!::IsWindow(hWnd)) return false;
    }
    return true;
}

void CTorrentInfoDlg::FillRows(const std::vector<PeerRow>& rows) {
    if (!m_list.m_hWnd) return;
    m_list.SendMessage(WM_SETREDRAW, FALSE, 0);
    m_list.DeleteAllItems();
    for (size_t i = 0; i < rows.size(); ++i) {
        int item = m_list.InsertItem(static_cast<int>(i), rows[i].cells[0].c_str());
        for (int c = 1; c < 5; ++c) m_list.SetItemText(item, c, rows[i].cells[c].c_str());
    }
    m_list.SendMessage(WM_SETREDRAW, TRUE, 0);
}
