#include "ui/ProgressEx.h"

void CProgressEx::SetPos(int nPos) {
    if (nPos >= m_nLower && nPos <= m_nUpper) m_nPos = nPos;
}

void CProgressEx::SetBarBitmap(UINT nIDResource) {
    m_bmBar.DeleteObject();
    m_bHasBitmap = FALSE;
    if (m_bmBar.LoadBitmap(nIDResource, AfxGetResourceHandle())) m_bHasBitmap = TRUE;
}

LRESULT CProgressEx::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_ERASEBKGND:
        return FALSE;
    case WM_PAINT:
        OnPaint();
        return 0;
    default:
        return CProgressCtrl::WindowProc(message, wParam, lParam);
    }
}

static void Fill(HDC hdc, const RECT& r, COLORREF cr) {
    if (r.right <= r.left || r.bottom <= r.top) return;
    COLORREF old = ::SetBkColor(hdc, cr);
    ::ExtTextOutA(hdc, 0, 0, ETO_OPAQUE, &r, nullptr, 0, nullptr);
    ::SetBkColor(hdc, old);
}

void CProgressEx::OnPaint() {
    PAINTSTRUCT ps;
    HDC hdc = ::BeginPaint(m_hWnd, &ps);
    RECT r;
    ::GetClientRect(m_hWnd, &r);
    RECT b = r, e = r;
    double f = static_cast<double>(m_nPos - m_nLower) / static_cast<double>(m_nUpper - m_nLower);
    b.right = b.left + static_cast<int>((r.right - r.left) * f);
    if (m_bHasBitmap) {
        CDC mem;
        if (mem.CreateCompatibleDC(hdc)) {
            HGDIOBJ old = mem.SelectObject(m_bmBar.m_hObject);
            if (old) {
                BITMAP bm{};
                m_bmBar.GetBitmap(&bm);
                ::StretchBlt(hdc, b.left, b.top, b.right - b.left, b.bottom - b.top, mem, 0, 0, bm.bmWidth,
                             bm.bmHeight, SRCCOPY);
                mem.SelectObject(old);
                e.left = b.right;
                Fill(hdc, e, m_crBack);
            }
        }
    } else {
        Fill(hdc, b, m_crBar);
        e.left = b.right;
        Fill(hdc, e, m_crBack);
    }
    ::EndPaint(m_hWnd, &ps);
}
