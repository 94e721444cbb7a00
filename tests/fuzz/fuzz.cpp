// In-process fuzz loops, one target per run, each case checked against a reference written
// apart from the code under test:
//   unpack     UnpackBytes against a streaming inflate of the same bytes
//   split      SplitStartParams against strtok and a reference cut at whole characters
//   startmap   ReadableBytes + CutStartParamText on views that end in reserved pages, real
//              1-byte and uncommitted mappings among them
//   signature  CheckTrailer on trailers of both forms, whole and damaged, against a decoder of
//              the documented layout that knows which signatures are genuine from having made
//              them; each trailer lies against an unreadable page on one side
//   range      ParseRangeHead on heads of ranged answers, sound and malformed, against a reader
//              of its documented rules (RFC 9110 and 9112) written apart
// Every case has a seed of its own, derived from the run's seed, so one failing case is rerun
// alone with --case SEED.
//   fuzz TARGET [--seed N] [--cases N] [--case SEED]
// Prints: TARGET cases=N failures=N seconds=S, then one line per failure with its seed.
#include <winsock2.h>  // before windows.h, as HttpRange.h has it
#include <windows.h>

#include <libtorrent/kademlia/ed25519.hpp>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "download/HttpRange.h"
#include "download/PackedFile.h"
#include "download/ReleaseSignature.h"
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

// A case's bytes as one line of text, cut when long.
std::string Printable(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (out.size() > 400) {
            out += "...";
            break;
        }
        if (c == '\r') out += "\\r";
        else if (c == '\n') out += "\\n";
        else if (c == '\t') out += "\\t";
        else if (c < 32 || c > 126) {
            char hex[8];
            std::snprintf(hex, sizeof(hex), "\\x%02x", c);
            out += hex;
        } else out += static_cast<char>(c);
    }
    return out;
}

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

// ---- signature -------------------------------------------------------------------------------

// Trailers are encoded here from the documented layout and signed with libtorrent's Ed25519
// directly. Whether a signature is good is known from how it was made: every pair of message
// and signature this file signs is recorded with its signer, so the reference needs no
// verifier of its own; any other pair is a bad signature.

namespace ed = lt::dht;

const int kSigners = 3;

struct SignerKeys {
    ed::public_key pub;
    ed::secret_key sec;
};

const SignerKeys& Signer(int who) {
    static std::vector<SignerKeys> signers = [] {
        std::vector<SignerKeys> all;
        for (int i = 0; i < kSigners; ++i) {
            std::array<char, 32> seed;
            for (size_t b = 0; b < seed.size(); ++b) seed[b] = static_cast<char>(0x40 + 29 * i + 3 * b);
            auto pair = ed::ed25519_create_keypair(seed);
            all.push_back({std::get<0>(pair), std::get<1>(pair)});
        }
        return all;
    }();
    return signers[who];
}

std::string Sign(const std::string& message, int who) {
    const SignerKeys& k = Signer(who);
    ed::signature sig = ed::ed25519_sign({message.data(), static_cast<std::ptrdiff_t>(message.size())}, k.pub, k.sec);
    return std::string(sig.bytes.data(), sig.bytes.size());
}

std::string Le64(uint64_t v) { return Le32(static_cast<uint32_t>(v)) + Le32(static_cast<uint32_t>(v >> 32)); }

// "MirelRel", version (8 bytes), expiry day (4 bytes), all little-endian.
std::string EncodeFields(uint64_t version, uint32_t expiry) { return "MirelRel" + Le64(version) + Le32(expiry); }

struct PoolTrailer {
    size_t plain;
    std::string bytes;
    int signer;
};

struct SignaturePool {
    std::vector<std::string> plains;
    std::vector<PoolTrailer> trailers;
    std::map<std::pair<std::string, std::string>, int> genuine;  // (message, signature) -> signer
};

uint64_t OddVersion(Rng& r) {
    static const uint64_t odd[] = {0, 1, 2, 0x7FFFFFFFFFFFFFFFull, 0x8000000000000000ull, 0xFFFFFFFFFFFFFFFFull,
                                   0xFFFFFFFFull, 0x100000000ull};
    return r.OneIn(2) ? odd[r.Below(8)] : (r.OneIn(2) ? r.Below(1000) : r.Next());
}

