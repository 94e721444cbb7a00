// The torrent monitor thread: watches the transfer, moves the bar, opens the installer.
#pragma once
#include <windows.h>

class CMirelLauncherDlg;

UINT TorrentMonitorThreadProc(LPVOID pParam);
// Starts the monitor thread for the dialog and returns once it can take thread messages.
void StartMonitorThread(CMirelLauncherDlg* pDlg);
// Waits for the handles while still delivering messages sent to this thread; false on time-out.
bool WaitServingSentMessages(const HANDLE* handles, DWORD count, DWORD timeoutMs);
