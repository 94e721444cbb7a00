// ndnpack: the publisher's tool, from an installer to the files of a release.
//   ndnpack --make-torrent [--web-seed URL]... [--tracker URL]... [--piece-kib N] [--hybrid]
//           <installer> <output .torrent>
//   ndnpack <torrent file> <packed output>
//   ndnpack --sign SECRET [--version N] [--expires YYYY-MM-DD] <torrent file> <packed output>
//   ndnpack --new-key SECRET
// --make-torrent makes the torrent of one installer (kit/TorrentMaker.h). Packing writes the
// unpacked size and the packed size (32-bit little-endian each), then the content as one zlib
// stream, the form the launcher fetches as "Mirel.ndn"; --sign appends a trailer with the
// release's version and expiry and the publisher's Ed25519 signature of them and the content
// (download/ReleaseSignature.h). --new-key makes a key pair, writes its secret to a new file
// SECRET and prints the public key, the value a launcher is built with (MIREL_PUBLISHER_KEY).
#include <windows.h>
#include <bcrypt.h>
#include <shellapi.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "download/PackedFile.h"
#include "download/UtcDate.h"
#include "framework/handles.h"
#include "kit/TorrentMaker.h"

namespace {

void Usage() {
    std::fprintf(stderr,
                 "usage: ndnpack <torrent file> <packed output>\n"
                 "       ndnpack --sign SECRET [--version N] [--expires YYYY-MM-DD] <torrent file> <packed output>\n"
                 "       ndnpack --new-key SECRET\n"
                 "       ndnpack --make-torrent [--web-seed URL]... [--tracker URL]... [--piece-kib N] [--hybrid]\n"
                 "               <installer> <output .torrent>\n"
                 "\n"
                 "  --sign SECRET   sign with the secret key file that --new-key wrote\n"
                 "  --version N     the release's version, 0 to 18446744073709551615 (default 0): a launcher\n"
                 "                  with the key refuses a version lower than the highest it has taken\n"
                 "  --expires DATE  the last day (UTC) a launcher with the key takes the release\n"
                 "  --make-torrent  a BitTorrent v1 torrent of the installer, its pieces hashed here\n"
                 "  --web-seed URL  the installer on the web server, http:// (the launcher cannot use https\n"
                 "                  web seeds); may be given more than once\n"
                 "  --tracker URL   an announce URL, http:// or udp://; several: the first is asked first\n"
                 "  --piece-kib N   the piece size in KiB, a power of two from %d to %d (default: from\n"
                 "                  256 KiB to 16 MiB, at most %d pieces)\n"
                 "  --hybrid        a hybrid (v1 and v2) torrent instead, at a cost: libtorrent 2.0 clients,\n"
                 "                  the launcher among them, announce it under both info-hashes and greet a\n"
                 "                  peer named to them under the v2 one with that hash cut to 20 bytes, which\n"
                 "                  v1-only peers (rtorrent, for one) refuse; a tracker that tracks only\n"
                 "                  listed torrents refuses the v2 announces unless it lists that hash too\n",
                 kMinPieceKib, kMaxPieceKib, static_cast<int>(kMaxChosenPieces));
}

int Refuse(const std::string& message) {
    std::fprintf(stderr, "ndnpack: %s\n", message.c_str());
    return 1;
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
    if (!text.empty()) Wipe(&text[0], text.size());
    Wipe(parsed.bytes, sizeof(parsed.bytes));
    return ok;
}

int NewKey(const char* path) {
    unsigned char seed[kPublisherSeedSize];
    if (!BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, seed, sizeof(seed), BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
        return Refuse("no random numbers from the system");
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
        return Refuse(std::string("cannot write ") + path);
    }
    PublisherKey pub = PublicKeyOfSeed(seed);
    Wipe(seed, sizeof(seed));
    std::printf("%s\n", ToHex(pub.bytes, sizeof(pub.bytes)).c_str());
    return 0;
}

// Writes the bytes as `path` through a temporary file beside it: the output is either whole or
// not there (an earlier file of that name stays until the new one is complete).
bool WriteOutputW(const std::wstring& path, const std::string& bytes) {
    const std::wstring tmp = path + L".tmp";
    {
        UniqueKernelHandle out(::CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                             FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!out) return false;
        DWORD written = 0;
        if (!::WriteFile(out.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
            written != bytes.size() || !::FlushFileBuffers(out.get())) {
            out.reset();
            ::DeleteFileW(tmp.c_str());
            return false;
        }
    }
    if (!::MoveFileExW(tmp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        ::DeleteFileW(tmp.c_str());
        return false;
    }
    return true;
}

std::wstring Widen(const char* text) {
    const int n = ::MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    std::wstring out(n > 0 ? static_cast<size_t>(n) : 1, L'\0');
    if (n > 0) ::MultiByteToWideChar(CP_ACP, 0, text, -1, &out[0], n);
    out.resize(out.size() - 1);
    return out;
}

std::string Narrow(const std::wstring& text) {
    const int n = ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? static_cast<size_t>(n) : 1, '\0');
    if (n > 0) ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, &out[0], n, nullptr, nullptr);
    out.resize(out.size() - 1);
    return out;
}

// The command line as UTF-16 words, so that installer names beyond the code page work.
std::vector<std::wstring> WideArguments() {
    std::vector<std::wstring> args;
    int argc = 0;
    LPWSTR* argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    if (!argv) return args;
    for (int i = 0; i < argc; ++i) args.emplace_back(argv[i]);
    ::LocalFree(argv);
    return args;
}

bool ParseUnsigned(const std::string& text, unsigned long long max, unsigned long long& out) {
    if (text.empty() || text.size() > 20) return false;
    unsigned long long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        const unsigned digit = static_cast<unsigned>(c - '0');
        if (v > (max - digit) / 10) return false;
        v = v * 10 + digit;
    }
    out = v;
    return true;
}

