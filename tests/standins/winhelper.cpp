// Drives windows in tests: finds them, reads their texts, sends messages and commands.
//   winhelper find [--class C] [--title T] [--text T] [--pid PID] [--timeout MS] -> the handle
//                                       (--text: the message text of a message box)
//   winhelper gone [--class C] [--title T] [--pid PID] [--timeout MS]   -> 0 once none is left
//   winhelper text HWND                 -> the window text
//   winhelper children HWND             -> id, class, visible, rect (client of parent), text
//   winhelper info HWND                 -> class, style, exstyle, visible, window and client rect
//   winhelper post|send HWND MSG [WPARAM [LPARAM]]
//   winhelper command HWND ID           -> posts WM_COMMAND with BN_CLICKED from child ID
//   winhelper move HWND X Y             -> moves the window (its size, order and activation kept)
//   winhelper msgbox [--title T] [--pid PID] [--timeout MS] -> one line per message box:
//                                       caption TAB text (line feeds written as \n)
//   winhelper run [--timeout MS]        -> starts the exact command line in STANDIN_CMDLINE, prints
//                                       its process id, waits and exits with its exit code (259
//                                       when it did not end in time)
//   winhelper sddl PATH                 -> owner and access list of a file or folder, in SDDL
//   winhelper hold PATH MS              -> opens the file exclusively (created when missing),
//                                       prints "held", keeps it open for MS milliseconds
//   winhelper link NEW EXISTING         -> makes NEW a second name of EXISTING
//   winhelper holddir PATH MS           -> holds a folder open without sharing for MS ms
//   winhelper procs                     -> one line per process of the prefix: pid TAB executable
//   winhelper swapdir FOLDER FILE PLANTED MS -> another program's swap: waits (up to 2 minutes)
//                                       until FOLDER\FILE appears, then tries again and again, for
//                                       MS ms, to rename FOLDER away (to "FOLDER (swapped)"), and
//                                       makes FOLDER anew holding a copy of every file of the
//                                       folder PLANTED; prints "swapped" once done, else
//                                       "refused <last error>" (exit code 1)
// Texts are printed as they are (the ANSI code page). Exit code 1 when nothing was found.
#include <windows.h>
#include <tlhelp32.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Query {
    const char* cls = nullptr;
    const char* title = nullptr;
    const char* text = nullptr;  // the message text of a message box
    DWORD pid = 0;
    DWORD timeout = 0;
    HWND found = nullptr;
};

BOOL CALLBACK Match(HWND h, LPARAM lp) {
    auto* q = reinterpret_cast<Query*>(lp);
    char buf[512];
    if (q->cls) {
        ::GetClassNameA(h, buf, sizeof(buf));
        if (std::strcmp(buf, q->cls) != 0) return TRUE;
    }
    if (q->title) {
        ::GetWindowTextA(h, buf, sizeof(buf));
        if (std::strcmp(buf, q->title) != 0) return TRUE;
    }
    if (q->text) {
        HWND s = ::GetDlgItem(h, 0xFFFF);
        if (!s) return TRUE;
        ::GetWindowTextA(s, buf, sizeof(buf));
        std::string t;
        for (const char* c = buf; *c; ++c)
            if (*c != '\r') t += *c;
        if (t != q->text) return TRUE;
    }
    if (q->pid) {
        DWORD pid = 0;
        ::GetWindowThreadProcessId(h, &pid);
        if (pid != q->pid) return TRUE;
    }
    q->found = h;
    return FALSE;
}

HWND FindOnce(Query& q) {
    q.found = nullptr;
    ::EnumWindows(Match, reinterpret_cast<LPARAM>(&q));
    return q.found;
}

bool ParseQuery(int argc, char** argv, int start, Query& q) {
    for (int i = start; i < argc; ++i) {
        if (i + 1 >= argc) return false;
        if (!std::strcmp(argv[i], "--class")) q.cls = argv[++i];
        else if (!std::strcmp(argv[i], "--title")) q.title = argv[++i];
        else if (!std::strcmp(argv[i], "--text")) q.text = argv[++i];
        else if (!std::strcmp(argv[i], "--pid")) q.pid = std::strtoul(argv[++i], nullptr, 0);
        else if (!std::strcmp(argv[i], "--timeout")) q.timeout = std::strtoul(argv[++i], nullptr, 0);
        else return false;
    }
    return true;
}

