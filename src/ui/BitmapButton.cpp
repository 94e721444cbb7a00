#include "ui/BitmapButton.h"

CMyBitmapButton::CMyBitmapButton() {
    m_font.CreateFont(25, 0, 0, 0, 500, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                      CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, FF_SWISS | DEFAULT_PITCH, "Fixedsys");
}

BOOL CMyBitmapButton::UpdateHover(int x, int y) {
    POINT pt{x, y};
    ::ScreenToClient(m_hWnd, &pt);
    RECT rc;
    ::GetClientRect(m_hWnd, &rc);
    BOOL inside = ::PtInRect(&rc, pt) ? TRUE : FALSE;  // right and bottom edges are outside
    BOOL changed = inside != m_bHover;
    m_bHover = inside;
    return changed;
}

void CMyBitmapButton::DrawItem(LPDRAWITEMSTRUCT lpDIS) {
    const CBitmap* image = &m_bitmap;
    if ((lpDIS->itemState & ODS_SELECTED) && m_bitmapSel.GetSafeHandle())
        image = &m_bitmapSel;
    else if ((lpDIS->itemState & ODS_DISABLED) && m_bitmapDisabled.GetSafeHandle())
        image = &m_bitmapDisabled;
    else if (m_bHover && m_bitmapFocus.GetSafeHandle())
        image = &m_bitmapFocus;

    HDC hdc = lpDIS->hDC;
    CDC mem;
    if (!mem.CreateCompatibleDC(hdc)) return;
    HGDIOBJ old = mem.SelectObject(image->m_hObject);
    if (!old) return;
    BITMAP bm{};
    image->GetBitmap(&bm);
    const RECT& r = lpDIS->rcItem;
    ::StretchBlt(hdc, r.left, r.top, r.right - r.left, r.bottom - r.top, mem, 0, 0, bm.bmWidth, bm.bmHeight, SRCCOPY);
    mem.SelectObject(old);

    char text[MAX_PATH] = {};
    ::GetWindowTextA(m_hWnd, text, MAX_PATH);
    if (text[0]) {
        RECT rc;
        ::GetClientRect(m_hWnd, &rc);
        ::SetBkMode(hdc, TRANSPARENT);
        ::SetTextColor(hdc, m_crText);
        HGDIOBJ oldFont = ::SelectObject(hdc, m_font.m_hObject);
        ::DrawTextA(hdc, text, -1, &rc, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
        ::SelectObject(hdc, oldFont);
    }
}