int MakeTorrentCommand() {
    const std::vector<std::wstring> args = WideArguments();
    TorrentRequest request;
    std::vector<std::wstring> files;
    for (size_t i = 2; i < args.size(); ++i) {
        const std::wstring& a = args[i];
        const bool takesValue = a == L"--web-seed" || a == L"--tracker" || a == L"--piece-kib";
        if (takesValue && i + 1 >= args.size()) {
            Usage();
            return 2;
        }
        if (a == L"--web-seed") {
            request.webSeeds.push_back(Narrow(args[++i]));
        } else if (a == L"--tracker") {
            request.trackers.push_back(Narrow(args[++i]));
        } else if (a == L"--piece-kib") {
            const std::string value = Narrow(args[++i]);
            unsigned long long kib = 0;
            std::string why;
            if (request.pieceSize != 0) return Refuse("--piece-kib is given twice");
            if (!ParseUnsigned(value, kMaxPieceKib * 2ull, kib)) kib = 0;
            if (!CheckPieceKib(static_cast<long long>(kib), why)) return Refuse("--piece-kib " + value + ": " + why);
            request.pieceSize = static_cast<int>(kib * 1024);
        } else if (a == L"--hybrid") {
            request.hybrid = true;
        } else if (a.size() > 1 && a[0] == L'-') {
            Usage();
            return 2;
        } else {
            files.push_back(a);
        }
    }
    if (files.size() != 2) {
        Usage();
        return 2;
    }
    request.installer = files[0];
    const std::string output = Narrow(files[1]);

    // A progress line for installers that take a while to hash: whole percents, on one line.
    const uint64_t kProgressFrom = 64ull << 20;
    int shown = -1;
    auto progress = [&](uint64_t done, uint64_t total) {
        if (total < kProgressFrom) return;
        const int percent = static_cast<int>(done * 100 / total);
        if (percent == shown) return;
        shown = percent;
        std::fprintf(stderr, "\rhashing %s: %d%% (%llu of %llu MiB)%s", Narrow(files[0]).c_str(), percent,
                     static_cast<unsigned long long>(done >> 20), static_cast<unsigned long long>(total >> 20),
                     done == total ? "\n" : "");
        std::fflush(stderr);
    };

    MadeTorrent made;
    std::string error;
    if (!MakeTorrent(request, made, error, progress)) {
        if (shown >= 0 && shown < 100) std::fprintf(stderr, "\n");
        return Refuse(error);
    }
    if (!WriteOutputW(files[1], made.metainfo)) return Refuse("cannot write " + output);
    std::printf("%s: %s, %llu bytes in %d pieces of %d KiB, %s\n", output.c_str(), made.name.c_str(),
                static_cast<unsigned long long>(made.size), made.pieces, made.pieceSize / 1024,
                made.infoHashV2.empty() ? "v1" : "hybrid (v1 and v2)");
    std::printf("info-hash %s\n", made.infoHashV1.c_str());
    if (!made.infoHashV2.empty()) std::printf("info-hash v2 %s\n", made.infoHashV2.c_str());
    return 0;
}

