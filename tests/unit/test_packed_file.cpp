// The packed download file: UnpackDownloadedFile on well-formed and bad inputs, and the
// publisher's packer (ndnpack.exe) run as a real process.
#include <windows.h>

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "download/PackedFile.h"
#include "download/UtcDate.h"
#include "le32.h"
#include "release_support.h"
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
    ASSERT_TRUE(WriteBytes(Path("setup.exe"), std::string(100000, 'x')));
    ASSERT_TRUE(WriteBytes(Path("publisher.key"), std::string(64, '7') + "\n"));
    ASSERT_TRUE(::CreateDirectoryA(Path("a folder").c_str(), nullptr));
    const size_t inputs = FolderEntries(m_dir).size();
    const std::string exe = Quote(PackerPath());
    const std::string torrentOut = Quote(Path("out.torrent"));
    const std::string make = "--make-torrent ";
    const std::string setup = Quote(Path("setup.exe")) + " " + torrentOut;
    const std::string sign = "--sign " + Quote(Path("publisher.key")) + " ";
    const std::string pack = " " + Quote(Path("game.torrent")) + " " + Quote(Path("out.ndn"));
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
        // Signing: the release's version and expiry.
        {"version not a number", sign + "--version 5a" + pack, 1,
         "ndnpack: --version 5a: a whole number from 0 to 18446744073709551615", Path("out.ndn")},
        {"version beyond 64 bits", sign + "--version 18446744073709551616" + pack, 1,
         "ndnpack: --version 18446744073709551616: a whole number", Path("out.ndn")},
        {"version negative", sign + "--version -1" + pack, 1, "ndnpack: --version -1: a whole number", Path("out.ndn")},
        {"version twice", sign + "--version 1 --version 2" + pack, 1, "ndnpack: --version is given twice",
         Path("out.ndn")},
        {"version without a key", "--version 3" + pack, 1, "ndnpack: --version and --expires go with --sign",
         Path("out.ndn")},
        {"expiry not a date", sign + "--expires 2030-02-30" + pack, 1,
         "ndnpack: --expires 2030-02-30: not a date YYYY-MM-DD", Path("out.ndn")},
        {"expiry in another form", sign + "--expires 30.01.2030" + pack, 1, "not a date YYYY-MM-DD", Path("out.ndn")},
        {"expiry passed", sign + "--expires 2001-01-01" + pack, 1,
         "ndnpack: --expires 2001-01-01: that day has passed (today is ", Path("out.ndn")},
        {"version with no value", sign + pack + " --version", 2, "usage: ndnpack", Path("out.ndn")},
        // Making the torrent.
        {"installer missing", make + Quote(Path("missing.exe")) + " " + torrentOut, 1,
         "ndnpack: cannot read " + Path("missing.exe") + " (error 2)", Path("out.torrent")},
        {"installer empty", make + Quote(Path("empty.torrent")) + " " + torrentOut, 1,
         "ndnpack: " + Path("empty.torrent") + " is empty", Path("out.torrent")},
        {"installer a folder", make + Quote(Path("a folder")) + " " + torrentOut, 1,
         "ndnpack: " + Path("a folder") + " is a folder", Path("out.torrent")},
        {"torrent's folder missing", make + Quote(Path("setup.exe")) + " " + Quote(Path("nowhere\\out.torrent")), 1,
         "ndnpack: cannot write " + Path("nowhere\\out.torrent"), Path("nowhere\\out.torrent")},
        {"web seed over https", make + "--web-seed https://cdn.example.com/setup.exe " + setup, 1,
         "ndnpack: the web seed https://cdn.example.com/setup.exe is https: the launcher's BitTorrent part has no TLS",
         Path("out.torrent")},
        {"web seed without a scheme", make + "--web-seed cdn.example.com/setup.exe " + setup, 1,
         "the web seed cdn.example.com/setup.exe is not a URL", Path("out.torrent")},
        {"web seed of another scheme", make + "--web-seed ftp://cdn.example.com/setup.exe " + setup, 1,
         "is not an http:// URL", Path("out.torrent")},
        {"web seed with a blank", make + "--web-seed \"http://cdn.example.com/my setup.exe\" " + setup, 1,
         "holds a blank, a control or a non-ASCII character", Path("out.torrent")},
        {"web seed without a host", make + "--web-seed http:///setup.exe " + setup, 1, "names no host",
         Path("out.torrent")},
        {"web seed with a bad port", make + "--web-seed http://cdn.example.com:70000/setup.exe " + setup, 1,
         "has a port that is not a number from 1 to 65535", Path("out.torrent")},
        {"web seed with credentials", make + "--web-seed http://user:pw@cdn.example.com/setup.exe " + setup, 1,
         "carries a user name or password", Path("out.torrent")},
        {"tracker over https", make + "--tracker https://tracker.example.com/announce " + setup, 1,
         "ndnpack: the tracker https://tracker.example.com/announce is https", Path("out.torrent")},
        {"udp tracker without a port", make + "--tracker udp://tracker.example.com " + setup, 1,
         "the tracker udp://tracker.example.com names no port", Path("out.torrent")},
        {"tracker of another scheme", make + "--tracker wss://tracker.example.com/announce " + setup, 1,
         "is neither an http:// nor a udp:// URL", Path("out.torrent")},
        {"piece size not a power of two", make + "--piece-kib 100 " + setup, 1,
         "ndnpack: --piece-kib 100: a piece size is a power of two from 16 to 16384 KiB", Path("out.torrent")},
        {"piece size too large", make + "--piece-kib 32768 " + setup, 1, "--piece-kib 32768: a piece size",
         Path("out.torrent")},
        {"piece size too small", make + "--piece-kib 8 " + setup, 1, "--piece-kib 8: a piece size", Path("out.torrent")},
        {"piece size not a number", make + "--piece-kib 1M " + setup, 1, "--piece-kib 1M: a piece size",
         Path("out.torrent")},
        {"an unknown option", make + "--v2 " + setup, 2, "--hybrid        a hybrid (v1 and v2) torrent", Path("out.torrent")},
        {"no output", make + Quote(Path("setup.exe")), 2, "usage: ndnpack", Path("out.torrent")},
        {"web seed with no URL", make + setup + " --web-seed", 2, "usage: ndnpack", Path("out.torrent")},
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
    EXPECT_EQ(names.size(), inputs) << "only the inputs";
}

