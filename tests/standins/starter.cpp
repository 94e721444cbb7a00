// Stand-in for the starter: puts a start parameter string into "Start Param Map" and announces
// it to the launcher's window with message 2.
//   starter [--send|--post] [--no-map] [--no-nul] [--hold MS] [--wait MS] TEXT
//   --send     SendMessage (the default), --post  PostMessage
//   --no-map   announce without creating the shared memory
//   --no-announce  only create the shared memory and hold it (see --hold)
//   --no-nul   fill the whole mapping, a full page of 4096 bytes, with the text repeated and no
//              terminator: a reader that does not stop at the 1024-byte view runs off the page
//   --reserve  a mapping whose pages are reserved and never committed (nothing written to it)
//   --hold MS  keep the shared memory open this long after the announcement
//   --wait MS  how long to look for the launcher's window (default 10000)
// Exit code: 0 announced, 2 bad usage, 3 no launcher window, 4 mapping failed.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    bool post = false, map = true, nul = true, announce = true, reserve = false;
    DWORD hold = 0, wait = 10000;
    const char* text = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--send")) post = false;
        else if (!std::strcmp(argv[i], "--post")) post = true;
        else if (!std::strcmp(argv[i], "--no-map")) map = false;
        else if (!std::strcmp(argv[i], "--no-nul")) nul = false;
        else if (!std::strcmp(argv[i], "--no-announce")) announce = false;
        else if (!std::strcmp(argv[i], "--reserve")) reserve = true;
        else if (!std::strcmp(argv[i], "--hold") && i + 1 < argc) hold = std::strtoul(argv[++i], nullptr, 10);
        else if (!std::strcmp(argv[i], "--wait") && i + 1 < argc) wait = std::strtoul(argv[++i], nullptr, 10);
        else if (!text) text = argv[i];
        else { std::fprintf(stderr, "starter: unexpected %s\n", argv[i]); return 2; }
    }
    if (!text) text = "";

    HANDLE mapping = nullptr;
    if (map && reserve) {
        mapping = ::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE | SEC_RESERVE, 0, 1 << 20,
                                       "Start Param Map");
        if (!mapping) { std::fprintf(stderr, "starter: mapping failed %lu\n", ::GetLastError()); return 4; }
    } else if (map) {
        const DWORD size = nul ? 1024 : 4096;
        mapping = ::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, "Start Param Map");
        if (!mapping) { std::fprintf(stderr, "starter: mapping failed %lu\n", ::GetLastError()); return 4; }
        char* view = static_cast<char*>(::MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, size));
        if (!view) { std::fprintf(stderr, "starter: view failed %lu\n", ::GetLastError()); return 4; }
        size_t len = std::strlen(text);
        if (nul) {
            size_t n = len < size - 1 ? len : size - 1;
            std::memcpy(view, text, n);
            view[n] = '\0';
        } else {
            for (size_t i = 0; i < size; ++i) view[i] = len ? text[i % len] : 'x';
        }
        ::UnmapViewOfFile(view);
    }

    if (!announce) {
        std::printf("holding\n");
        std::fflush(stdout);
        ::Sleep(hold);
        if (mapping) ::CloseHandle(mapping);
        return 0;
    }

    HWND target = nullptr;
    for (DWORD waited = 0; !(target = ::FindWindowA("Mirel Launcher", nullptr)) && waited < wait; waited += 50)
        ::Sleep(50);
    if (!target) { std::fprintf(stderr, "starter: no launcher window\n"); return 3; }

    if (post) {
        ::PostMessageA(target, 2, 0, 0);
        std::printf("posted\n");
    } else {
        LRESULT r = ::SendMessageA(target, 2, 0, 0);
        std::printf("sent %ld\n", static_cast<long>(r));
    }
    std::fflush(stdout);
    if (hold) ::Sleep(hold);
    if (mapping) ::CloseHandle(mapping);
    return 0;
}