uint32_t OddExpiry(Rng& r) {
    // 0 (none), the first days, 2038-01-19 (24855), 9999-12-31 (2932896) and past it, the top.
    static const uint32_t odd[] = {0, 1, 24855, 2932896, 2932897, 0x7FFFFFFFu, 0xFFFFFFFFu, 20000};
    return r.OneIn(2) ? odd[r.Below(8)] : static_cast<uint32_t>(r.Next());
}

const SignaturePool& Signatures() {
    static SignaturePool pool = [] {
        SignaturePool p;
        Rng r(0x519A7E5ull);
        for (int i = 0; i < 24; ++i) {
            size_t n = i == 0 ? 0 : i == 1 ? 1 : i == 2 ? 20000 : r.Below(i < 12 ? 200 : 3000);
            std::string plain(n, '\0');
            for (char& c : plain) c = static_cast<char>(r.OneIn(3) ? r.Byte() : "d8:announcei0e4:infole"[r.Below(22)]);
            p.plains.push_back(plain);
            for (int who = 0; who < kSigners; ++who) {
                const std::string fields = EncodeFields(OddVersion(r), OddExpiry(r));
                const std::string sigNew = Sign(fields + plain, who);
                p.genuine[{fields + plain, sigNew}] = who;
                p.trailers.push_back({p.plains.size() - 1, fields + sigNew, who});
                const std::string sigOld = Sign(plain, who);
                p.genuine[{plain, sigOld}] = who;
                p.trailers.push_back({p.plains.size() - 1, "MirelSig" + sigOld, who});
            }
        }
        return p;
    }();
    return pool;
}

struct TrailerVerdict {
    SignatureCheck check = SignatureCheck::NotSigned;
    uint64_t version = 0;
    uint32_t expiry = 0;
    size_t keyIndex = 0;
};

// The reference decoder. `trusted` holds the signers whose keys the check is given, in order;
// `extra` one more genuine pair of message and signature, made by `extraSigner` (-1: none).
TrailerVerdict ReferenceTrailer(const std::string& t, const std::string& plain, const std::vector<int>& trusted,
                                const std::pair<std::string, std::string>& extra, int extraSigner) {
    TrailerVerdict v;
    std::string message, sig;
    if (t.size() == 84 && t.substr(0, 8) == "MirelRel") {
        for (int i = 7; i >= 0; --i) v.version = v.version * 256 + static_cast<unsigned char>(t[8 + i]);
        for (int i = 3; i >= 0; --i) v.expiry = v.expiry * 256 + static_cast<unsigned char>(t[16 + i]);
        message = t.substr(0, 20) + plain;
        sig = t.substr(20);
    } else if (t.size() == 72 && t.substr(0, 8) == "MirelSig") {
        message = plain;
        sig = t.substr(8);
    } else {
        return v;
    }
    const SignaturePool& pool = Signatures();
    int signer = -1;
    auto found = pool.genuine.find({message, sig});
    if (found != pool.genuine.end()) signer = found->second;
    if (extraSigner >= 0 && extra == std::make_pair(message, sig)) signer = extraSigner;
    v.check = SignatureCheck::BadSignature;
    for (size_t i = 0; i < trusted.size(); ++i) {
        if (trusted[i] == signer) {
            v.check = SignatureCheck::Signed;
            v.keyIndex = i;
            return v;
        }
    }
    return v;
}

// Three pages reserved, the middle one committed: a trailer placed at either edge of it is
// read only within its bytes, or the read faults.
char* GuardedPage(size_t& page) {
    static size_t size = 0;
    static char* middle = [] {
        SYSTEM_INFO si;
        ::GetSystemInfo(&si);
        size = si.dwPageSize;
        char* base = static_cast<char*>(::VirtualAlloc(nullptr, 3 * size, MEM_RESERVE, PAGE_NOACCESS));
        ::VirtualAlloc(base + size, size, MEM_COMMIT, PAGE_READWRITE);
        return base + size;
    }();
    page = size;
    return middle;
}

