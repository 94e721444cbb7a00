// ndnpack: packs a torrent file into the form the launcher fetches as "Mirel.ndn".
//   ndnpack <torrent file> <packed output>
//   ndnpack --sign SECRET <torrent file> <packed output>
//   ndnpack --new-key SECRET
// The output is the unpacked size and the packed size (32-bit little-endian each), then the
// content as one zlib stream; --sign appends a trailer with the publisher's Ed25519 signature of
// the content. --new-key makes a key pair, writes its secret to a new file SECRET and prints
// the public key, the value a launcher is built with (MIREL_PUBLISHER_KEY).
#include <windows.h>
#include <bcrypt.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "download/PackedFile.h"
#include "framework/handles.h"

namespace {

void Usage() {
    std::fprintf(stderr,
                 "usage: ndnpack <torrent file> <packed output>\n"
                 "       ndnpack --sign SECRET <torrent file> <packed output>\n"
                 "       ndnpack --new-key SECRET\n");
}

void Wipe(void* p, size_t n) { ::SecureZeroMemory(p, n); }

// The secret file holds the key pair's 32-byte seed as 64 hex digits.
bool ReadSecret(const char* path, unsigned char (&seed)[kPublisherSeedSize]) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
    PublisherKey parsed;  // same shape: 32 bytes from 64 hex digits
    bool ok = ParsePublisherKey(text.c_str(), parsed);
    if (ok) std::memcpy(seed, parsed.bytes, kPublisherSeedSize);
    Wipe(&text[0], text.size());
    Wipe(parsed.bytes, sizeof(parsed.bytes));
    return ok;
}

int NewKey(const char* path) {
    unsigned char seed[kPublisherSeedSize];
    if (!BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, seed, sizeof(seed), BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
        std::fprintf(stderr, "ndnpack: no random numbers from the system\n");
        return 1;
    }
    std::string text = ToHex(seed, sizeof(seed)) + "\n";
    // Never over an existing file: that may be the only copy of a key in use.
    UniqueKernelHandle file(::CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        DWORD err = ::GetLastError();
        Wipe(seed, sizeof(seed));
        Wipe(&text[0], text.size());
        std::fprintf(stderr, "ndnpack: cannot create %s (error %lu%s)\n", path, err,
                     err == ERROR_FILE_EXISTS ? ": it exists, and is never replaced" : "");
        return 1;
    }
    DWORD written = 0;
    bool ok = ::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
              written == text.size();
    ok = ::FlushFileBuffers(file.get()) && ok;
    file.reset();
    Wipe(&text[0], text.size());
    if (!ok) {
        ::DeleteFileA(path);
        Wipe(seed, sizeof(seed));
        std::fprintf(stderr, "ndnpack: cannot write %s\n", path);
        return 1;
    }
    PublisherKey pub = PublicKeyOfSeed(seed);
    Wipe(seed, sizeof(seed));
    std::printf("%s\n", ToHex(pub.bytes, sizeof(pub.bytes)).c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const char* secretPath = nullptr;
    if (argc == 3 && std::strcmp(argv[1], "--new-key") == 0) return NewKey(argv[2]);
    if (argc == 5 && std::strcmp(argv[1], "--sign") == 0) {
        secretPath = argv[2];
        argv += 2;
        argc -= 2;
    }
    if (argc != 3 || argv[1][0] == '-') {
        Usage();
        return 2;
    }
    unsigned char seed[kPublisherSeedSize] = {};
    if (secretPath && !ReadSecret(secretPath, seed)) {
        std::fprintf(stderr, "ndnpack: %s holds no secret key (64 hex digits)\n", secretPath);
        return 1;
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
    if (secretPath) {
        packed += SignatureTrailer(plain, seed);
        // The file must pass the launcher's own check before it is handed out.
        PublisherKey pub = PublicKeyOfSeed(seed);
        Wipe(seed, sizeof(seed));
        std::string check;
        if (UnpackBytes(reinterpret_cast<const unsigned char*>(packed.data()), packed.size(), &pub, check) !=
                UnpackStatus::Ok ||
            check != plain) {
            std::fprintf(stderr, "ndnpack: the signed file does not check\n");
            return 1;
        }
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
    std::printf("%s: %zu bytes packed into %zu%s\n", argv[2], plain.size(), packed.size(), secretPath ? ", signed" : "");
    return 0;
}
