#include <cstring>
#include "app/MirelLauncherApp.h"
#include "framework/handles.h"
#include "launcher/StartParams.h"
#include "ui/MirelLauncherDlg.h"

namespace {
constexpr DWORD kStartParamViewSize = 1024;
}

LRESULT CMirelLauncherDlg::OnStartParamMsg(WPARAM, LPARAM) {
    // The process is on its way out: no launch sequence inside an exit.
    if (m_bExitPending) return 0;
    UniqueKernelHandle mapping(::OpenFileMappingA(FILE_MAP_WRITE, FALSE, "Start Param Map"));
    if (!mapping) return 0;
    UniqueView view(::MapViewOfFile(mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, kStartParamViewSize));
    if (!view) {
        // A mapping smaller than the view cannot be mapped at that size: take what it has.
        view.reset(::MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0));
        if (!view) return 0;
    }
    MEMORY_BASIC_INFORMATION mbi{};
    SIZE_T avail = kStartParamViewSize;
    if (::VirtualQuery(view.get(), &mbi, sizeof(mbi))) {
        SIZE_T region = mbi.RegionSize - (static_cast<const char*>(view.get()) - static_cast<const char*>(mbi.BaseAddress));
        if (region < avail) avail = region;
    }
    // Copy the text out first: never read past the view, always terminated.
    char text[kStartParamViewSize + 1];
    const char* src = static_cast<const char*>(view.get());
    SIZE_T n = 0;
    while (n < avail && n < kStartParamViewSize && src[n]) ++n;
    if (n == avail) {
        // No terminator in the view: cut at the last whole character.
        SIZE_T whole = 0;
        for (SIZE_T i = 0; i < n;) {
            SIZE_T step = ::IsDBCSLeadByte(static_cast<BYTE>(src[i])) ? 2 : 1;
            if (i + step > n) break;
            i += step;
            whole = i;
        }
        n = whole;
    }
    memcpy(text, src, n);
    text[n] = '\0';
    view.reset();
    mapping.reset();
    ProcessStartParam(text);
    return 0;
}
