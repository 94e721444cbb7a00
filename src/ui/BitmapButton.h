// The skinned image button: normal, pressed and hover images, hover found by polling.
#pragma once
#include "framework/afxctrl.h"

class CMyBitmapButton : public CBitmapButton {
public:
    CMyBitmapButton();
    ~CMyBitmapButton() override = default;

    // Hit test of a screen point against the client rectangle; TRUE when the hover state changed.
    BOOL UpdateHover(int x, int y);
    void DrawItem(LPDRAWITEMSTRUCT lpDIS) override;

    BOOL m_bHover = FALSE;
    COLORREF m_crText = RGB(255, 255, 255);
    CFont m_font;
};
