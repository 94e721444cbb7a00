// In-process fuzz loops, one target per run, each case checked against a reference written
// apart from the code under test:
//   unpack     UnpackBytes against a streaming inflate of the same bytes
//   split      SplitStartParams against strtok and a reference cut at whole characters
//   startmap   ReadableBytes + CutStartParamText on views that end in reserved pages, real
//              1-byte and uncommitted mappings among them
// Every case has a seed of its own, derived from the run's seed, so one failing case is rerun
// alone with --case SEED.
//   fuzz TARGET [--seed N] [--cases N] [--case SEED]
// Prints: TARGET cases=N failures=N seconds=S, then one line per failure with its seed.
#include <windows.h>

#include <zlib.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "download/PackedFile.h"
#include "launcher/StartParams.h"
#include "../unit/le32.h"

namespace {

// ---- randomness ------------------------------------------------------------------------------

uint64_t SplitMix(uint64_t& s) {
    uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

class Rng {
public:
    explicit Rng(uint64_t seed) : m_s(seed) {}
    uint64_t Next() { return SplitMix(m_s); }
    uint32_t Below(uint32_t n) { return n ? static_cast<uint32_t>(Next() % n) : 0; }
    bool OneIn(uint32_t n) { return Below(n) == 0; }
    unsigned char Byte() { return static_cast<unsigned char>(Next()); }

private:
    uint64_t m_s;
};

// ---- unpack ----------------------------------------------------------------------------------

std::string RandomContent(Rng& r) {
    size_t n = r.OneIn(20) ? 0 : r.Below(r.OneIn(10) ? 70000 : 300);
    std::string s(n, '\0');
    int kind = r.Below(3);
    for (size_t i = 0; i < n; ++i) {
        if (kind == 0) s[i] = static_cast<char>(r.Byte());
        else if (kind == 1) s[i] = "d8:announcei0e4:infole"[r.Below(22)];
        else s[i] = static_cast<char>(i / 97);  // long runs: high ratios
    }
    return s;
}

std::string Deflate(const std::string& plain, int level) {
    uLongf len = compressBound(static_cast<uLong>(plain.size()));
    std::string out(len, '\0');
    compress2(reinterpret_cast<Bytef*>(&out[0]), &len, reinterpret_cast<const Bytef*>(plain.data()),
              static_cast<uLong>(plain.size()), level);
    out.resize(len);
    return out;
}

struct Pool {
    std::vector<std::string> plain, stream;
};

const Pool& StreamPool() {
    static Pool pool = [] {
        Pool p;
        Rng r(0x5EED5EEDull);
        for (int i = 0; i < 512; ++i) {
            p.plain.push_back(RandomContent(r));
            p.stream.push_back(Deflate(p.plain.back(), static_cast<int>(r.Below(10))));
        }
        return p;
    }();
    return pool;
}

std::string MakePackedCase(Rng& r) {
    const Pool& pool = StreamPool();
    size_t pick = r.Below(static_cast<uint32_t>(pool.plain.size()));
    std::string stream = pool.stream[pick];
    uint32_t plainSize = static_cast<uint32_t>(pool.plain[pick].size());
    // Damage the stream now and then.
    int damage = r.Below(6);
    if (damage == 1 && !stream.empty()) stream[r.Below(static_cast<uint32_t>(stream.size()))] ^= static_cast<char>(1 << r.Below(8));
    if (damage == 2) stream.resize(r.Below(static_cast<uint32_t>(stream.size()) + 1));
    if (damage == 3) stream.insert(r.Below(static_cast<uint32_t>(stream.size()) + 1), 1, static_cast<char>(r.Byte()));
    if (damage == 4) {
        stream.resize(r.Below(64));
        for (char& c : stream) c = static_cast<char>(r.Byte());
        if (stream.size() >= 2 && r.OneIn(2)) stream[0] = 0x78, stream[1] = static_cast<char>(0x9C);
    }
    const uint32_t streamSize = static_cast<uint32_t>(stream.size());
    uint32_t stated = plainSize;
    switch (r.Below(8)) {
    case 0: stated = 0; break;
    case 1: stated = plainSize ? plainSize - 1 : 0; break;
    case 2: stated = plainSize + r.Below(100); break;
    case 3: stated = 0xFFFFFFFFu - r.Below(3); break;
    case 4: stated = static_cast<uint32_t>(r.Next()); break;
    default: break;
    }
    uint32_t packed = streamSize;
    switch (r.Below(8)) {
    case 0: packed = 0; break;
    case 1: packed = streamSize + 1 + r.Below(10); break;
    case 2: packed = streamSize ? r.Below(streamSize) : 0; break;
    case 3: packed = 0xFFFFFFFFu - r.Below(16); break;  // 8 + packed wraps 32 bits
    case 4: packed = static_cast<uint32_t>(r.Next()); break;
    default: break;
    }
    std::string file = Le32(stated) + Le32(packed) + stream;
    if (r.OneIn(4)) {
        size_t extra = r.Below(100);
        for (size_t i = 0; i < extra; ++i) file.push_back(static_cast<char>(r.Byte()));
    }
    if (r.OneIn(30)) file.resize(r.Below(9));  // no whole header
    return file;
}

// The reference: header read in 64-bit arithmetic, then inflate fed the stated stream bytes,
// output taken in small pieces; success when the stream ends within them and the content is
// no larger than stated.
bool ReferenceUnpack(const std::string& file, std::string& plain) {
    plain.clear();
    if (file.size() < 8) return false;
    uint64_t stated = ReadLe32(file, 0), packed = ReadLe32(file, 4);
    if (packed == 0 || 8 + packed > file.size()) return false;
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return false;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(file.data() + 8));
    z.avail_in = static_cast<uInt>(packed);
    unsigned char piece[257];
    int rc = Z_OK;
    while (rc == Z_OK) {
        z.next_out = piece;
        z.avail_out = sizeof(piece);
        rc = inflate(&z, Z_NO_FLUSH);
        plain.append(reinterpret_cast<char*>(piece), sizeof(piece) - z.avail_out);
        if (plain.size() > stated) rc = Z_BUF_ERROR;
        if (rc == Z_BUF_ERROR && z.avail_in == 0) break;
    }
    inflateEnd(&z);
    return rc == Z_STREAM_END && plain.size() <= stated;
}

bool CaseUnpack(Rng& r, std::string& why) {
    std::string file = MakePackedCase(r);
    std::string got, expected;
    UnpackStatus st = UnpackBytes(reinterpret_cast<const unsigned char*>(file.data()), file.size(), nullptr, got);
    bool ok = ReferenceUnpack(file, expected);
    if ((st == UnpackStatus::Ok) != ok) {
        why = std::string("unpacker says ") + (st == UnpackStatus::Ok ? "ok" : "fail") + ", reference " +
              (ok ? "ok" : "fail") + " (stated " + std::to_string(file.size() >= 8 ? ReadLe32(file, 0) : 0) + ")";
        return false;
    }
    if (ok && got != expected) {
        why = "content differs";
        return false;
    }
    return true;
}

// ---- split -----------------------------------------------------------------------------------

// The longest prefix of `s` (given as bytes) of at most `room` bytes that ends on a character
// boundary of the code page; a lead byte as the very last byte counts as a character.
std::string ReferenceCut(const std::string& s, size_t room) {
    if (s.size() <= room) return s;
    std::vector<size_t> bounds{0};
    for (size_t i = 0; i < s.size();) {
        i += (::IsDBCSLeadByte(static_cast<BYTE>(s[i])) && i + 1 < s.size()) ? 2 : 1;
        bounds.push_back(i);
    }
    size_t best = 0;
    for (size_t b : bounds)
        if (b <= room) best = b;
    return s.substr(0, best);
}

std::string RandomStartText(Rng& r) {
    static const unsigned char alphabet[] = {'*', '*', '*', 'a', 'b', '0', '1', ' ', '"', 0xB0, 0xA1, 0x81, 0xFE,
                                             0x41, 0x7F, 0x80, 0xFF};
    size_t n;
    switch (r.Below(5)) {
    case 0: n = r.Below(20); break;
    case 1: n = 250 + r.Below(20); break;  // around the field sizes
    case 2: n = 2040 + r.Below(20); break;  // around the working buffer
    case 3: n = r.Below(3000); break;
    default: n = r.Below(600); break;
    }
    std::string s(n, 'x');
    int longRuns = r.Below(3);
    for (size_t i = 0; i < n; ++i) {
        if (longRuns == 0 && r.Below(100) < 97 && i > 0 && s[i - 1] != '*') {
            s[i] = s[i - 1];
            continue;
        }
        s[i] = static_cast<char>(alphabet[r.Below(sizeof(alphabet))]);
    }
    return s;
}

bool CaseSplit(Rng& r, std::string& why) {
    std::string text = RandomStartText(r);
    StartParams got;
    SplitStartParams(text.c_str(), got);

    std::string work = ReferenceCut(text, kStartParamBufferSize - 1);
    std::vector<char> buf(work.begin(), work.end());
    buf.push_back('\0');
    std::string expected[6];
    int count = 0;
    for (char* tok = std::strtok(buf.data(), "*"); tok && count < 6; tok = std::strtok(nullptr, "*")) {
        expected[count++] = tok;
    }
    expected[0] = ReferenceCut(expected[0], kFieldSize - 1);
    expected[1] = ReferenceCut(expected[1], kFieldSize - 1);
    expected[2] = ReferenceCut(expected[2], kFieldSize - 1);
    expected[3] = ReferenceCut(expected[3], kFieldSize - 1);
    expected[4] = ReferenceCut(expected[4], kUrlFieldChars);
    if (expected[5].size() > 1) expected[5].clear();
    const char* fields[6] = {got.relay1, got.relay2, got.recordKey, got.relay4, got.descriptionUrl, got.startFlag};
    for (int i = 0; i < 6; ++i) {
        if (expected[i] != fields[i]) {
            why = "field " + std::to_string(i + 1) + " is '" + fields[i] + "', strtok gives '" + expected[i] + "'";
            return false;
        }
    }
    return true;
}

// ---- the text of "Start Param Map" -----------------------------------------------------------

struct Region {
    char* base = nullptr;
    size_t page = 0;
};

// Two pages reserved, the first committed: views placed in the first page run into the second.
const Region& TwoPages() {
    static Region region = [] {
        Region g;
        SYSTEM_INFO si;
        ::GetSystemInfo(&si);
        g.page = si.dwPageSize;
        g.base = static_cast<char*>(::VirtualAlloc(nullptr, 2 * g.page, MEM_RESERVE, PAGE_NOACCESS));
        ::VirtualAlloc(g.base, g.page, MEM_COMMIT, PAGE_READWRITE);
        return g;
    }();
    return region;
}

// Whole characters only: a lead byte whose trail byte lies beyond the readable end is dropped.
std::string ReferenceWholeChars(const char* view, size_t readable) {
    const void* nul = std::memchr(view, 0, readable);
    if (nul) return std::string(view, static_cast<const char*>(nul) - view);
    size_t i = 0, whole = 0;
    while (i < readable) {
        size_t step = ::IsDBCSLeadByte(static_cast<BYTE>(view[i])) ? 2 : 1;
        if (i + step > readable) break;
        i += step;
        whole = i;
    }
    return std::string(view, whole);
}

bool CheckView(const char* view, size_t expectReadable, std::string& why) {
    size_t readable = ReadableBytes(view, 1024);
    if (readable != expectReadable) {
        why = "readable " + std::to_string(readable) + ", expected " + std::to_string(expectReadable);
        return false;
    }
    char out[1025];
    size_t n = CutStartParamText(view, readable, out);
    std::string expected = ReferenceWholeChars(view, readable);
    if (n != expected.size() || std::string(out, n) != expected || out[n] != '\0') {
        why = "text of " + std::to_string(n) + " bytes, reference " + std::to_string(expected.size());
        return false;
    }
    return true;
}

void FillView(Rng& r, char* view, size_t size) {
    static const unsigned char alphabet[] = {'a', '*', '0', 0xB0, 0xA1, 0x81, 0xFE, 0x20};
    bool terminated = r.OneIn(3);
    for (size_t i = 0; i < size; ++i) view[i] = static_cast<char>(alphabet[r.Below(sizeof(alphabet))]);
    if (terminated && size) view[r.Below(static_cast<uint32_t>(size))] = '\0';
}

bool CaseStartMap(Rng& r, std::string& why) {
    int kind = r.Below(1000);
    if (kind == 0 || kind == 1) {
        // A real mapping of one byte, or one whose pages are only reserved.
        HANDLE m = ::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE | (kind ? SEC_RESERVE : 0), 0,
                                        kind ? 1 << 16 : 1, nullptr);
        if (!m) return true;
        char* view = static_cast<char*>(::MapViewOfFile(m, FILE_MAP_ALL_ACCESS, 0, 0, 0));
        bool ok = true;
        if (view) {
            if (kind == 0) view[0] = static_cast<char>(r.OneIn(2) ? 'a' : 0xB0);
            // One byte maps a whole page: the rest reads as zeros, and the text ends there.
            ok = CheckView(view, kind ? 0 : 1024, why);
            ::UnmapViewOfFile(view);
        }
        ::CloseHandle(m);
        return ok;
    }
    const Region& g = TwoPages();
    size_t readable = 1 + r.Below(1100);
    if (readable > 1024 && r.OneIn(2)) readable = 1024;
    if (readable > g.page) readable = g.page;
    char* view = g.base + g.page - readable;
    FillView(r, view, readable);
    return CheckView(view, readable > 1024 ? 1024 : readable, why);
}