HWND ParseHwnd(const char* s) { return reinterpret_cast<HWND>(static_cast<UINT_PTR>(std::strtoul(s, nullptr, 0))); }

std::string Text(HWND h) {
    char buf[4096] = {};
    ::SendMessageTimeoutA(h, WM_GETTEXT, sizeof(buf), reinterpret_cast<LPARAM>(buf), SMTO_ABORTIFHUNG, 2000, nullptr);
    return buf;
}

BOOL CALLBACK PrintChild(HWND h, LPARAM parent) {
    if (::GetParent(h) != reinterpret_cast<HWND>(parent)) return TRUE;
    char cls[128] = {};
    ::GetClassNameA(h, cls, sizeof(cls));
    RECT r;
    ::GetWindowRect(h, &r);
    ::MapWindowPoints(nullptr, reinterpret_cast<HWND>(parent), reinterpret_cast<POINT*>(&r), 2);
    std::printf("%d\t%s\t%d\t%ld,%ld,%ld,%ld\t%s\n", ::GetDlgCtrlID(h), cls, ::IsWindowVisible(h) ? 1 : 0, r.left,
                r.top, r.right - r.left, r.bottom - r.top, Text(h).c_str());
    return TRUE;
}

BOOL CALLBACK PrintBox(HWND h, LPARAM lp) {
    auto* q = reinterpret_cast<Query*>(lp);
    Query one = *q;
    one.found = nullptr;
    Match(h, reinterpret_cast<LPARAM>(&one));
    if (one.found != h) return TRUE;
    HWND s = ::GetDlgItem(h, 0xFFFF);
    std::string text = s ? Text(s) : "";
    std::string escaped;
    for (char c : text) {
        if (c == '\n') escaped += "\\n";
        else if (c != '\r') escaped += c;
    }
    std::printf("%s\t%s\n", Text(h).c_str(), escaped.c_str());
    return TRUE;
}

void PrintBoxes(Query& q) { ::EnumWindows(PrintBox, reinterpret_cast<LPARAM>(&q)); }

int Usage() {
    std::fprintf(stderr, "winhelper: bad usage\n");
    return 2;
}

