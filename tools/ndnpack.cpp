// ndnpack: packs a torrent file into the form the launcher fetches as "Mirel.ndn".
//   ndnpack <torrent file> <packed output>
// The output is the unpacked size and the packed size (32-bit little-endian each), then the
// content as one zlib stream.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "download/PackedFile.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: ndnpack <torrent file> <packed output>\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "ndnpack: cannot read %s\n", argv[1]);
        return 1;
    }
    std::string plain((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (plain.empty()) {
        std::fprintf(stderr, "ndnpack: %s is empty\n", argv[1]);
        return 1;
    }
    std::string packed = PackContent(plain);
    if (packed.empty()) {
        std::fprintf(stderr, "ndnpack: compression failed\n");
        return 1;
    }
    std::string tmp = std::string(argv[2]) + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out.write(packed.data(), static_cast<std::streamsize>(packed.size())) || !out.flush()) {
            std::fprintf(stderr, "ndnpack: cannot write %s\n", tmp.c_str());
            std::remove(tmp.c_str());
            return 1;
        }
    }
    std::remove(argv[2]);
    if (std::rename(tmp.c_str(), argv[2]) != 0) {
        std::fprintf(stderr, "ndnpack: cannot write %s\n", argv[2]);
        std::remove(tmp.c_str());
        return 1;
    }
    std::printf("%s: %zu bytes packed into %zu\n", argv[2], plain.size(), packed.size());
    return 0;
}