int PackCommand(int argc, char** argv) {
    const char* secretPath = nullptr;
    const char* versionText = nullptr;
    const char* expiresText = nullptr;
    std::vector<const char*> files;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        const char** option = std::strcmp(a, "--sign") == 0      ? &secretPath
                              : std::strcmp(a, "--version") == 0 ? &versionText
                              : std::strcmp(a, "--expires") == 0 ? &expiresText
                                                                 : nullptr;
        if (option) {
            if (i + 1 >= argc) {
                Usage();
                return 2;
            }
            if (*option) return Refuse(std::string(a) + " is given twice");
            *option = argv[++i];
        } else if (a[0] == '-' && a[1] != '\0') {
            Usage();
            return 2;
        } else {
            files.push_back(a);
        }
    }
    if (files.size() != 2) {
        Usage();
        return 2;
    }
    if ((versionText || expiresText) && !secretPath) return Refuse("--version and --expires go with --sign");

    Release release;
    if (versionText) {
        unsigned long long v = 0;
        if (!ParseUnsigned(versionText, ~0ull, v))
            return Refuse(std::string("--version ") + versionText + ": a whole number from 0 to 18446744073709551615");
        release.version = v;
    }
    if (expiresText) {
        if (!ParseUtcDate(expiresText, release.expiryDay))
            return Refuse(std::string("--expires ") + expiresText + ": not a date YYYY-MM-DD");
        const uint32_t today = UtcToday();
        if (release.expiryDay < today)
            return Refuse(std::string("--expires ") + expiresText + ": that day has passed (today is " +
                          FormatUtcDate(today) + " UTC); launchers would refuse the release");
    }

    unsigned char seed[kPublisherSeedSize] = {};
    if (secretPath && !ReadSecret(secretPath, seed))
        return Refuse(std::string(secretPath) + " holds no secret key (64 hex digits)");
    std::ifstream in(files[0], std::ios::binary);
    if (!in) {
        Wipe(seed, sizeof(seed));
        return Refuse(std::string("cannot read ") + files[0]);
    }
    std::string plain((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (plain.empty()) {
        Wipe(seed, sizeof(seed));
        return Refuse(std::string(files[0]) + " is empty");
    }
    std::string packed = PackContent(plain);
    if (packed.empty()) {
        Wipe(seed, sizeof(seed));
        return Refuse("compression failed");
    }
    if (secretPath) {
        packed += ReleaseTrailer(plain, release, seed);
        // The file must pass the launcher's own check before it is handed out.
        PublisherKeys keys;
        keys.keys[0] = PublicKeyOfSeed(seed);
        keys.count = 1;
        Wipe(seed, sizeof(seed));
        std::string check;
        Release read;
        if (UnpackBytes(reinterpret_cast<const unsigned char*>(packed.data()), packed.size(), &keys, check, nullptr,
                        &read) != UnpackStatus::Ok ||
            check != plain || read.version != release.version || read.expiryDay != release.expiryDay)
            return Refuse("the signed file does not check");
    }
    if (!WriteOutputW(Widen(files[1]), packed)) return Refuse(std::string("cannot write ") + files[1]);
    std::string signedText;
    if (secretPath)
        signedText = ", signed: release " + std::to_string(release.version) +
                     (release.expiryDay ? ", taken until " + FormatUtcDate(release.expiryDay) + " (UTC) included"
                                        : std::string(", no expiry"));
    std::printf("%s: %zu bytes packed into %zu%s\n", files[1], plain.size(), packed.size(), signedText.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--make-torrent") == 0) return MakeTorrentCommand();
    if (argc == 3 && std::strcmp(argv[1], "--new-key") == 0) return NewKey(argv[2]);
    return PackCommand(argc, argv);
}