std::string MutateTrailer(Rng& r, std::string t, std::string& plain, std::pair<std::string, std::string>& extra,
                          int& extraSigner) {
    switch (r.Below(16)) {
    case 5:  // one bit anywhere
        if (!t.empty()) t[r.Below(static_cast<uint32_t>(t.size()))] ^= static_cast<char>(1 << r.Below(8));
        break;
    case 6:  // one byte of the fields, or just behind the mark
        t[8 + r.Below(12)] = static_cast<char>(r.Byte());
        break;
    case 7:  // cut short
        t.resize(r.Below(static_cast<uint32_t>(t.size())));
        break;
    case 8:  // more behind it: a few bytes, or a second trailer
        if (r.OneIn(3)) t += t;
        else for (uint32_t n = 1 + r.Below(8); n; --n) t.push_back(static_cast<char>(r.Byte()));
        break;
    case 9: {  // garbage, sometimes of a trailer's length behind a mark
        const uint32_t lengths[] = {72, 84, 71, 73, 83, 85, 0, 8};
        t.assign(r.OneIn(2) ? lengths[r.Below(8)] : r.Below(130), '\0');
        for (char& c : t) c = static_cast<char>(r.Byte());
        if (t.size() >= 8 && r.OneIn(2)) t.replace(0, 8, r.OneIn(2) ? "MirelRel" : "MirelSig");
        break;
    }
    case 10:  // the other form's mark on the same bytes
        t.replace(0, 8, t.compare(0, 8, "MirelRel") == 0 ? "MirelSig" : "MirelRel");
        break;
    case 11:  // the mark misspelt, or in another case
        t[r.Below(8)] ^= static_cast<char>(r.OneIn(2) ? 0x20 : 1 << r.Below(8));
        break;
    case 12: {  // the content is not what was signed
        int how = r.Below(4);
        if (how == 0) plain.push_back(static_cast<char>(r.Byte()));
        else if (how == 1 && !plain.empty()) plain.pop_back();
        else if (how == 2 && !plain.empty()) plain[r.Below(static_cast<uint32_t>(plain.size()))] ^= 1;
        else plain = plain.empty() ? std::string("x") : std::string();
        break;
    }
    case 13: {  // a fresh signature: fields written may differ from those signed, or the forms mixed
        extraSigner = r.Below(kSigners);
        const std::string written = EncodeFields(OddVersion(r), OddExpiry(r));
        const std::string fieldsSigned = r.OneIn(3) ? written : EncodeFields(OddVersion(r), OddExpiry(r));
        const int form = r.Below(3);
        extra.first = form == 2 ? plain : fieldsSigned + plain;  // 2: the release form over the content alone
        extra.second = Sign(extra.first, extraSigner);
        t = (form == 1 ? std::string("MirelSig") : written) + extra.second;  // 1: the first form over both
        break;
    }
    case 14:  // the other form's length with this form's mark
        if (t.size() == 84) t.resize(72);
        else t += std::string(12, static_cast<char>(r.Byte()));
        break;
    case 15:  // the signature zeroed, or all ones
        std::fill(t.end() - 64, t.end(), static_cast<char>(r.OneIn(2) ? 0 : 0xFF));
        break;
    default:  // intact
        break;
    }
    return t;
}

