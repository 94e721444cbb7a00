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

// A command's words after its name: the options that take a value, each with its values in the
// order given, the flags given, and the other words. False for a word that looks like an option
// the command does not know ("-" alone is a word), or an option without its value: the usage then.
struct CommandLine {
    std::vector<std::pair<std::wstring, std::wstring>> values;
    std::vector<std::wstring> flags;
    std::vector<std::wstring> operands;

    std::vector<std::wstring> All(const std::wstring& option) const {
        std::vector<std::wstring> all;
        for (const auto& v : values)
            if (v.first == option) all.push_back(v.second);
        return all;
    }
    bool Has(const std::wstring& flag) const {
        for (const std::wstring& f : flags)
            if (f == flag) return true;
        return false;
    }
};

bool ParseCommandLine(const std::vector<std::wstring>& args, size_t first,
                      std::initializer_list<const wchar_t*> valued, std::initializer_list<const wchar_t*> flags,
                      CommandLine& out) {
    auto among = [](const std::wstring& word, std::initializer_list<const wchar_t*> names) {
        for (const wchar_t* name : names)
            if (word == name) return true;
        return false;
    };
    for (size_t i = first; i < args.size(); ++i) {
        const std::wstring& a = args[i];
        if (among(a, valued)) {
            if (i + 1 >= args.size()) return false;
            out.values.emplace_back(a, args[++i]);
        } else if (among(a, flags)) {
            out.flags.push_back(a);
        } else if (a.size() > 1 && a[0] == L'-') {
            return false;
        } else {
            out.operands.push_back(a);
        }
    }
    return true;
}

// The value of an option that may be given once: false when it was given twice; `value` stays
// empty and `given` false when it was not given.
bool OnceOnly(const CommandLine& line, const wchar_t* option, std::wstring& value, bool& given) {
    const std::vector<std::wstring> all = line.All(option);
    given = !all.empty();
    if (all.size() > 1) return false;
    if (given) value = all[0];
    return true;
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
    CommandLine line;
    if (!ParseCommandLine(WideArguments(), 2, {L"--web-seed", L"--tracker", L"--piece-kib"}, {L"--hybrid"}, line) ||
        line.operands.size() != 2) {
        Usage();
        return 2;
    }
    TorrentRequest request;
    for (const std::wstring& url : line.All(L"--web-seed")) request.webSeeds.push_back(Narrow(url));
    for (const std::wstring& url : line.All(L"--tracker")) request.trackers.push_back(Narrow(url));
    request.hybrid = line.Has(L"--hybrid");
    std::wstring pieceKib;
    bool pieceKibGiven = false;
    if (!OnceOnly(line, L"--piece-kib", pieceKib, pieceKibGiven)) return Refuse("--piece-kib is given twice");
    if (pieceKibGiven) {
        const std::string value = Narrow(pieceKib);
        unsigned long long kib = 0;
        std::string why;
        if (!ParseUnsigned(value, kMaxPieceKib * 2ull, kib)) kib = 0;
        if (!CheckPieceKib(static_cast<long long>(kib), why)) return Refuse("--piece-kib " + value + ": " + why);
        request.pieceSize = static_cast<int>(kib * 1024);
    }
    const std::vector<std::wstring>& files = line.operands;
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

int PackCommand() {
    CommandLine line;
    if (!ParseCommandLine(WideArguments(), 1, {L"--sign", L"--version", L"--expires"}, {}, line) ||
        line.operands.size() != 2) {
        Usage();
        return 2;
    }
    std::wstring secretWide, versionWide, expiresWide;
    bool signing = false, versioned = false, expiring = false;
    if (!OnceOnly(line, L"--sign", secretWide, signing)) return Refuse("--sign is given twice");
    if (!OnceOnly(line, L"--version", versionWide, versioned)) return Refuse("--version is given twice");
    if (!OnceOnly(line, L"--expires", expiresWide, expiring)) return Refuse("--expires is given twice");
    const std::string secretText = Narrow(secretWide), version = Narrow(versionWide), expires = Narrow(expiresWide);
    const char* secretPath = signing ? secretText.c_str() : nullptr;
    const char* versionText = versioned ? version.c_str() : nullptr;
    const char* expiresText = expiring ? expires.c_str() : nullptr;
    const std::string inputName = Narrow(line.operands[0]), outputName = Narrow(line.operands[1]);
    const char* files[2] = {inputName.c_str(), outputName.c_str()};
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
    if (!WriteOutputW(line.operands[1], packed)) return Refuse(std::string("cannot write ") + files[1]);
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
    return PackCommand();
}
