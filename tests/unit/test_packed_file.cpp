// The packed download file: UnpackDownloadedFile on well-formed and bad inputs, and the
// publisher's packer (ndnpack.exe) run as a real process.
#include <windows.h>

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "download/PackedFile.h"
#include "le32.h"
#include "ui/MirelLauncherDlg.h"
#include "test_support.h"

namespace {

// A raw zlib stream of the content, without the two-size header.
std::string Deflate(const std::string& plain, int level = 9) {
    const std::string packed = PackContent(plain, level);
    return packed.size() > 8 ? packed.substr(8) : std::string();
}

std::string Packed(uint32_t unpackedSize, uint32_t packedSize, const std::string& stream) {
    return Le32(unpackedSize) + Le32(packedSize) + stream;
}

// Something shaped like a torrent description: a bencoded dictionary with binary piece hashes.
std::string TorrentLike(size_t pieces) {
    std::string hashes;
    uint32_t x = 2166136261u;
    for (size_t i = 0; i < pieces * 20; ++i) {
        x = (x ^ static_cast<uint32_t>(i)) * 16777619u;
        hashes.push_back(static_cast<char>(x >> 24));
    }
    return "d8:announce30:http://127.0.0.1:6969/announce4:infod6:lengthi" + std::to_string(pieces * 262144) +
           "e4:name15:MirelSetup.exe12:piece lengthi262144e6:pieces" + std::to_string(hashes.size()) + ":" + hashes +
           "ee";
}

bool Exists(const std::string& path) { return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

class PackedFileTest : public ::testing::Test {
protected:
    std::string Path(const std::string& name) const { return m_dir + "\\" + name; }

    // Writes the bytes as Mirel.ndn, unpacks, and reports the result and the file afterwards.
    BOOL Unpack(const std::string& bytes, std::string& after) {
        std::string path = Path("Mirel.ndn");
        if (!WriteBytes(path, bytes)) {
            ADD_FAILURE() << "cannot write " << path;
            return FALSE;
        }
        BOOL r = UnpackDownloadedFile(path.c_str());
        if (!ReadBytes(path, after)) after = "<unreadable>";
        return r;
    }

    TempDir m_tmp;
    const std::string& m_dir = m_tmp.path();
    CMirelLauncherDlg m_dlg;
};

}  // namespace

TEST(PackContent, WritesBothSizesAndOneZlibStream) {
    const std::string plain = TorrentLike(40);
    std::string packed = PackContent(plain);
    ASSERT_GT(packed.size(), 8u);
    EXPECT_EQ(ReadLe32(packed, 0), plain.size());
    EXPECT_EQ(ReadLe32(packed, 4), packed.size() - 8);
    // RFC 1950: CMF 0x78 (deflate, 32K window), and the header's check bits.
    EXPECT_EQ(static_cast<unsigned char>(packed[8]), 0x78);
    EXPECT_EQ(((static_cast<unsigned char>(packed[8]) << 8) | static_cast<unsigned char>(packed[9])) % 31, 0);
    std::string back(plain.size(), '\0');
    uLongf len = static_cast<uLongf>(back.size());
    ASSERT_EQ(uncompress(reinterpret_cast<Bytef*>(&back[0]), &len, reinterpret_cast<const Bytef*>(packed.data() + 8),
                         static_cast<uLong>(packed.size() - 8)),
              Z_OK);
    EXPECT_EQ(len, plain.size());
    EXPECT_TRUE(back == plain);
}

TEST_F(PackedFileTest, WellFormedFilesAreReplacedByTheirContent) {
    const std::string torrent = TorrentLike(64);
    const std::string zeros(4 * 1024 * 1024, '\0');  // deflate's highest ratio
    const std::string stream = Deflate(torrent);
    ASSERT_FALSE(stream.empty());
    struct Case {
        const char* what;
        std::string file;
        std::string plain;
    };
    const Case cases[] = {
        {"exact sizes", Packed(static_cast<uint32_t>(torrent.size()), static_cast<uint32_t>(stream.size()), stream),
         torrent},
        {"PackContent", PackContent(torrent), torrent},
        {"fast level", PackContent(torrent, 1), torrent},
        {"stored level", PackContent(torrent, 0), torrent},
        {"stated size larger than the content",
         Packed(static_cast<uint32_t>(torrent.size()) + 5000, static_cast<uint32_t>(stream.size()), stream), torrent},
        {"stated size absurdly large", Packed(0xFFFFFFFFu, static_cast<uint32_t>(stream.size()), stream), torrent},
        {"stated size larger than this process can hold", Packed(0x7FFFFFFFu, static_cast<uint32_t>(stream.size()), stream),
         torrent},
        {"bytes after the stream", PackContent(torrent) + "trailing bytes that are not read", torrent},
        {"packed size covers trailing bytes",
         Packed(static_cast<uint32_t>(torrent.size()), static_cast<uint32_t>(stream.size()) + 7, stream + "garbage"),
         torrent},
        {"highly compressible content", PackContent(zeros), zeros},
        {"highly compressible content, size unknown", Packed(0xFFFFFFFFu, static_cast<uint32_t>(Deflate(zeros).size()),
                                                             Deflate(zeros)),
         zeros},
        {"one byte", PackContent("x"), "x"},
        {"empty content, stated size 0", Packed(0, static_cast<uint32_t>(Deflate("").size()), Deflate("")), ""},
        {"a signature trailer, no key built in", PackContent(torrent) + std::string(kSignatureMagic) + std::string(64, 'S'),
         torrent},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string after;
        EXPECT_TRUE(Unpack(c.file, after));
        EXPECT_EQ(after.size(), c.plain.size()) << "the new file has the real length";
        EXPECT_TRUE(after == c.plain) << "content differs";
    }
}

TEST_F(PackedFileTest, BadFilesAreLeftUnchanged) {
    const std::string torrent = TorrentLike(64);
    const std::string stream = Deflate(torrent);
    const uint32_t plainSize = static_cast<uint32_t>(torrent.size());
    const uint32_t streamSize = static_cast<uint32_t>(stream.size());
    std::string damaged = stream;
    damaged[damaged.size() / 2] ^= 0x5A;
    damaged[damaged.size() / 2 + 1] ^= 0xA5;
    std::string badCheck = stream;
    badCheck.back() ^= 0x01;  // Adler-32 of the content
    std::string badHeader = stream;
    badHeader[0] = 0x79;  // not deflate with a valid check
    struct Case {
        const char* what;
        std::string file;
    };
    const Case cases[] = {
        {"empty file", ""},
        {"three bytes", "abc"},
        {"header only, both sizes 0", Packed(0, 0, "")},
        {"header only, sizes stated", Packed(plainSize, streamSize, "")},
        {"stated size smaller than the content", Packed(plainSize - 1, streamSize, stream)},
        {"stated size 0", Packed(0, streamSize, stream)},
        {"stream cut off, sizes of the whole", Packed(plainSize, streamSize, stream.substr(0, stream.size() / 2))},
        {"stream cut off, packed size of the part",
         Packed(plainSize, streamSize / 2, stream.substr(0, stream.size() / 2))},
        {"stream without its check value", Packed(plainSize, streamSize - 4, stream.substr(0, stream.size() - 4))},
        {"damaged stream", Packed(plainSize, streamSize, damaged)},
        {"wrong check value", Packed(plainSize, streamSize, badCheck)},
        {"wrong stream header", Packed(plainSize, streamSize, badHeader)},
        {"packed size 0", Packed(plainSize, 0, stream)},
        {"packed size one beyond the end", Packed(plainSize, streamSize + 1, stream)},
        {"packed size 0xFFFFFFFF", Packed(plainSize, 0xFFFFFFFFu, stream)},
        {"both sizes 0xFFFFFFFF", Packed(0xFFFFFFFFu, 0xFFFFFFFFu, stream)},
        {"absurd size, damaged stream", Packed(0xFFFFFFFFu, streamSize, damaged)},
        {"not packed at all", torrent},
        {"raw deflate without zlib framing", Packed(plainSize, streamSize - 6, stream.substr(2, stream.size() - 6))},
        // The one-call unpacker reports success with nothing for these; the content is larger.
        {"stated size 0, content of one byte", std::string("\0\0\0\0\x09\0\0\0\x78\x9c\xab\x00\x00\x00\x79\x00\x79", 17)},
        {"stated size one short of two bytes", Packed(1, static_cast<uint32_t>(Deflate("xy").size()), Deflate("xy"))},
        {"stated size 0xFFFFFFFF, packed size wraps 32 bits", Packed(0xFFFFFFFFu, 0xFFFFFFF9u, stream)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string after;
        EXPECT_FALSE(Unpack(c.file, after));
        EXPECT_EQ(after.size(), c.file.size());
        EXPECT_TRUE(after == c.file) << "the file was changed";
    }
}

TEST_F(PackedFileTest, UnpackingIsNotRepeatable) {
    const std::string torrent = TorrentLike(8);
    std::string after;
    ASSERT_TRUE(Unpack(PackContent(torrent), after));
    ASSERT_TRUE(after == torrent);
    // The plain content's first eight bytes ("d8:annou") are taken for sizes now.
    EXPECT_FALSE(UnpackDownloadedFile(Path("Mirel.ndn").c_str()));
    ASSERT_TRUE(ReadBytes(Path("Mirel.ndn"), after));
    EXPECT_TRUE(after == torrent);
}

TEST_F(PackedFileTest, FilesThatCannotBeOpenedExclusivelyAreLeftAlone) {
    const std::string packed = PackContent(TorrentLike(8));
    const std::string path = Path("Mirel.ndn");

    // Missing: false, and nothing is created.
    EXPECT_FALSE(UnpackDownloadedFile(path.c_str()));
    EXPECT_FALSE(Exists(path));
    EXPECT_FALSE(UnpackDownloadedFile(Path("no such folder\\Mirel.ndn").c_str()));

    // Held open by another handle, whatever sharing that one allows.
    const DWORD shares[] = {0, FILE_SHARE_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE};
    for (DWORD share : shares) {
        SCOPED_TRACE(share);
        ASSERT_TRUE(WriteBytes(path, packed));
        HANDLE other = ::CreateFileA(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(other, INVALID_HANDLE_VALUE);
        EXPECT_FALSE(UnpackDownloadedFile(path.c_str()));
        ::CloseHandle(other);
        std::string after;
        ASSERT_TRUE(ReadBytes(path, after));
        EXPECT_TRUE(after == packed) << "the file was changed";
    }
    // Once the other handle is gone the same file unpacks.
    EXPECT_TRUE(UnpackDownloadedFile(path.c_str()));
    std::string after;
    ASSERT_TRUE(ReadBytes(path, after));
    EXPECT_TRUE(after == TorrentLike(8));
}

// ---- the packer, run as the publisher runs it ------------------------------------------------

namespace {

std::string PackerPath() { return HostToWindows(kNdnpackExe); }

struct RunResult {
    DWORD exitCode = 0xFFFFFFFF;
    std::string out;  // standard output and standard error together
};

// Runs the command line with its output captured; bounded to 60 s.
RunResult RunCommand(const std::string& commandLine) {
    RunResult r;
    SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!::CreatePipe(&readEnd, &writeEnd, &sa, 0)) return r;
    ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = nullptr;
    si.hStdOutput = writeEnd;
    si.hStdError = writeEnd;
    PROCESS_INFORMATION pi{};
    std::string cmd = commandLine;
    BOOL started = ::CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi);
    ::CloseHandle(writeEnd);
    if (!started) {
        ::CloseHandle(readEnd);
        r.out = "cannot start: error " + std::to_string(::GetLastError());
        return r;
    }
    char buf[4096];
    DWORD got = 0;
    while (::ReadFile(readEnd, buf, sizeof(buf), &got, nullptr) && got) r.out.append(buf, got);
    if (::WaitForSingleObject(pi.hProcess, 60000) == WAIT_OBJECT_0)
        ::GetExitCodeProcess(pi.hProcess, &r.exitCode);
    else
        ::TerminateProcess(pi.hProcess, 259);
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    ::CloseHandle(readEnd);
    return r;
}

std::string Quote(const std::string& s) { return "\"" + s + "\""; }

}  // namespace

TEST_F(PackedFileTest, PackerOutputUnpacksToTheOriginal) {
    const std::string torrent = TorrentLike(300);
    ASSERT_TRUE(WriteBytes(Path("game.torrent"), torrent));
    ASSERT_TRUE(WriteBytes(Path("Mirel.ndn"), "an older packed file, replaced"));
    RunResult r = RunCommand(Quote(PackerPath()) + " " + Quote(Path("game.torrent")) + " " + Quote(Path("Mirel.ndn")));
    ASSERT_EQ(r.exitCode, 0u) << r.out;
    std::string packed;
    ASSERT_TRUE(ReadBytes(Path("Mirel.ndn"), packed));
    ASSERT_GT(packed.size(), 8u);
    EXPECT_EQ(ReadLe32(packed, 0), torrent.size());
    EXPECT_EQ(ReadLe32(packed, 4), packed.size() - 8);
    EXPECT_NE(r.out.find(std::to_string(torrent.size()) + " bytes packed into " + std::to_string(packed.size())),
              std::string::npos)
        << r.out;
    // No temporary file stays behind.
    auto names = FolderEntries(m_dir);
    EXPECT_EQ(names.size(), 2u);

    ASSERT_TRUE(UnpackDownloadedFile(Path("Mirel.ndn").c_str()));
    std::string plain;
    ASSERT_TRUE(ReadBytes(Path("Mirel.ndn"), plain));
    EXPECT_TRUE(plain == torrent);
}

TEST_F(PackedFileTest, PackerRefusesBadInputsWithoutWritingOutput) {
    ASSERT_TRUE(WriteBytes(Path("empty.torrent"), ""));
    ASSERT_TRUE(WriteBytes(Path("game.torrent"), TorrentLike(4)));
    const std::string exe = Quote(PackerPath());
    struct Case {
        const char* what;
        std::string args;
        DWORD exitCode;
        std::string message;
        std::string output;  // must not exist afterwards
    };
    const Case cases[] = {
        {"missing input", Quote(Path("missing.torrent")) + " " + Quote(Path("out1.ndn")), 1,
         "ndnpack: cannot read " + Path("missing.torrent"), Path("out1.ndn")},
        {"empty input", Quote(Path("empty.torrent")) + " " + Quote(Path("out2.ndn")), 1,
         "ndnpack: " + Path("empty.torrent") + " is empty", Path("out2.ndn")},
        {"output folder missing", Quote(Path("game.torrent")) + " " + Quote(Path("nowhere\\out3.ndn")), 1,
         "ndnpack: cannot write " + Path("nowhere\\out3.ndn"), Path("nowhere\\out3.ndn")},
        {"no arguments", "", 2, "usage: ndnpack <torrent file> <packed output>", ""},
        {"one argument", Quote(Path("game.torrent")), 2, "usage: ndnpack <torrent file> <packed output>", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RunResult r = RunCommand(exe + (c.args.empty() ? "" : " " + c.args));
        EXPECT_EQ(r.exitCode, c.exitCode) << r.out;
        EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
        if (!c.output.empty()) {
            EXPECT_FALSE(Exists(c.output));
            EXPECT_FALSE(Exists(c.output + ".tmp"));
        }
    }
    std::vector<std::string> names = FolderEntries(m_dir);
    EXPECT_EQ(names.size(), 2u) << "only the two inputs";
}

// ---- the publisher's signature ---------------------------------------------------------------

namespace {

struct Seed {
    unsigned char bytes[kPublisherSeedSize];
};

Seed TestSeed(unsigned char fill) {
    Seed s;
    for (size_t i = 0; i < kPublisherSeedSize; ++i) s.bytes[i] = static_cast<unsigned char>(fill + 7 * i);
    return s;
}

std::string Signed(const std::string& plain, const Seed& seed) { return PackContent(plain) + SignatureTrailer(plain, seed.bytes); }

}  // namespace

TEST_F(PackedFileTest, KeyedUnpackingTakesOnlyTheKeysSignatureOfExactlyTheContent) {
    const Seed seed = TestSeed(1), other = TestSeed(2);
    const PublisherKey key = PublicKeyOfSeed(seed.bytes);
    const std::string torrent = TorrentLike(64), evil = TorrentLike(65);
    const std::string good = Signed(torrent, seed);

    std::string after;
    ASSERT_TRUE(WriteBytes(Path("Mirel.ndn"), good));
    ASSERT_EQ(UnpackPackedFile(Path("Mirel.ndn").c_str(), &key), UnpackStatus::Ok);
    ASSERT_TRUE(ReadBytes(Path("Mirel.ndn"), after));
    EXPECT_TRUE(after == torrent);

    std::string flipped = good;
    flipped[flipped.size() - 10] ^= 0x01;
    // The other content's stream with this content's signature.
    std::string swapped = PackContent(evil) + good.substr(good.size() - kSignatureTrailerSize);
    std::string flippedStream = good;
    flippedStream[20] ^= 0x40;
    struct Case {
        const char* what;
        std::string file;
        UnpackStatus status;
    };
    const Case cases[] = {
        {"unsigned", PackContent(torrent), UnpackStatus::NotSigned},
        {"signed by another key", Signed(torrent, other), UnpackStatus::BadSignature},
        {"signature altered", flipped, UnpackStatus::BadSignature},
        {"content replaced, signature kept", swapped, UnpackStatus::BadSignature},
        {"stream altered", flippedStream, UnpackStatus::BadStream},
        {"trailer cut by one byte", good.substr(0, good.size() - 1), UnpackStatus::NotSigned},
        {"trailer without its mark", PackContent(torrent) + good.substr(good.size() - kSignatureSize), UnpackStatus::NotSigned},
        {"a byte after the trailer", good + "x", UnpackStatus::NotSigned},
        {"two trailers", good + good.substr(good.size() - kSignatureTrailerSize), UnpackStatus::NotSigned},
        {"stream cut off", good.substr(0, 40), UnpackStatus::BadStream},
        {"stated size smaller than the content", Le32(static_cast<uint32_t>(torrent.size() - 1)) + good.substr(4),
         UnpackStatus::BadStream},
        {"stated size 0", Le32(0) + good.substr(4), UnpackStatus::BadStream},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(WriteBytes(Path("Mirel.ndn"), c.file));
        EXPECT_EQ(UnpackPackedFile(Path("Mirel.ndn").c_str(), &key), c.status);
        ASSERT_TRUE(ReadBytes(Path("Mirel.ndn"), after));
        EXPECT_TRUE(after == c.file) << "the file was changed";
    }
}

// The fetched file becomes Mirel.ndn only once it unpacks (and, with a key, is signed by it);
// it is gone either way, and an earlier Mirel.ndn stays when the new one fails.
TEST_F(PackedFileTest, FetchedDescriptionReplacesMirelNdnOnlyWhenWhole) {
    // This test program is built without a key, as the demo's launcher is.
    ASSERT_EQ(BuiltInPublisherKey(), nullptr);
    const std::string torrent = TorrentLike(16);
    const std::string earlier = "an earlier run's description";
    const PublisherKey key = PublicKeyOfSeed(TestSeed(3).bytes);
    struct Case {
        const char* what;
        std::string fetched;
        const PublisherKey* key;
        const char* failure;
        bool replaced;
    };
    const Case cases[] = {
        {"unkeyed, signed", Signed(torrent, TestSeed(3)), nullptr, "", true},
        {"unkeyed, plain", PackContent(torrent), nullptr, "", true},
        {"unkeyed, not packed: silent", "not packed", nullptr, "", false},
        {"unkeyed, cut short: silent", PackContent(torrent).substr(0, 20), nullptr, "", false},
        {"keyed, signed", Signed(torrent, TestSeed(3)), &key, "", true},
        {"keyed, unsigned", PackContent(torrent), &key, "Download Failed No:14, Not Signed\n", false},
        {"keyed, other key", Signed(torrent, TestSeed(4)), &key, "Download Failed No:15, Bad Signature\n", false},
        {"keyed, not packed", "not packed", &key, "Download Failed No:13, Unpack Error:0\n", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(WriteBytes(Path("Mirel.ndn"), earlier));
        ASSERT_TRUE(WriteBytes(Path("Mirel.fetch"), c.fetched));
        bool verified = true;
        EXPECT_STREQ(UnpackFetchedDescription(Path("Mirel.fetch").c_str(), Path("Mirel.ndn").c_str(), c.key, &verified),
                     c.failure);
        EXPECT_EQ(verified, c.replaced && c.key != nullptr);
        EXPECT_FALSE(Exists(Path("Mirel.fetch")));
        std::string after;
        ASSERT_TRUE(ReadBytes(Path("Mirel.ndn"), after));
        EXPECT_TRUE(after == (c.replaced ? torrent : earlier));
    }
}

// The test key pair is made by openssl at configure time; the key pair libtorrent derives from
// the same secret must be the same (both are RFC 8032 Ed25519).
TEST(PublisherKey, TestKeyFromOpensslMatchesTheLauncherMath) {
    std::string secret;
    std::string path = kTestPublisherSecret;
    if (!path.empty() && path[0] == '/') path = "Z:" + path;
    ASSERT_TRUE(ReadBytes(path, secret)) << path;
    while (!secret.empty() && (secret.back() == '\n' || secret.back() == '\r')) secret.pop_back();
    PublisherKey seedAsKey;
    ASSERT_TRUE(ParsePublisherKey(secret.c_str(), seedAsKey));
    unsigned char seed[kPublisherSeedSize];
    std::memcpy(seed, seedAsKey.bytes, sizeof(seed));
    PublisherKey pub = PublicKeyOfSeed(seed);
    EXPECT_EQ(ToHex(pub.bytes, sizeof(pub.bytes)), std::string(kTestPublisherKeyHex));
}

TEST_F(PackedFileTest, PackerMakesAKeyAndSignsWithIt) {
    const std::string exe = Quote(PackerPath());
    const std::string secret = Path("publisher.key");
    RunResult made = RunCommand(exe + " --new-key " + Quote(secret));
    ASSERT_EQ(made.exitCode, 0u) << made.out;
    std::string printed = made.out.substr(0, made.out.find_first_of("\r\n"));
    PublisherKey key;
    ASSERT_TRUE(ParsePublisherKey(printed.c_str(), key)) << made.out;
    std::string secretText;
    ASSERT_TRUE(ReadBytes(secret, secretText));
    EXPECT_EQ(secretText.find(printed), std::string::npos) << "the secret file holds the public key";

    // A second key is never written over the first.
    RunResult again = RunCommand(exe + " --new-key " + Quote(secret));
    EXPECT_EQ(again.exitCode, 1u);
    EXPECT_NE(again.out.find("is never replaced"), std::string::npos) << again.out;
    std::string secretAfter;
    ASSERT_TRUE(ReadBytes(secret, secretAfter));
    EXPECT_EQ(secretAfter, secretText);

    // Two keys made in a row differ: the seed comes from the system's random numbers.
    RunResult second = RunCommand(exe + " --new-key " + Quote(Path("second.key")));
    ASSERT_EQ(second.exitCode, 0u) << second.out;
    EXPECT_NE(second.out.substr(0, 64), printed);

    const std::string torrent = TorrentLike(50);
    ASSERT_TRUE(WriteBytes(Path("game.torrent"), torrent));
    RunResult packed = RunCommand(exe + " --sign " + Quote(secret) + " " + Quote(Path("game.torrent")) + " " +
                                  Quote(Path("Mirel.ndn")));
    ASSERT_EQ(packed.exitCode, 0u) << packed.out;
    EXPECT_NE(packed.out.find(", signed"), std::string::npos) << packed.out;
    std::string file;
    ASSERT_TRUE(ReadBytes(Path("Mirel.ndn"), file));
    EXPECT_EQ(ReadLe32(file, 4) + 8 + kSignatureTrailerSize, file.size()) << "the header's sizes leave the trailer out";
    EXPECT_EQ(UnpackPackedFile(Path("Mirel.ndn").c_str(), &key), UnpackStatus::Ok);
    std::string plain;
    ASSERT_TRUE(ReadBytes(Path("Mirel.ndn"), plain));
    EXPECT_TRUE(plain == torrent);

    // A secret file that holds no key: refused, nothing written.
    ASSERT_TRUE(WriteBytes(Path("bad.key"), "not a key\n"));
    RunResult refused = RunCommand(exe + " --sign " + Quote(Path("bad.key")) + " " + Quote(Path("game.torrent")) + " " +
                                   Quote(Path("out.ndn")));
    EXPECT_EQ(refused.exitCode, 1u);
    EXPECT_NE(refused.out.find("holds no secret key"), std::string::npos) << refused.out;
    EXPECT_FALSE(Exists(Path("out.ndn")));
}
