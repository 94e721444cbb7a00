// A console process that waits until it is ended (or for the milliseconds given).
#include <windows.h>

#include <cstdlib>

int main(int argc, char** argv) {
    DWORD ms = argc > 1 ? static_cast<DWORD>(std::strtoul(argv[1], nullptr, 10)) : INFINITE;
    ::Sleep(ms);
    return 0;
}
