// Controls of dialogs, bound to their windows by subclassing.
#pragma once
#include "afxgdi.h"
#include "afxwin.h"

class CStatic : public CWnd {};

class CButton : public CWnd {
public:
    // Owner-drawn buttons paint themselves here; the parent reflects WM_DRAWITEM to it.
    virtual void DrawItem(LPDRAWITEMSTRUCT) {}
    BOOL OnChildNotify(UINT message, WPARAM, LPARAM lParam, LRESULT* pResult) override {
        if (message != WM_DRAWITEM) return FALSE;
        DrawItem(reinterpret_cast<LPDRAWITEMSTRUCT>(lParam));
        *pResult = TRUE;
        return TRUE;
    }
};

class CBitmapButton : public CButton {
public:
    // Loads the normal, pressed, focus and disabled images; 0 leaves a slot empty.
    BOOL LoadBitmaps(UINT idNormal, UINT idSelected = 0, UINT idFocus = 0, UINT idDisabled = 0) {
        HINSTANCE hInst = AfxGetResourceHandle();
        m_bitmap.DeleteObject();
        m_bitmapSel.DeleteObject();
        m_bitmapFocus.DeleteObject();
        m_bitmapDisabled.DeleteObject();
        if (!m_bitmap.LoadBitmap(idNormal, hInst)) return FALSE;
        BOOL ok = TRUE;
        if (idSelected && !m_bitmapSel.LoadBitmap(idSelected, hInst)) ok = FALSE;
        if (idFocus && !m_bitmapFocus.LoadBitmap(idFocus, hInst)) ok = FALSE;
        if (idDisabled && !m_bitmapDisabled.LoadBitmap(idDisabled, hInst)) ok = FALSE;
        return ok;
    }

protected:
    CBitmap m_bitmap;
    CBitmap m_bitmapSel;
    CBitmap m_bitmapFocus;
    CBitmap m_bitmapDisabled;
};

class CProgressCtrl : public CWnd {};

class CListCtrl : public CWnd {
public:
    int InsertColumn(int col, const char* heading, int format, int width) {
        LVCOLUMNA c{};
        c.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
        c.fmt = format;
        c.cx = width;
        c.pszText = const_cast<char*>(heading);
        c.iSubItem = col;
        return static_cast<int>(::SendMessageA(m_hWnd, LVM_INSERTCOLUMNA, col, reinterpret_cast<LPARAM>(&c)));
    }
    int InsertItem(int item, const char* text) {
        LVITEMA it{};
        it.mask = LVIF_TEXT;
        it.iItem = item;
        it.pszText = const_cast<char*>(text);
        return static_cast<int>(::SendMessageA(m_hWnd, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&it)));
    }
    BOOL SetItemText(int item, int sub, const char* text) {
        LVITEMA it{};
        it.iSubItem = sub;
        it.pszText = const_cast<char*>(text);
        return static_cast<BOOL>(::SendMessageA(m_hWnd, LVM_SETITEMTEXTA, item, reinterpret_cast<LPARAM>(&it)));
    }
    BOOL DeleteAllItems() { return static_cast<BOOL>(::SendMessageA(m_hWnd, LVM_DELETEALLITEMS, 0, 0)); }
    int GetItemCount() const { return static_cast<int>(::SendMessageA(m_hWnd, LVM_GETITEMCOUNT, 0, 0)); }
};
