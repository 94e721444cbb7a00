// The skinned progress bar: a stretched gradient image over a plain track, range 0 to 100.
#pragma once
#include "framework/afxctrl.h"

class CProgressEx : public CProgressCtrl {
public:
    // Stores the position when it lies in the range; otherwise the old one stays. No repaint.
    void SetPos(int nPos);
    int GetPos() const { return m_nPos; }
    void SetBarBitmap(UINT nIDResource);

    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

    int m_nLower = 0;
    int m_nUpper = 100;
    int m_nPos = 0;
    BOOL m_bHasBitmap = FALSE;
    CBitmap m_bmBar;
    COLORREF m_crBack = RGB(0, 0, 0);
    COLORREF m_crBar = RGB(160, 160, 208);

private:
    void OnPaint();
};
