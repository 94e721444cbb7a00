// The publisher's torrent: the piece size chosen from the installer's size, and the web seed and
// tracker URLs a launcher can use. (The torrents themselves are read back by Python libtorrent in
// the scenario tests, test_publishing.py; the refusals of bad input are the packer's table in
// test_packed_file.cpp.)
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "kit/TorrentMaker.h"

TEST(PublisherKit, PieceSizeFromTheInstallersSize) {
    const uint64_t KiB = 1024, MiB = 1024 * KiB, GiB = 1024 * MiB;
    struct Case {
        uint64_t size;
        int piece;
    };
    const Case cases[] = {
        {1, 256 * 1024},
        {3 * MiB, 256 * 1024},
        {512 * MiB, 256 * 1024},  // 2048 pieces
        {512 * MiB + 1, 512 * 1024},
        {1 * GiB, 512 * 1024},
        {1 * GiB + 1, 1024 * 1024},
        {4 * GiB + 1, 4 * 1024 * 1024},  // beyond 32 bits
        {8 * GiB, 4 * 1024 * 1024},
        {32 * GiB, 16 * 1024 * 1024},
        {32 * GiB + 1, 16 * 1024 * 1024},  // the largest piece: more pieces then
        {1000 * GiB, 16 * 1024 * 1024},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        EXPECT_EQ(ChoosePieceSize(c.size), c.piece);
        const uint64_t pieces = (c.size + c.piece - 1) / c.piece;
        if (c.piece < kMaxChosenPiece) {
            EXPECT_LE(pieces, kMaxChosenPieces);
        }
        if (c.piece > kMinChosenPiece) {
            EXPECT_GT((c.size + c.piece / 2 - 1) / (c.piece / 2), kMaxChosenPieces);
        }
    }
}

TEST(PublisherKit, UrlsTheLauncherCanUse) {
    struct Case {
        const char* url;
        bool webSeed;
        bool tracker;
    };
    const Case cases[] = {
        {"http://127.0.0.1/MirelSetup.exe", true, true},
        {"http://cdn.example.com:8080/mirel/MirelSetup.exe", true, true},
        {"HTTP://CDN.EXAMPLE.COM/MirelSetup.exe", true, true},
        {"http://cdn.example.com/mirel/", true, true},
        {"http://cdn.example.com", true, true},
        {"http://[::1]:8080/MirelSetup.exe", true, true},
        {"http://cdn.example.com/%EB%AF%B8%EB%A0%90.exe", true, true},
        {"http://tracker.example.com/announce?key=1", true, true},
        {"udp://tracker.example.com:6969", false, true},
        {"udp://tracker.example.com:6969/announce", false, true},
        {"udp://tracker.example.com/announce", false, false},
        {"https://cdn.example.com/MirelSetup.exe", false, false},
        {"ftp://cdn.example.com/MirelSetup.exe", false, false},
        {"cdn.example.com/MirelSetup.exe", false, false},
        {"://cdn.example.com/", false, false},
        {"http://", false, false},
        {"http://:80/x", false, false},
        {"http://cdn.example.com:/x", false, false},
        {"http://cdn.example.com:0/x", false, false},
        {"http://cdn.example.com:65536/x", false, false},
        {"http://cdn.example.com:8o/x", false, false},
        {"http://user@cdn.example.com/x", false, false},
        {"http://cdn_example.com/x", false, false},
        {"http://cdn.example.com/my setup.exe", false, false},
        {"http://cdn.example.com/\xEB\xAF\xB8.exe", false, false},
        {"http://cdn.example.com/x\ty", false, false},
        {"", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        std::string why;
        EXPECT_EQ(CheckWebSeedUrl(c.url, why), c.webSeed) << why;
        EXPECT_EQ(why.empty(), c.webSeed);
        why.clear();
        EXPECT_EQ(CheckTrackerUrl(c.url, why), c.tracker) << why;
        EXPECT_EQ(why.empty(), c.tracker);
    }
}

TEST(PublisherKit, PieceSizesGivenInKib) {
    for (long long kib : {16LL, 32LL, 256LL, 1024LL, 16384LL}) {
        std::string why;
        EXPECT_TRUE(CheckPieceKib(kib, why)) << kib;
    }
    for (long long kib : {0LL, -16LL, 8LL, 15LL, 17LL, 100LL, 1000LL, 32768LL, 1LL << 40}) {
        std::string why;
        EXPECT_FALSE(CheckPieceKib(kib, why)) << kib;
        EXPECT_NE(why.find("a power of two from 16 to 16384 KiB"), std::string::npos);
    }
}