// ---- the publisher's signature ---------------------------------------------------------------

TEST_F(PackedFileTest, KeyedUnpackingTakesOnlyTheKeysSignatureOfExactlyTheContent) {
    const Seed seed = TestSeed(1), other = TestSeed(2);
    const PublisherKeys keys = KeysOf({&seed});
    const std::string torrent = TorrentLike(64), evil = TorrentLike(65);
    const std::string good = Signed(torrent, seed);
    const std::string release = Released(torrent, seed, 5, 20000);
    const uint64_t kMax = ~0ull;

    std::string after;
    ASSERT_TRUE(WriteBytes(Path("Mirel.ndn"), good));
    ASSERT_EQ(UnpackPackedFile(Path("Mirel.ndn").c_str(), &keys), UnpackStatus::Ok);
    ASSERT_TRUE(ReadBytes(Path("Mirel.ndn"), after));
    EXPECT_TRUE(after == torrent);

    std::string flipped = good;
    flipped[flipped.size() - 10] ^= 0x01;
    // The other content's stream with this content's signature.
    std::string swapped = PackContent(evil) + good.substr(good.size() - kSignatureTrailerSize);
    std::string flippedStream = good;
    flippedStream[20] ^= 0x40;
    std::string raised = release;  // version 5 made 6 after signing
    raised[release.size() - kReleaseTrailerSize + kTrailerMarkSize] ^= 0x03;
    std::string extended = release;  // expiry moved a day later after signing
    extended[release.size() - kReleaseTrailerSize + kTrailerMarkSize + 8] ^= 0x01;
    const std::string versionOnly = std::string("MirelRel") + Le64(5);
    const std::string expiryOnly = std::string("MirelRel") + Le32(20000);
    struct Case {
        const char* what;
        std::string file;
        UnpackStatus status;
        uint64_t version;
        uint32_t expiryDay;
        size_t signer;
    };
    const Case cases[] = {
        {"first form: version 0, no expiry", good, UnpackStatus::Ok, 0, 0, 0},
        {"version 0", Released(torrent, seed, 0), UnpackStatus::Ok, 0, 0, 0},
        {"version 1", Released(torrent, seed, 1), UnpackStatus::Ok, 1, 0, 0},
        {"version 2^64-1", Released(torrent, seed, kMax), UnpackStatus::Ok, kMax, 0, 0},
        {"version and expiry", release, UnpackStatus::Ok, 5, 20000, 0},
        {"built by hand from the layout", ByHand(torrent, seed, 7, 30000, "MirelRel" + Le64(7) + Le32(30000)),
         UnpackStatus::Ok, 7, 30000, 0},
        {"signed by the second key", Released(torrent, other, 3), UnpackStatus::Ok, 3, 0, 1},
        {"unsigned", PackContent(torrent), UnpackStatus::NotSigned, 0, 0, 0},
        {"signed by another key", Signed(torrent, TestSeed(9)), UnpackStatus::BadSignature, 0, 0, 0},
        {"release signed by another key", Released(torrent, TestSeed(9), 5), UnpackStatus::BadSignature, 0, 0, 0},
        {"signature altered", flipped, UnpackStatus::BadSignature, 0, 0, 0},
        {"content replaced, signature kept", swapped, UnpackStatus::BadSignature, 0, 0, 0},
        {"content replaced, release trailer kept", PackContent(evil) + release.substr(release.size() - kReleaseTrailerSize),
         UnpackStatus::BadSignature, 0, 0, 0},
        {"version raised after signing", raised, UnpackStatus::BadSignature, 0, 0, 0},
        {"expiry moved after signing", extended, UnpackStatus::BadSignature, 0, 0, 0},
        {"signature covers the version, not the expiry", ByHand(torrent, seed, 5, 20000, versionOnly),
         UnpackStatus::BadSignature, 0, 0, 0},
        {"signature covers the expiry, not the version", ByHand(torrent, seed, 5, 20000, expiryOnly),
         UnpackStatus::BadSignature, 0, 0, 0},
        {"signature of the content alone under the release mark", ByHand(torrent, seed, 0, 0, ""),
         UnpackStatus::BadSignature, 0, 0, 0},
        {"first form's mark before a release trailer", PackContent(torrent) + "MirelSig" +
                                                             release.substr(release.size() - kReleaseTrailerSize + 8),
         UnpackStatus::NotSigned, 0, 0, 0},
        {"release trailer cut inside the version", release.substr(0, release.size() - kReleaseTrailerSize + 11),
         UnpackStatus::NotSigned, 0, 0, 0},
        {"release trailer cut by one byte", release.substr(0, release.size() - 1), UnpackStatus::NotSigned, 0, 0, 0},
        {"stream altered", flippedStream, UnpackStatus::BadStream, 0, 0, 0},
        {"trailer cut by one byte", good.substr(0, good.size() - 1), UnpackStatus::NotSigned, 0, 0, 0},
        {"trailer without its mark", PackContent(torrent) + good.substr(good.size() - kSignatureSize), UnpackStatus::NotSigned, 0, 0, 0},
        {"a byte after the trailer", good + "x", UnpackStatus::NotSigned, 0, 0, 0},
        {"a byte after the release trailer", release + "x", UnpackStatus::NotSigned, 0, 0, 0},
        {"two trailers", good + good.substr(good.size() - kSignatureTrailerSize), UnpackStatus::NotSigned, 0, 0, 0},
        {"stream cut off", good.substr(0, 40), UnpackStatus::BadStream, 0, 0, 0},
        {"stated size smaller than the content", Le32(static_cast<uint32_t>(torrent.size() - 1)) + good.substr(4),
         UnpackStatus::BadStream, 0, 0, 0},
        {"stated size 0", Le32(0) + good.substr(4), UnpackStatus::BadStream, 0, 0, 0},
    };
    const PublisherKeys both = KeysOf({&seed, &other});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(WriteBytes(Path("Mirel.ndn"), c.file));
        std::string plain;
        Release read;
        read.version = 12345;
        size_t signer = 9;
        EXPECT_EQ(ReadPackedFile(Path("Mirel.ndn").c_str(), &both, plain, nullptr, &read, &signer), c.status);
        if (c.status == UnpackStatus::Ok) {
            EXPECT_TRUE(plain == torrent);
            EXPECT_EQ(read.version, c.version);
            EXPECT_EQ(read.expiryDay, c.expiryDay);
            EXPECT_EQ(signer, c.signer);
        } else {
            EXPECT_EQ(UnpackPackedFile(Path("Mirel.ndn").c_str(), &keys), c.status);
            EXPECT_TRUE(plain.empty());
        }
        ASSERT_TRUE(ReadBytes(Path("Mirel.ndn"), after));
        EXPECT_TRUE(after == c.file) << "the file was changed";
    }
}

