#include "afxwin.h"

namespace {

// DLLs are loaded from the system folder only, never from the program's folder or the current
// directory, where anyone who can write there could place one of the same name. Runs before
// every other constructor of the program (and so before the first call into a delay-imported
// DLL). Without SetDefaultDllDirectories (Windows 7 without its update) at least the current
// directory is left out.
__attribute__((constructor(101))) void RestrictDllSearch() {
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
    auto setDefault = kernel ? reinterpret_cast<SetDefaultDllDirectoriesFn>(
                                   reinterpret_cast<void*>(::GetProcAddress(kernel, "SetDefaultDllDirectories")))
                             : nullptr;
    if (!setDefault || !setDefault(0x00000800 /* LOAD_LIBRARY_SEARCH_SYSTEM32 */)) ::SetDllDirectoryW(L"");
}

}  // namespace

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE, LPSTR lpCmdLine, int nCmdShow) {
    return AfxWinMain(hInstance, lpCmdLine, nCmdShow);
}
