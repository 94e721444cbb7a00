// A DLL placed beside a program under the name of a system DLL. When it is loaded, it appends
// its own path to the file named by STANDIN_PLANTED_LOG, one line per load.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    char log[MAX_PATH] = {};
    DWORD n = ::GetEnvironmentVariableA("STANDIN_PLANTED_LOG", log, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return TRUE;
    char line[MAX_PATH + 2] = {};
    DWORD len = ::GetModuleFileNameA(self, line, MAX_PATH);
    line[len++] = '\r';
    line[len++] = '\n';
    HANDLE f = ::CreateFileA(log, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return TRUE;
    DWORD written = 0;
    ::WriteFile(f, line, len, &written, nullptr);
    ::CloseHandle(f);
    return TRUE;
}
