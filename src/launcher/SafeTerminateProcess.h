// Ending another process cleanly: the running patcher, before a fresh copy starts.
#pragma once
#include <windows.h>

// Ends the process as if it had called ExitProcess itself with `uExitCode`; TRUE once it has
// ended. A process still there after a grace period is ended outright. On failure the thread's
// last error says why (ERROR_PROCESS_ABORTED: it was not running or could not be read).
BOOL SafeTerminateProcess(HANDLE hProcess, UINT uExitCode);