bool CaseSignature(Rng& r, std::string& why) {
    const SignaturePool& pool = Signatures();
    const PoolTrailer& pick = pool.trailers[r.Below(static_cast<uint32_t>(pool.trailers.size()))];
    std::string plain = pool.plains[pick.plain];
    std::pair<std::string, std::string> extra;
    int extraSigner = -1;
    const std::string t = MutateTrailer(r, pick.bytes, plain, extra, extraSigner);

    std::vector<int> trusted;
    for (uint32_t n = r.Below(8) == 0 ? 0 : 1 + r.Below(2); n; --n) trusted.push_back(r.Below(kSigners));
    if (!trusted.empty() && r.OneIn(2)) trusted[r.Below(static_cast<uint32_t>(trusted.size()))] = pick.signer;
    PublisherKeys keys;
    keys.count = trusted.size();
    for (size_t i = 0; i < trusted.size(); ++i) std::memcpy(keys.keys[i].bytes, Signer(trusted[i]).pub.bytes.data(), 32);

    size_t page = 0;
    char* middle = GuardedPage(page);
    char* at = r.OneIn(2) ? middle + page - t.size() : middle;
    std::memcpy(at, t.data(), t.size());
    Release release;
    release.version = 0x1234;
    release.expiryDay = 0x5678;
    size_t keyIndex = 99;
    const bool wantFields = !r.OneIn(4);
    SignatureCheck got = CheckTrailer(reinterpret_cast<const unsigned char*>(at), t.size(), plain, keys,
                                      wantFields ? &release : nullptr, wantFields ? &keyIndex : nullptr);

    const TrailerVerdict expected = ReferenceTrailer(t, plain, trusted, extra, extraSigner);
    static const char* names[] = {"signed", "not signed", "bad signature"};
    if (got != expected.check) {
        why = std::string("check says ") + names[static_cast<int>(got)] + ", reference " +
              names[static_cast<int>(expected.check)] + " (" + std::to_string(t.size()) + " bytes)";
        return false;
    }
    if (got == SignatureCheck::Signed && wantFields &&
        (release.version != expected.version || release.expiryDay != expected.expiry || keyIndex != expected.keyIndex)) {
        why = "fields " + std::to_string(release.version) + "/" + std::to_string(release.expiryDay) + " key " +
              std::to_string(keyIndex) + ", reference " + std::to_string(expected.version) + "/" +
              std::to_string(expected.expiry) + " key " + std::to_string(expected.keyIndex);
        return false;
    }
    return true;
}

// ---- range -----------------------------------------------------------------------------------

// The reference reads a head in its own way: the whole head cut at the first blank line, the
// folds replaced in the raw text, then each field matched by a small scanner. The rules are
// those written beside ParseRangeHead (HttpRange.h), which follow RFC 9110 and 9112.

bool RefSpace(char c) { return c == ' ' || c == '\t'; }
bool RefDigit(char c) { return c >= '0' && c <= '9'; }

std::string RefStrip(const std::string& s) {
    size_t a = 0, b = s.size();
    while (a < b && RefSpace(s[a])) ++a;
    while (b > a && RefSpace(s[b - 1])) --b;
    return s.substr(a, b - a);
}

bool RefSameText(const std::string& a, const char* b) {
    if (a.size() != std::strlen(b)) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != b[i]) return false;
    return true;
}

// A run of 1 to 18 digits at s[at], moved past; -1 when there is none or it is longer.
int64_t RefDigits(const std::string& s, size_t& at) {
    size_t start = at;
    while (at < s.size() && RefDigit(s[at])) ++at;
    if (at == start || at - start > 18) return -1;
    return std::strtoll(s.substr(start, at - start).c_str(), nullptr, 10);
}

struct RefHead {
    bool ok = false;
    int status = 0;
    int64_t length = -1, first = -1, last = -1;
    bool close = false;
};

// "bytes FIRST-LAST/TOTAL" (TOTAL may be *), or "bytes */TOTAL"; total -2 for "*".
bool RefContentRange(const std::string& v, int64_t& first, int64_t& last, int64_t& total) {
    if (v.size() < 6 || !RefSameText(v.substr(0, 5), "bytes") || v[5] != ' ') return false;
    size_t at = 6;
    if (v.compare(at, 2, "*/") == 0) {
        at += 2;
        first = last = -1;
        total = RefDigits(v, at);
        return total >= 0 && at == v.size();
    }
    first = RefDigits(v, at);
    if (first < 0 || at >= v.size() || v[at++] != '-') return false;
    last = RefDigits(v, at);
    if (last < 0 || at >= v.size() || v[at++] != '/') return false;
    if (v.compare(at, std::string::npos, "*") == 0) {
        total = -2;
        return first <= last;
    }
    total = RefDigits(v, at);
    return total >= 0 && at == v.size() && first <= last && last < total;
}

