// The torrent monitor thread: watches the transfer, moves the bar, opens the installer.
#pragma once
#include <windows.h>

class CMirelLauncherDlg;

// The stop request, a thread message to the monitor thread (WM_CLOSE is taken alike); it
// answers by signalling g_hMonitorDoneEvent and ending. A thread message, so its number may be
// that of a window message.
constexpr UINT WM_MONITOR_STOP = 2;

UINT TorrentMonitorThreadProc(LPVOID pParam);
// Starts the monitor thread for the dialog and returns once it can take thread messages.
void StartMonitorThread(CMirelLauncherDlg* pDlg);
