// GDI objects and device contexts: each owns its handle and releases it with itself.
#pragma once
#include <windows.h>

class CGdiObject {
public:
    CGdiObject() = default;
    virtual ~CGdiObject() { DeleteObject(); }
    CGdiObject(const CGdiObject&) = delete;
    CGdiObject& operator=(const CGdiObject&) = delete;
    BOOL DeleteObject() {
        if (!m_hObject) return FALSE;
        BOOL ok = ::DeleteObject(m_hObject);
        m_hObject = nullptr;
        return ok;
    }
    HGDIOBJ GetSafeHandle() const { return m_hObject; }
    HGDIOBJ m_hObject = nullptr;
};

class CFont : public CGdiObject {
public:
    BOOL CreateFont(int height, int width, int escapement, int orientation, int weight, BYTE italic, BYTE underline,
                    BYTE strikeOut, BYTE charSet, BYTE outPrecision, BYTE clipPrecision, BYTE quality,
                    BYTE pitchAndFamily, const char* faceName) {
        DeleteObject();
        m_hObject = ::CreateFontA(height, width, escapement, orientation, weight, italic, underline, strikeOut,
                                  charSet, outPrecision, clipPrecision, quality, pitchAndFamily, faceName);
        return m_hObject != nullptr;
    }
    operator HFONT() const { return static_cast<HFONT>(m_hObject); }
};

class CBitmap : public CGdiObject {
public:
    BOOL LoadBitmap(UINT nID, HINSTANCE hInst) {
        DeleteObject();
        m_hObject = ::LoadBitmapA(hInst, MAKEINTRESOURCEA(nID));
        return m_hObject != nullptr;
    }
    int GetBitmap(BITMAP* bm) const { return ::GetObjectA(m_hObject, sizeof(BITMAP), bm); }
    operator HBITMAP() const { return static_cast<HBITMAP>(m_hObject); }
};

// A device context wrapper that owns the memory DC CreateCompatibleDC() makes.
class CDC {
public:
    CDC() = default;
    ~CDC() {
        if (m_hDC) ::DeleteDC(m_hDC);
    }
    CDC(const CDC&) = delete;
    CDC& operator=(const CDC&) = delete;

    BOOL CreateCompatibleDC(HDC other) {
        if (m_hDC) ::DeleteDC(m_hDC);
        m_hDC = ::CreateCompatibleDC(other);
        return m_hDC != nullptr;
    }
    HGDIOBJ SelectObject(HGDIOBJ obj) { return ::SelectObject(m_hDC, obj); }
    operator HDC() const { return m_hDC; }

    HDC m_hDC = nullptr;
};