RefHead ReferenceRangeHead(const std::string& text) {
    RefHead h;
    const size_t blank = text.find("\r\n\r\n");
    if (blank == std::string::npos) return h;
    const std::string head = text.substr(0, blank + 2);  // every line with its CRLF
    const size_t statusEnd = head.find("\r\n");
    const std::string s = head.substr(0, statusEnd);
    if (s.size() < 12 || s.compare(0, 7, "HTTP/1.") != 0 || !RefDigit(s[7]) || s[8] != ' ' || !RefDigit(s[9]) ||
        !RefDigit(s[10]) || !RefDigit(s[11]) || (s.size() > 12 && s[12] != ' '))
        return h;
    const std::string raw = head.substr(statusEnd + 2);
    // Every line that does not begin with whitespace has a colon, and the first does not begin so.
    for (size_t at = 0; at < raw.size();) {
        const size_t eol = raw.find("\r\n", at);
        const std::string line = raw.substr(at, eol - at);
        if (at == 0 && RefSpace(line[0])) return h;
        if (!RefSpace(line[0]) && line.find(':') == std::string::npos) return h;
        at = eol + 2;
    }
    // Unfolded: each run of whitespace, CRLF and whitespace that goes on into a line becomes one space.
    std::string flat;
    for (size_t i = 0; i < raw.size();) {
        size_t j = i;
        bool folded = false;
        for (;;) {
            size_t k = j;
            while (k < raw.size() && RefSpace(raw[k])) ++k;
            if (raw.compare(k, 2, "\r\n") == 0 && k + 2 < raw.size() && RefSpace(raw[k + 2])) {
                j = k + 2;
                folded = true;
            } else {
                if (folded) j = k;
                break;
            }
        }
        if (folded) {
            flat.push_back(' ');
            i = j;
        } else {
            flat.push_back(raw[i++]);
        }
    }
    bool close = false, keepAlive = false, haveLength = false, haveRange = false;
    int64_t length = -1, first = -1, last = -1, total = -1;
    for (size_t at = 0; at < flat.size();) {
        const size_t eol = flat.find("\r\n", at);
        const std::string line = flat.substr(at, eol - at);
        at = eol + 2;
        const size_t colon = line.find(':');
        const std::string name = RefStrip(line.substr(0, colon));
        const std::string value = RefStrip(line.substr(colon + 1));
        if (RefSameText(name, "content-length")) {
            size_t p = 0;
            const int64_t n = RefDigits(value, p);
            if (n < 0 || p != value.size() || (haveLength && n != length)) return h;
            length = n;
            haveLength = true;
        } else if (RefSameText(name, "content-range")) {
            int64_t f = 0, l = 0, t = 0;
            if (!RefContentRange(value, f, l, t)) return h;
            if (haveRange && (f != first || l != last || t != total)) return h;
            first = f, last = l, total = t;
            haveRange = true;
        } else if (RefSameText(name, "connection")) {
            std::string option;
            for (size_t i = 0; i <= value.size(); ++i) {
                if (i < value.size() && value[i] != ',') {
                    option.push_back(value[i]);
                    continue;
                }
                if (RefSameText(RefStrip(option), "close")) close = true;
                if (RefSameText(RefStrip(option), "keep-alive")) keepAlive = true;
                option.clear();
            }
        } else if (RefSameText(name, "transfer-encoding")) {
            return h;
        }
    }
    h.ok = true;
    h.status = (s[9] - '0') * 100 + (s[10] - '0') * 10 + (s[11] - '0');
    h.length = length;
    h.first = first;
    h.last = last;
    h.close = close || (s[7] == '0' && !keepAlive);
    return h;
}

std::string Pick(Rng& r, std::initializer_list<const char*> list) {
    return *(list.begin() + r.Below(static_cast<uint32_t>(list.size())));
}