// The fetched file becomes Mirel.ndn only once it unpacks (and, with a key, is signed by it);
// it is gone either way, and an earlier Mirel.ndn stays when the new one fails.
TEST_F(PackedFileTest, FetchedDescriptionReplacesMirelNdnOnlyWhenWhole) {
    // This test program is built without a key.
    ASSERT_EQ(BuiltInPublisherKeys(), nullptr);
    const std::string torrent = TorrentLike(16);
    const std::string earlier = "an earlier run's description";
    const Seed seed = TestSeed(3);
    const PublisherKeys key = KeysOf({&seed});
    const TestReleaseStoreKey storeKey;
    const ReleaseStore store(storeKey.key());
    struct Case {
        const char* what;
        std::string fetched;
        const PublisherKeys* key;
        const char* failure;
        bool replaced;
    };
    const Case cases[] = {
        {"unkeyed, signed", Signed(torrent, TestSeed(3)), nullptr, "", true},
        {"unkeyed, plain", PackContent(torrent), nullptr, "", true},
        {"unkeyed, not packed: told", "not packed", nullptr, "Download Failed No:13, Unpack Error:0\n", false},
        {"unkeyed, cut short: told", PackContent(torrent).substr(0, 20), nullptr, "Download Failed No:13, Unpack Error:0\n",
         false},
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
        EXPECT_STREQ(
            UnpackFetchedDescription(Path("Mirel.fetch").c_str(), Path("Mirel.ndn").c_str(), c.key, &verified, store),
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
    PublisherKeys keys;
    keys.keys[0] = key;
    keys.count = 1;
    const uint32_t today = UtcToday();
    struct Case {
        std::string options;
        uint64_t version;
        uint32_t expiryDay;
        std::string summary;
    };
    const Case cases[] = {
        {"", 0, 0, ", signed: release 0, no expiry"},
        {" --version 5", 5, 0, ", signed: release 5, no expiry"},
        {" --expires " + FormatUtcDate(today) + " --version 7", 7, today,
         ", signed: release 7, taken until " + FormatUtcDate(today) + " (UTC) included"},
        {" --version 18446744073709551615 --expires 9999-12-31", ~0ull, 2932896,
         ", signed: release 18446744073709551615, taken until 9999-12-31 (UTC) included"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        RunResult packed = RunCommand(exe + " --sign " + Quote(secret) + c.options + " " + Quote(Path("game.torrent")) +
                                      " " + Quote(Path("Mirel.ndn")));
        ASSERT_EQ(packed.exitCode, 0u) << packed.out;
        EXPECT_NE(packed.out.find(c.summary), std::string::npos) << packed.out;
        std::string file;
        ASSERT_TRUE(ReadBytes(Path("Mirel.ndn"), file));
        EXPECT_EQ(ReadLe32(file, 4) + 8 + kReleaseTrailerSize, file.size()) << "the header's sizes leave the trailer out";
        std::string plain;
        Release release;
        EXPECT_EQ(ReadPackedFile(Path("Mirel.ndn").c_str(), &keys, plain, nullptr, &release), UnpackStatus::Ok);
        EXPECT_TRUE(plain == torrent);
        EXPECT_EQ(release.version, c.version);
        EXPECT_EQ(release.expiryDay, c.expiryDay);
        // Read as the plain format, it is the description.
        ASSERT_TRUE(UnpackDownloadedFile(Path("Mirel.ndn").c_str()));
        ASSERT_TRUE(ReadBytes(Path("Mirel.ndn"), plain));
        EXPECT_TRUE(plain == torrent);
    }

    // A secret file that holds no key: refused, nothing written.
    ASSERT_TRUE(WriteBytes(Path("bad.key"), "not a key\n"));
    RunResult refused = RunCommand(exe + " --sign " + Quote(Path("bad.key")) + " " + Quote(Path("game.torrent")) + " " +
                                   Quote(Path("out.ndn")));
    EXPECT_EQ(refused.exitCode, 1u);
    EXPECT_NE(refused.out.find("holds no secret key"), std::string::npos) << refused.out;
    EXPECT_FALSE(Exists(Path("out.ndn")));
}
