#include "launcher/SafeTerminateProcess.h"

#include "framework/handles.h"

namespace {
// A process that has not ended this long after its exit was started (suspended, or stuck
// before it can run the exit) is ended outright, so that the launcher cannot hang here.
constexpr DWORD kExitGraceMs = 10000;
}

BOOL SafeTerminateProcess(HANDLE hProcess, UINT uExitCode) {
    UniqueKernelHandle dup;
    HANDLE self = ::GetCurrentProcess();
    bool duplicated = ::DuplicateHandle(self, hProcess, self, dup.put(), PROCESS_ALL_ACCESS, FALSE, 0) != FALSE;
    HANDLE hTarget = duplicated ? dup.get() : hProcess;

    BOOL result = FALSE;
    DWORD error = ERROR_PROCESS_ABORTED;
    DWORD code = 0;
    if (::GetExitCodeProcess(hTarget, &code) && code == STILL_ACTIVE) {
        auto exitProcess = reinterpret_cast<LPTHREAD_START_ROUTINE>(
            reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("Kernel32"), "ExitProcess")));
        DWORD tid = 0;
        UniqueKernelHandle thread(::CreateRemoteThread(
            hTarget, nullptr, 0, exitProcess, reinterpret_cast<LPVOID>(static_cast<UINT_PTR>(uExitCode)), 0, &tid));
        if (thread) {
            if (::WaitForSingleObject(hTarget, kExitGraceMs) != WAIT_OBJECT_0) {
                ::TerminateProcess(hTarget, uExitCode);
                ::WaitForSingleObject(hTarget, INFINITE);
            }
            result = TRUE;
        } else {
            error = ::GetLastError();
        }
    }
    if (!result) ::SetLastError(error);
    return result;
}