// winhelper inst-hold PATH SIZE MS: as a program that wants the installer to itself. From the
// moment PATH appears it holds it open for writing (sharing all, so the download goes on) and
// prints "held"; once the download has let go of it at SIZE bytes, it holds it for reading
// without sharing reading instead, prints "complete" and keeps it MS ms longer. Gives up (exit
// code 1) after two minutes.
int InstHold(const char* path, unsigned long long size, DWORD ms) {
    const DWORD start = ::GetTickCount();
    auto late = [&] { return ::GetTickCount() - start > 120000; };
    HANDLE writing = INVALID_HANDLE_VALUE;
    while ((writing = ::CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)) == INVALID_HANDLE_VALUE) {
        if (late()) return 1;
        ::Sleep(5);
    }
    std::printf("held\n");
    std::fflush(stdout);
    // Reading without sharing reading succeeds only once nobody else reads it: the download's
    // own handle is gone (the writing one above is shared for writing).
    HANDLE reading = INVALID_HANDLE_VALUE;
    for (;;) {
        LARGE_INTEGER now{};
        if (::GetFileSizeEx(writing, &now) && static_cast<unsigned long long>(now.QuadPart) == size) {
            reading = ::CreateFileA(path, GENERIC_READ, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
            if (reading != INVALID_HANDLE_VALUE) break;
        }
        if (late()) return 1;
        ::Sleep(5);
    }
    ::CloseHandle(writing);
    std::printf("complete\n");
    std::fflush(stdout);
    ::Sleep(ms);
    ::CloseHandle(reading);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    std::string cmd = argv[1];
    if (cmd == "find" || cmd == "gone" || cmd == "msgbox") {
        Query q;
        if (!ParseQuery(argc, argv, 2, q)) return Usage();
        if (cmd == "msgbox") q.cls = "#32770";
        DWORD start = ::GetTickCount();
        for (;;) {
            HWND h = FindOnce(q);
            if (cmd == "gone") {
                if (!h) return 0;
            } else if (h) {
                if (cmd == "find") {
                    std::printf("0x%lx\n", static_cast<unsigned long>(reinterpret_cast<UINT_PTR>(h)));
                } else {
                    // Every matching box: its caption, then its text with line feeds as "\n".
                    PrintBoxes(q);
                }
                return 0;
            }
            if (::GetTickCount() - start >= q.timeout) return 1;
            ::Sleep(20);
        }
    }
    if (cmd == "sddl" && argc == 3) {
        PSECURITY_DESCRIPTOR sd = nullptr;
        const SECURITY_INFORMATION what = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
        if (::GetNamedSecurityInfoA(argv[2], SE_FILE_OBJECT, what, nullptr, nullptr, nullptr, nullptr, &sd) !=
            ERROR_SUCCESS)
            return 1;
        char* text = nullptr;
        if (!::ConvertSecurityDescriptorToStringSecurityDescriptorA(sd, SDDL_REVISION_1, what, &text, nullptr))
            return 1;
        std::printf("%s\n", text);
        ::LocalFree(text);
        ::LocalFree(sd);
        return 0;
    }
    if (cmd == "link" && argc == 4) {  // winhelper link NEW EXISTING: a second name (hard link)
        return ::CreateHardLinkA(argv[2], argv[3], nullptr) ? 0 : 1;
    }
    if ((cmd == "hold" || cmd == "holddir") && argc == 4) {
        const bool folder = cmd == "holddir";
        HANDLE f = ::CreateFileA(argv[2], GENERIC_READ, 0, nullptr, folder ? OPEN_EXISTING : OPEN_ALWAYS,
                                 folder ? FILE_FLAG_BACKUP_SEMANTICS : FILE_ATTRIBUTE_NORMAL, nullptr);
        if (f == INVALID_HANDLE_VALUE) return 1;
        std::printf("held\n");
        std::fflush(stdout);
        ::Sleep(std::strtoul(argv[3], nullptr, 0));
        ::CloseHandle(f);
        return 0;
    }
    if (cmd == "swapdir" && argc == 6) {
        const std::string folder = argv[2], trigger = folder + "\\" + argv[3], planted = argv[4];
        const DWORD limit = std::strtoul(argv[5], nullptr, 0), waited = ::GetTickCount();
        while (::GetFileAttributesA(trigger.c_str()) == INVALID_FILE_ATTRIBUTES) {
            if (::GetTickCount() - waited >= 120000) {
                std::printf("no %s\n", argv[3]);
                return 1;
            }
            ::Sleep(1);
        }
        const DWORD start = ::GetTickCount();
        const std::string away = folder + " (swapped)";
        while (!::MoveFileExA(folder.c_str(), away.c_str(), 0)) {
            const DWORD error = ::GetLastError();
            if (::GetTickCount() - start >= limit) {
                std::printf("refused %lu\n", static_cast<unsigned long>(error));
                return 1;
            }
            ::Sleep(1);
        }
        ::CreateDirectoryA(folder.c_str(), nullptr);
        WIN32_FIND_DATAA entry;
        HANDLE find = ::FindFirstFileA((planted + "\\*").c_str(), &entry);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                    ::CopyFileA((planted + "\\" + entry.cFileName).c_str(), (folder + "\\" + entry.cFileName).c_str(),
                                FALSE);
            } while (::FindNextFileA(find, &entry));
            ::FindClose(find);
        }
        std::printf("swapped\n");
        return 0;
    }
    if (cmd == "inst-hold" && argc == 5) return InstHold(argv[2], std::strtoull(argv[3], nullptr, 0),
                                                         std::strtoul(argv[4], nullptr, 0));
    if (cmd == "run") {
        DWORD timeout = INFINITE;
        int i = 2;
        if (argc > 3 && !std::strcmp(argv[2], "--timeout")) {
            timeout = std::strtoul(argv[3], nullptr, 0);
            i = 4;
        }
        (void)i;
        char buf[8192] = {};
        if (!::GetEnvironmentVariableA("STANDIN_CMDLINE", buf, sizeof(buf))) return Usage();
        std::string cmdLine = buf;
        STARTUPINFOA si{};
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi{};
        if (!::CreateProcessA(nullptr, &cmdLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
            std::fprintf(stderr, "winhelper: cannot start (%lu)\n", ::GetLastError());
            return 1;
        }
        std::printf("%lu\n", static_cast<unsigned long>(pi.dwProcessId));
        std::fflush(stdout);
        DWORD code = 259;
        if (::WaitForSingleObject(pi.hProcess, timeout) == WAIT_OBJECT_0) ::GetExitCodeProcess(pi.hProcess, &code);
        ::CloseHandle(pi.hThread);
        ::CloseHandle(pi.hProcess);
        return static_cast<int>(code);
    }
    if (cmd == "procs") {
        // Every process of this Wine prefix: "<pid>\t<executable name>" a line.
        HANDLE snap = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        if (snap == INVALID_HANDLE_VALUE) return 1;
        PROCESSENTRY32 pe{};
        pe.dwSize = sizeof(pe);
        for (BOOL more = ::Process32First(snap, &pe); more; more = ::Process32Next(snap, &pe))
            std::printf("%lu\t%s\n", static_cast<unsigned long>(pe.th32ProcessID), pe.szExeFile);
        ::CloseHandle(snap);
        return 0;
    }
    if (argc < 3) return Usage();
    HWND h = ParseHwnd(argv[2]);
    if (!::IsWindow(h)) {
        std::fprintf(stderr, "winhelper: no such window\n");
        return 1;
    }
    if (cmd == "text") {
        std::printf("%s\n", Text(h).c_str());
        return 0;
    }
    if (cmd == "children") {
        ::EnumChildWindows(h, PrintChild, reinterpret_cast<LPARAM>(h));
        return 0;
    }
    if (cmd == "info") {
        char cls[128] = {};
        ::GetClassNameA(h, cls, sizeof(cls));
        RECT w, c;
        ::GetWindowRect(h, &w);
        ::GetClientRect(h, &c);
        POINT origin{0, 0};
        ::ClientToScreen(h, &origin);
        DWORD pid = 0;
        ::GetWindowThreadProcessId(h, &pid);
        std::printf("class=%s\nstyle=0x%08lx\nexstyle=0x%08lx\nvisible=%d\nwindow=%ld,%ld,%ld,%ld\nclient=%ld,%ld,%ld,%ld\npid=%lu\n",
                    cls, static_cast<unsigned long>(::GetWindowLongA(h, GWL_STYLE)),
                    static_cast<unsigned long>(::GetWindowLongA(h, GWL_EXSTYLE)), ::IsWindowVisible(h) ? 1 : 0,
                    w.left, w.top, w.right - w.left, w.bottom - w.top, origin.x, origin.y, c.right, c.bottom,
                    static_cast<unsigned long>(pid));
        return 0;
    }
    if (cmd == "post" || cmd == "send") {
        if (argc < 4) return Usage();
        UINT msg = std::strtoul(argv[3], nullptr, 0);
        WPARAM wp = argc > 4 ? std::strtoul(argv[4], nullptr, 0) : 0;
        LPARAM lp = argc > 5 ? static_cast<LPARAM>(std::strtoul(argv[5], nullptr, 0)) : 0;
        if (cmd == "post") return ::PostMessageA(h, msg, wp, lp) ? 0 : 1;
        DWORD_PTR result = 0;
        if (!::SendMessageTimeoutA(h, msg, wp, lp, SMTO_NORMAL, 10000, &result)) return 1;
        std::printf("%lu\n", static_cast<unsigned long>(result));
        return 0;
    }
    if (cmd == "move") {
        if (argc < 5) return Usage();
        const int x = static_cast<int>(std::strtol(argv[3], nullptr, 0));
        const int y = static_cast<int>(std::strtol(argv[4], nullptr, 0));
        return ::SetWindowPos(h, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE) ? 0 : 1;
    }
    if (cmd == "command") {
        if (argc < 4) return Usage();
        int id = static_cast<int>(std::strtol(argv[3], nullptr, 0));
        HWND child = ::GetDlgItem(h, id);
        return ::PostMessageA(h, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(child)) ? 0 : 1;
    }
    return Usage();
}
