// Message 2 from the starter: the start parameter string in the "Start Param Map" mapping.
#include <cstring>

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
