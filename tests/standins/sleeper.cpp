// A console process that waits until it is ended (or for the milliseconds given). A second
// argument is an inherited event handle that it signals once it runs; "stuck" as the third makes
// it take the loader lock for good first, so that no thread started in it from outside ever
// runs (an exit started that way never happens).
#include <windows.h>

#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    DWORD ms = argc > 1 ? static_cast<DWORD>(std::strtoul(argv[1], nullptr, 10)) : INFINITE;
    if (argc > 3 && std::strcmp(argv[3], "stuck") == 0) {
        typedef LONG(NTAPI * LockLoader)(ULONG, ULONG*, ULONG_PTR*);
        auto lock = reinterpret_cast<LockLoader>(
            reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("ntdll"), "LdrLockLoaderLock")));
        ULONG_PTR cookie = 0;
        if (!lock || lock(0, nullptr, &cookie) != 0) return 2;
    }
    if (argc > 2) ::SetEvent(reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(std::strtoul(argv[2], nullptr, 10))));
    ::Sleep(ms);
    return 0;
}
