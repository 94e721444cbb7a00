#include <cstdio>
#include <cstring>

#include "ui/MirelLauncherDlg.h"

void CMirelLauncherDlg::FormatSize(float count, char* out, size_t size) {
    std::memset(out, 0, size);
    double value = count;
    if (value > 1048576.0)
        std::snprintf(out, size, "%dM", static_cast<int>(value / 1048576.0));
    else if (value > 1024.0)
        std::snprintf(out, size, "%dK", static_cast<int>(value / 1024.0));
    else
        std::snprintf(out, size, "%d", static_cast<int>(value));
}

void CMirelLauncherDlg::SetSizeText(float fDone, float fTotal) {
    char done[256], total[256];
    FormatSize(fDone, done, sizeof(done));
    FormatSize(fTotal, total, sizeof(total));
    std::snprintf(m_szSizeText, sizeof(m_szSizeText), "%s/%s", done, total);
    if (m_stSize.m_hWnd) m_stSize.SetWindowText(m_szSizeText);
}
