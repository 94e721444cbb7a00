// Stand-in for the game's installer, the content of the launcher's torrent. It shows a
// top-level window titled "미렐온라인 설치 " for a while, then installs the game (an
// installation record and a Patcher.exe in the game folder) and closes the window.
// Everything comes from the environment, which the launcher hands down:
//   STANDIN_INSTALL_KEY      key path below HKEY_LOCAL_MACHINE of the installation record
//                            (nothing is installed without it)
//   STANDIN_INSTALL_DIR      game folder: "InstallPath" of the record (created when missing)
//   STANDIN_INSTALL_VERSION  "Version" of the record (default "1.0.0")
//   STANDIN_INSTALL_PATCHER  program copied as Patcher.exe into the game folder (default:
//                            standin_patcher.exe beside this program)
//   STANDIN_INSTALL_MS       how long the window shows before the installation (default 1500)
//   STANDIN_INSTALL_LOG      file that gets one line per run: "<pid> <size of this program>
//                            <path of this program>", in UTF-8 (the path may hold any
//                            character)
//   STANDIN_INSTALL_TITLE    the window's title instead of the installer's (tests that run
//                            beside a launcher waiting for the real title use it)
//   STANDIN_WINDOW_LOG       file that gets a line "<pid> shown" once the window is shown and
//                            "<pid> gone" once it is destroyed: a test learns that the window
//                            came and went however briefly it stood
// The record is complete before the window goes away. Exit code 0 on success, 1 when a step
// failed, 2 when the window could not be made.
// This program may be padded with extra bytes after its image (a torrent payload of a chosen
// size); it never reads itself beyond its size.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char kTitle[] = "미렐온라인 설치 ";
const char kClass[] = "Mirel Setup Stand-in";
constexpr UINT_PTR kInstallTimer = 1;

int g_result = 0;

std::string Env(const char* name, const char* fallback = "") {
    char buf[2048] = {};
    DWORD n = ::GetEnvironmentVariableA(name, buf, sizeof(buf));
    if (n == 0 || n >= sizeof(buf)) return fallback;
    return buf;
}

std::string ModulePath() {
    char path[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    return path;
}

void Append(const std::string& log, const char* line, int n) {
    HANDLE f = ::CreateFileA(log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    if (n > 0) ::WriteFile(f, line, static_cast<DWORD>(n), &written, nullptr);
    ::CloseHandle(f);
}

void WindowLog(const char* what) {
    std::string log = Env("STANDIN_WINDOW_LOG");
    if (log.empty()) return;
    char line[64];
    int n = std::snprintf(line, sizeof(line), "%lu %s\r\n", ::GetCurrentProcessId(), what);
    if (n > 0 && n < static_cast<int>(sizeof(line))) Append(log, line, n);
}

void Log() {
    std::string log = Env("STANDIN_INSTALL_LOG");
    if (log.empty()) return;
    wchar_t wide[32768] = {};
    ::GetModuleFileNameW(nullptr, wide, 32768);
    WIN32_FILE_ATTRIBUTE_DATA data{};
    unsigned long long size = 0;
    if (::GetFileAttributesExW(wide, GetFileExInfoStandard, &data))
        size = (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    char self[3 * 32768] = {};
    ::WideCharToMultiByte(CP_UTF8, 0, wide, -1, self, sizeof(self), nullptr, nullptr);
    static char line[sizeof(self) + 64];
    int n = std::snprintf(line, sizeof(line), "%lu %llu %s\r\n", ::GetCurrentProcessId(), size, self);
    if (n > 0 && n < static_cast<int>(sizeof(line))) Append(log, line, n);
}

bool CreateFolders(const std::string& folder) {
    std::string partial;
    for (size_t i = 0; i < folder.size(); ++i) {
        partial.push_back(folder[i]);
        if ((folder[i] == '\\' || i + 1 == folder.size()) && partial.size() > 3)
            if (!::CreateDirectoryA(partial.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) return false;
    }
    return true;
}

bool SetValue(HKEY key, const char* name, const std::string& value) {
    return ::RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>(value.size() + 1)) == ERROR_SUCCESS;
}

bool Install() {
    std::string keyPath = Env("STANDIN_INSTALL_KEY");
    std::string folder = Env("STANDIN_INSTALL_DIR");
    if (keyPath.empty() || folder.empty()) return false;
    std::string version = Env("STANDIN_INSTALL_VERSION", "1.0.0");
    std::string patcher = Env("STANDIN_INSTALL_PATCHER");
    if (patcher.empty()) {
        patcher = ModulePath();
        patcher.erase(patcher.find_last_of('\\') + 1);
        patcher += "standin_patcher.exe";
    }

    if (!CreateFolders(folder)) return false;
    std::string target = folder;
    if (target.back() != '\\') target += '\\';
    target += "Patcher.exe";
    if (!::CopyFileA(patcher.c_str(), target.c_str(), FALSE)) return false;

    HKEY key = nullptr;
    if (::RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return false;
    bool ok = SetValue(key, "InstallPath", folder) && SetValue(key, "Version", version);
    ::RegCloseKey(key);
    return ok;
}

LRESULT CALLBACK WndProc(HWND h, UINT m, WPARAM w, LPARAM l) {
    switch (m) {
    case WM_TIMER:
        if (w == kInstallTimer) {
            ::KillTimer(h, kInstallTimer);
            g_result = Install() ? 0 : 1;
            ::DestroyWindow(h);
        }
        return 0;
    case WM_CLOSE:
        return 0;  // an installer is not closed half-way
    case WM_DESTROY:
        WindowLog("gone");
        ::PostQuitMessage(0);
        return 0;
    default:
        return ::DefWindowProcA(h, m, w, l);
    }
}

}  // namespace

int WINAPI WinMain(HINSTANCE hInst, HINSTANCE, LPSTR, int nCmdShow) {
    Log();
    WNDCLASSA wc{};
    wc.lpfnWndProc = WndProc;
    wc.hInstance = hInst;
    wc.hCursor = ::LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = kClass;
    ::RegisterClassA(&wc);
    const std::string title = Env("STANDIN_INSTALL_TITLE", kTitle);
    HWND h = ::CreateWindowA(kClass, title.c_str(), WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 360, 160, nullptr,
                             nullptr, hInst, nullptr);
    if (!h) return 2;
    ::ShowWindow(h, nCmdShow);
    WindowLog("shown");
    unsigned long ms = std::strtoul(Env("STANDIN_INSTALL_MS", "1500").c_str(), nullptr, 10);
    ::SetTimer(h, kInstallTimer, ms ? ms : 1, nullptr);
    MSG msg;
    while (::GetMessageA(&msg, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
    return g_result;
}
