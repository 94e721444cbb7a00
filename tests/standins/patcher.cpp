// Stand-in for the game's patcher: a window of class "Mirel Patcher" that records the argument
// list it was started with and stays until it is ended.
// The record goes to the file named by STANDIN_PATCHER_LOG, else to "patcher-args.log" beside
// the executable: one line per start, "<pid> <working folder>|<argument list>".
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

LRESULT CALLBACK WndProc(HWND h, UINT m, WPARAM w, LPARAM l) {
    if (m == WM_DESTROY) {
        ::PostQuitMessage(0);
        return 0;
    }
    return ::DefWindowProcA(h, m, w, l);
}

void Record(const char* args) {
    char path[MAX_PATH] = {};
    if (!::GetEnvironmentVariableA("STANDIN_PATCHER_LOG", path, MAX_PATH) || !path[0]) {
        ::GetModuleFileNameA(nullptr, path, MAX_PATH);
        char* slash = std::strrchr(path, '\\');
        if (slash) *(slash + 1) = '\0';
        lstrcatA(path, "patcher-args.log");
    }
    char cwd[MAX_PATH] = {};
    ::GetCurrentDirectoryA(MAX_PATH, cwd);
    HANDLE f = ::CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return;
    char line[4096];
    int n = std::snprintf(line, sizeof(line), "%lu %s|%s\r\n", ::GetCurrentProcessId(), cwd, args);
    DWORD written = 0;
    if (n > 0) ::WriteFile(f, line, static_cast<DWORD>(n < (int)sizeof(line) ? n : (int)sizeof(line) - 1), &written, nullptr);
    ::CloseHandle(f);
}

}  // namespace

int WINAPI WinMain(HINSTANCE hInst, HINSTANCE, LPSTR cmdLine, int) {
    Record(cmdLine ? cmdLine : "");
    WNDCLASSA wc{};
    wc.lpfnWndProc = WndProc;
    wc.hInstance = hInst;
    wc.lpszClassName = "Mirel Patcher";
    ::RegisterClassA(&wc);
    HWND h = ::CreateWindowA("Mirel Patcher", "Mirel Patcher", WS_OVERLAPPED, 0, 0, 200, 100, nullptr, nullptr,
                             hInst, nullptr);
    if (!h) return 1;
    MSG msg;
    while (::GetMessageA(&msg, nullptr, 0, 0) > 0) ::DispatchMessageA(&msg);
    return 0;
}
