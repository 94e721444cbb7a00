// SHA-1 speed of the candidates on this machine: Windows' CNG (the library's hasher) and the
// processor's SHA instructions (the launcher's fast path). Prints MB/s; used by
// scripts/bench-download.
#include <windows.h>

#include <cstdio>
#include <string>

#include "torrent/Sha1.h"

namespace {

template <class F>
double MegabytesPerSecond(F hashOnce, int rounds, size_t bytes) {
    LARGE_INTEGER f, a, b;
    ::QueryPerformanceFrequency(&f);
    ::QueryPerformanceCounter(&a);
    for (int i = 0; i < rounds; ++i) hashOnce();
    ::QueryPerformanceCounter(&b);
    double seconds = double(b.QuadPart - a.QuadPart) / double(f.QuadPart);
    return double(bytes) * rounds / (1024.0 * 1024.0) / seconds;
}

}  // namespace

int main() {
    std::string piece(1024 * 1024, 'x');
    for (size_t i = 0; i < piece.size(); ++i) piece[i] = static_cast<char>(i * 2654435761u >> 13);
    const int rounds = 256;
    volatile char sink = 0;
    double cng = MegabytesPerSecond([&] { sink ^= lt::hasher(piece.data(), static_cast<int>(piece.size())).final()[0]; },
                                    rounds, piece.size());
    std::printf("sha1 CNG (library hasher): %.0f MB/s\n", cng);
    if (Sha1::HasFastPath()) {
        double fast = MegabytesPerSecond([&] {
            Sha1 h;
            h.Update(piece.data(), piece.size());
            sink ^= h.Final()[0];
        }, rounds, piece.size());
        std::printf("sha1 SHA instructions: %.0f MB/s\n", fast);
    } else {
        std::printf("sha1 SHA instructions: not on this processor\n");
    }
    return 0;
}