// ---- the loop --------------------------------------------------------------------------------

typedef bool (*CaseFn)(Rng&, std::string&);

struct Target {
    const char* name;
    CaseFn fn;
};

const Target kTargets[] = {{"unpack", CaseUnpack}, {"split", CaseSplit}, {"startmap", CaseStartMap}};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: fuzz unpack|split|startmap [--seed N] [--cases N] [--case SEED]\n");
        return 2;
    }
    const Target* target = nullptr;
    for (const auto& t : kTargets)
        if (std::strcmp(argv[1], t.name) == 0) target = &t;
    if (!target) {
        std::fprintf(stderr, "fuzz: no target %s\n", argv[1]);
        return 2;
    }
    uint64_t seed = 1;
    uint64_t cases = 1000000;
    bool single = false;
    uint64_t caseSeed = 0;
    for (int i = 2; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--seed")) seed = std::strtoull(argv[i + 1], nullptr, 0);
        else if (!std::strcmp(argv[i], "--cases")) cases = std::strtoull(argv[i + 1], nullptr, 0);
        else if (!std::strcmp(argv[i], "--case")) single = true, caseSeed = std::strtoull(argv[i + 1], nullptr, 0);
        else {
            std::fprintf(stderr, "fuzz: unknown %s\n", argv[i]);
            return 2;
        }
    }
    if (single) cases = 1;

    auto start = std::chrono::steady_clock::now();
    uint64_t failures = 0;
    uint64_t stream = seed;
    for (uint64_t i = 0; i < cases; ++i) {
        uint64_t s = single ? caseSeed : SplitMix(stream);
        Rng r(s);
        std::string why;
        if (!target->fn(r, why)) {
            if (++failures <= 50) std::printf("FAIL %s --case 0x%016llx: %s\n", target->name, static_cast<unsigned long long>(s), why.c_str());
        }
    }
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%s seed=%llu cases=%llu failures=%llu seconds=%.1f\n", target->name,
                static_cast<unsigned long long>(seed), static_cast<unsigned long long>(cases),
                static_cast<unsigned long long>(failures), secs);
    return failures ? 1 : 0;
}