std::string RandomCase(Rng& r, std::string s) {
    if (r.OneIn(2)) return s;
    for (char& c : s)
        if (r.OneIn(2)) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        else c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string RangeNumber(Rng& r) {
    switch (r.Below(10)) {
    case 0: return Pick(r, {"0", "00", "007", "999999999999999999", "1000000000000000000", "9223372036854775807",
                            "9223372036854775808", "18446744073709551616", "000000000000000001", "0000000000000000001"});
    case 1: return Pick(r, {"", "-1", "+5", "5 5", "0x10", "1e3", "5.0", "\xd9\xa1", "5,5", " "});
    case 2: return std::to_string(r.Next() % 1000000000000000000ull);
    default: return std::to_string(r.Below(r.OneIn(2) ? 10 : 100000));
    }
}

std::string RangeValue(Rng& r) {
    if (r.OneIn(6)) return Pick(r, {"bytes */1000", "bytes */*", "bytes 5/10", "bytes -5/10", "bytes 5-/10", "bytes",
                                    "bytes ", "items 0-1/2", "bytes 0-1/2/3", "bytes 0-1-2/3", "bytes  0-1/2",
                                    "bytes 0 -1/2", "bytes 0- 1/2", "bytes 0-1 /2", "bytes 0-1/ 2", "bytes0-1/2",
                                    "bytes\t0-1/2", "bytes 0-1/", "bytes 0-1/*x", "bytes 0-1/**", "bytes */"});
    std::string first = RangeNumber(r), last, total;
    if (r.OneIn(2)) {  // a sound range, or one end out of place
        int64_t f = r.Below(100000), len = 1 + r.Below(70000);
        first = std::to_string(f);
        last = std::to_string(r.OneIn(8) ? f - 1 : f + len - 1);
        total = r.OneIn(5) ? "*" : std::to_string(r.OneIn(8) ? f + len - 1 : f + len + r.Below(3) * r.Below(1000000));
    } else {
        last = RangeNumber(r);
        total = r.OneIn(4) ? "*" : RangeNumber(r);
    }
    return RandomCase(r, "bytes") + " " + first + "-" + last + "/" + total;
}

std::string Spaces(Rng& r) { return Pick(r, {"", " ", " ", " ", "\t", "  ", " \t "}); }

// One field line without its CRLF, sometimes folded over more lines.
std::string RangeField(Rng& r, std::string& lastLength, std::string& lastRange) {
    std::string name, value;
    switch (r.Below(10)) {
    case 0:
    case 1:
        name = "Content-Length";
        value = r.OneIn(3) && !lastLength.empty() ? lastLength : RangeNumber(r);
        lastLength = value;
        break;
    case 2:
    case 3:
        name = "Content-Range";
        value = r.OneIn(3) && !lastRange.empty() ? lastRange : RangeValue(r);
        lastRange = value;
        break;
    case 4:
    case 5:
        name = "Connection";
        value = Pick(r, {"close", "keep-alive", "Keep-Alive", "CLOSE", "keep-alive, close", "close,keep-alive", "",
                         ",, close ,", "TE, close", "upgrade", "closed", "keep-alive close", "close;q=1", "te"});
        break;
    case 6:
        name = Pick(r, {"Transfer-Encoding", "Content-Type", "Server", "Date", "ETag", "X-Content-Length",
                        "Content-Length-Extra", "Content", "", "Content-Range2", "Connection-Close"});
        value = Pick(r, {"chunked", "identity", "nginx", "5", "bytes 0-0/1", "close", "", "a:b"});
        break;
    case 7: {  // bytes of every kind
        std::string line(r.Below(30), '\0');
        for (char& c : line) c = "a:- \t\r\n\0x5,"[r.Below(11)];
        return line;
    }
    default:
        name = Pick(r, {"Server", "Date", "Accept-Ranges", "Last-Modified", "Cache-Control", "Content-Type"});
        value = Pick(r, {"nginx/1.22.1", "Tue, 08 Dec 2026 12:00:00 GMT", "bytes", "application/octet-stream"});
        break;
    }
    std::string line = RandomCase(r, name) + (r.OneIn(12) ? Spaces(r) : "") + ":" + Spaces(r) + value + Spaces(r);
    if (r.OneIn(10)) {  // folded at a random place after the colon
        const size_t colon = line.find(':');
        const size_t at = colon + 1 + r.Below(static_cast<uint32_t>(line.size() - colon));
        line.insert(at, "\r\n" + Pick(r, {" ", "\t", "  ", " \t"}) + (r.OneIn(4) ? "\r\n " : ""));
    }
    return line;
}

std::string RangeCase(Rng& r) {
    std::string text;
    if (r.OneIn(8)) {
        text = Pick(r, {"HTTP/1.1 2060 Partial", "HTTP/1.x 206 Partial", "HTTP/1.1  206 Partial", "http/1.1 206 Partial",
                        "HTTP/2 206", "HTTP/1.1 20a Partial", "HTTP/1.1 206\tPartial", "HTTP/1.1 206", "HTTP/1.1 206 ",
                        "HTTP/1.1 -06 Partial", "HTTP/1.1 206Partial", "", "HTTP/1.1", "HTTP/1.12 206 Partial",
                        "HTTP/1.9 999 ?", "HTTP/1.1 000 \x01"});
    } else {
        text = Pick(r, {"HTTP/1.1 ", "HTTP/1.1 ", "HTTP/1.0 "}) + Pick(r, {"206", "206", "200", "416", "503"}) +
               Pick(r, {" Partial Content", " OK", " ", "", " Range Not Satisfiable"});
    }
    text += "\r\n";
    if (r.OneIn(30)) text += Spaces(r) + " Content-Length: 5\r\n";  // whitespace before the first field
    std::string lastLength, lastRange;
    for (uint32_t n = r.Below(r.OneIn(10) ? 30 : 7); n; --n) text += RangeField(r, lastLength, lastRange) + "\r\n";
    if (!r.OneIn(15)) text += "\r\n";
    if (r.OneIn(5)) text += Pick(r, {"body", "\r\n", "Content-Length: 1\r\n\r\n", "\r\n\r\n"});
    switch (r.Below(12)) {
    case 0: text.resize(r.Below(static_cast<uint32_t>(text.size()) + 1)); break;
    case 1: if (!text.empty()) text[r.Below(static_cast<uint32_t>(text.size()))] = static_cast<char>(r.Byte()); break;
    case 2: text.insert(r.Below(static_cast<uint32_t>(text.size()) + 1), 1, "\r\n \t:"[r.Below(5)]); break;
    default: break;
    }
    return text;
}

bool CaseRange(Rng& r, std::string& why) {
    const std::string text = RangeCase(r);
    HttpRangeHead got;
    const bool ok = ParseRangeHead(text, got);
    const RefHead expected = ReferenceRangeHead(text);
    if (ok != expected.ok) {
        why = std::string("parser says ") + (ok ? "well-formed" : "malformed") + ", reference " +
              (expected.ok ? "well-formed" : "malformed") + ": " + Printable(text);
        return false;
    }
    if (ok && (got.status != expected.status || got.contentLength != expected.length ||
               got.rangeFirst != expected.first || got.rangeLast != expected.last || got.close != expected.close)) {
        why = "parser reads " + std::to_string(got.status) + " " + std::to_string(got.contentLength) + " " +
              std::to_string(got.rangeFirst) + "-" + std::to_string(got.rangeLast) + (got.close ? " close" : "") +
              ", reference " + std::to_string(expected.status) + " " + std::to_string(expected.length) + " " +
              std::to_string(expected.first) + "-" + std::to_string(expected.last) + (expected.close ? " close" : "") +
              ": " + Printable(text);
        return false;
    }
    return true;
}

// ---- the loop --------------------------------------------------------------------------------

typedef bool (*CaseFn)(Rng&, std::string&);

struct Target {
    const char* name;
    CaseFn fn;
};

const Target kTargets[] = {{"unpack", CaseUnpack},       {"split", CaseSplit}, {"startmap", CaseStartMap},
                           {"signature", CaseSignature}, {"range", CaseRange}};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: fuzz unpack|split|startmap|signature|range [--seed N] [--cases N] [--case SEED]\n");
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
