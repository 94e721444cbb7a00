// A keyed launcher's decision on a signed release: the record of the highest version taken per
// publisher key (ReleaseStore, in the registry), the expiry against the clock (through its hook),
// and the dates, as UnpackFetchedDescription applies them to a fetched description.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "download/PackedFile.h"
#include "download/UtcDate.h"
#include "release_support.h"
#include "test_support.h"

namespace {

// Today, for the code under test, is whatever the test says.
class TodayIs {
public:
    explicit TodayIs(uint32_t day) {
        s_day = day;
        m_previous = SetUtcTodayHook([] { return s_day; });
    }
    ~TodayIs() { SetUtcTodayHook(m_previous); }

private:
    static uint32_t s_day;
    UtcTodayHook m_previous;
};
uint32_t TodayIs::s_day = 0;

// A value in the store as the registry holds it, written without the program's own code.
struct Stored {
    DWORD type;        // REG_NONE: no value
    std::string data;  // the value's bytes
};
const Stored kNone{REG_NONE, ""};
Stored Typed(DWORD type, const std::string& data) {
    Stored s;
    s.type = type;
    s.data = data;
    return s;
}
Stored Qword(uint64_t v) { return Typed(REG_QWORD, Le64(v)); }

void Put(const std::string& storeKey, const PublisherKey& key, const Stored& value) {
    if (value.type == REG_NONE) return;
    HKEY h = nullptr;
    ASSERT_EQ(::RegCreateKeyExA(HKEY_CURRENT_USER, storeKey.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &h, nullptr),
              ERROR_SUCCESS);
    const std::string name = ToHex(key.bytes, sizeof(key.bytes));
    EXPECT_EQ(::RegSetValueExA(h, name.c_str(), 0, value.type, reinterpret_cast<const BYTE*>(value.data.data()),
                               static_cast<DWORD>(value.data.size())),
              ERROR_SUCCESS);
    ::RegCloseKey(h);
}

// The value as the registry holds it afterwards.
Stored Get(const std::string& storeKey, const PublisherKey& key) {
    HKEY h = nullptr;
    if (::RegOpenKeyExA(HKEY_CURRENT_USER, storeKey.c_str(), 0, KEY_QUERY_VALUE, &h) != ERROR_SUCCESS) return kNone;
    const std::string name = ToHex(key.bytes, sizeof(key.bytes));
    DWORD type = 0, size = 64;
    char data[64] = {};
    const LONG rc = ::RegQueryValueExA(h, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
    ::RegCloseKey(h);
    if (rc != ERROR_SUCCESS) return kNone;
    return {type, std::string(data, size)};
}

std::string Shown(const Stored& s) {
    if (s.type == REG_NONE) return "none";
    if (s.type == REG_QWORD && s.data.size() == 8) {
        uint64_t v = 0;
        for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s.data[i]);
        return std::to_string(v);
    }
    return "type " + std::to_string(s.type) + ", " + std::to_string(s.data.size()) + " bytes";
}

bool Exists(const std::string& path) { return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

}  // namespace

TEST(UtcDate, DatesAndDayNumbers) {
    struct Case {
        const char* text;
        bool valid;
        uint32_t day;
    };
    const Case cases[] = {
        {"1970-01-01", true, 0},
        {"1970-01-02", true, 1},
        {"2000-02-29", true, 11016},  // a leap year by the 400-year rule
        {"2000-03-01", true, 11017},
        {"2024-02-29", true, 19782},
        {"2024-10-04", true, 20000},
        {"2100-03-01", true, 47541},  // 2100 is no leap year
        {"2106-02-07", true, 49710},  // past the 32-bit seconds of 1970
        {"9999-12-31", true, 2932896},
        {"2100-02-29", false, 0},
        {"2023-02-29", false, 0},
        {"2024-04-31", false, 0},
        {"2024-13-01", false, 0},
        {"2024-00-10", false, 0},
        {"2024-01-00", false, 0},
        {"1969-12-31", false, 0},
        {"2024-1-05", false, 0},
        {"2024-01-05 ", false, 0},
        {"2024/01/05", false, 0},
        {"20240105", false, 0},
        {"", false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        uint32_t day = 777;
        EXPECT_EQ(ParseUtcDate(c.text, day), c.valid);
        EXPECT_EQ(day, c.valid ? c.day : 777u);
        if (c.valid) {
            EXPECT_EQ(FormatUtcDate(c.day), c.text);
        }
    }
}

TEST(UtcDate, TodayComesFromTheSystemClockUnlessAHookIsSet) {
    SYSTEMTIME st{};
    ::GetSystemTime(&st);
    uint32_t expected = 0;
    ASSERT_TRUE(DayOfDate(st.wYear, st.wMonth, st.wDay, expected));
    const uint32_t today = UtcToday();
    EXPECT_TRUE(today == expected || today == expected + 1) << today << " " << expected;  // midnight may pass
    {
        TodayIs day(12345);
        EXPECT_EQ(UtcToday(), 12345u);
    }
    EXPECT_EQ(UtcToday(), today);
}

TEST(PublisherKeys, OneKeyOrTwoSeparatedByAComma) {
    const std::string a(64, 'a'), b = "0123456789ABCDEF0123456789abcdef0123456789abcdef0123456789abcdef";
    const std::string bLower = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
    struct Case {
        std::string text;
        size_t count;  // 0: refused
        std::string second;
    };
    const Case cases[] = {
        {a, 1, ""},
        {a + "," + b, 2, bLower},
        {b + "," + a, 2, a},
        {a + "," + a, 2, a},
        {"", 0, ""},
        {a + ",", 0, ""},
        {"," + a, 0, ""},
        {a + ", " + b, 0, ""},
        {a + "," + b + "," + a, 0, ""},
        {a + b, 0, ""},
        {a.substr(1), 0, ""},
        {a.substr(1) + "g", 0, ""},
        {a + ";" + b, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        PublisherKeys keys;
        keys.count = 99;
        EXPECT_EQ(ParsePublisherKeys(c.text.c_str(), keys), c.count != 0);
        EXPECT_EQ(keys.count, c.count ? c.count : 99u);
        if (c.count == 2) {
            EXPECT_EQ(ToHex(keys.keys[1].bytes, kPublisherKeySize), c.second);
        }
    }
}

// The stored version: missing, unreadable, higher, equal, lower; read, and raised only upwards.
TEST(ReleaseStore, ReadsOnlyASixtyFourBitNumberAndNeverLowersIt) {
    const PublisherKey key = PublicKeyOfSeed(TestSeed(1).bytes);
    struct Case {
        const char* what;
        bool storeExists;
        Stored before;
        ReleaseStore::Found found;
        uint64_t read;
        uint64_t raise;
        std::string after;
    };
    const Case cases[] = {
        {"no store at all", false, kNone, ReleaseStore::Found::Missing, 0, 3, "3"},
        {"a store without the key's value", true, kNone, ReleaseStore::Found::Missing, 0, 3, "3"},
        {"a version", true, Qword(5), ReleaseStore::Found::Value, 5, 3, "5"},
        {"the same version raised to itself", true, Qword(5), ReleaseStore::Found::Value, 5, 5, "5"},
        {"a version raised", true, Qword(5), ReleaseStore::Found::Value, 5, 6, "6"},
        {"the highest version", true, Qword(~0ull), ReleaseStore::Found::Value, ~0ull, 0, "18446744073709551615"},
        {"text", true, Typed(REG_SZ, std::string("7\0", 2)), ReleaseStore::Found::Unreadable, 0, 3, "3"},
        {"a 32-bit number", true, Typed(REG_DWORD, Le32(7)), ReleaseStore::Found::Unreadable, 0, 3, "3"},
        {"eight bytes of another type", true, Typed(REG_BINARY, Le64(7)), ReleaseStore::Found::Unreadable, 0, 3, "3"},
        {"a 64-bit type with four bytes", true, Typed(REG_QWORD, Le32(7)), ReleaseStore::Found::Unreadable, 0, 3, "3"},
        {"a 64-bit type with nine bytes", true, Typed(REG_QWORD, Le64(7) + "x"), ReleaseStore::Found::Unreadable, 0, 3, "3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestReleaseStoreKey storeKey;
        if (c.storeExists) {
            HKEY h = nullptr;
            ASSERT_EQ(::RegCreateKeyExA(HKEY_CURRENT_USER, storeKey.key().c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                        &h, nullptr),
                      ERROR_SUCCESS);
            ::RegCloseKey(h);
        }
        Put(storeKey.key(), key, c.before);
        const ReleaseStore store(storeKey.key());
        uint64_t read = 4242;
        EXPECT_EQ(store.Read(key, read), c.found);
        EXPECT_EQ(read, c.found == ReleaseStore::Found::Value ? c.read : 4242u);
        PublisherKeys keys;
        keys.keys[0] = key;
        keys.count = 1;
        bool unreadable = false;
        EXPECT_EQ(store.Highest(keys, &unreadable), c.read);
        EXPECT_EQ(unreadable, c.found == ReleaseStore::Found::Unreadable);
        EXPECT_TRUE(store.Raise(key, c.raise));
        EXPECT_EQ(Shown(Get(storeKey.key(), key)), c.after);
    }
}

// What a keyed launcher takes: a release signed by one of its keys (the current one, A, or the
// next one, B), no older than the highest version recorded under either, not past its expiry.
// A refusal writes nothing: the earlier Mirel.ndn stays, the record stays, the fetched file goes.
TEST(SignedRelease, TakenOnlyWhenNoOlderThanTheRecordAndNotExpired) {
    TempDir dir;
    const Seed a = TestSeed(1), b = TestSeed(2), other = TestSeed(3);
    const PublisherKeys keys = KeysOf({&a, &b});
    const PublisherKey& keyA = keys.keys[0];
    const PublisherKey& keyB = keys.keys[1];
    const std::string torrent = TorrentLike(20), earlier = "the description taken before";
    const uint64_t kMax = ~0ull;
    const uint32_t today = 20000;  // 2024-10-04
    const std::string versionOnly = std::string("MirelRel") + Le64(5);
    const std::string expiryOnly = std::string("MirelRel") + Le32(today + 1);
    const std::string cut = Released(torrent, a, 5, today + 1);
    const Stored text = Typed(REG_SZ, std::string("9\0", 2));
    struct Case {
        const char* what;
        std::string fetched;
        Stored beforeA, beforeB;
        std::string failure;  // empty: taken
        std::string afterA, afterB;
    };
    const Case cases[] = {
        {"version 0, nothing recorded", Released(torrent, a, 0), kNone, kNone, "", "0", "none"},
        {"version 1", Released(torrent, a, 1), kNone, kNone, "", "1", "none"},
        {"version 2^64-1", Released(torrent, a, kMax), kNone, kNone, "", "18446744073709551615", "none"},
        {"the first form counts as version 0", Signed(torrent, a), kNone, kNone, "", "0", "none"},
        {"the first form after version 3", Signed(torrent, a), Qword(3), kNone,
         "Download Failed No:17, Older Release:0, Accepted:3\n", "3", "none"},
        {"lower: 5 after 6", Released(torrent, a, 5), Qword(6), kNone,
         "Download Failed No:17, Older Release:5, Accepted:6\n", "6", "none"},
        {"equal: 5 again", Released(torrent, a, 5), Qword(5), kNone, "", "5", "none"},
        {"higher: 6 after 5", Released(torrent, a, 6), Qword(5), kNone, "", "6", "none"},
        {"2^64-1 again", Released(torrent, a, kMax), Qword(kMax), kNone, "", "18446744073709551615", "none"},
        {"below 2^64-1", Released(torrent, a, kMax - 1), Qword(kMax), kNone,
         "Download Failed No:17, Older Release:18446744073709551614, Accepted:18446744073709551615\n",
         "18446744073709551615", "none"},
        {"the record unreadable: taken, and recorded anew", Released(torrent, a, 5), text, kNone, "", "5", "none"},
        {"older than what the next key signed", Released(torrent, a, 6), kNone, Qword(7),
         "Download Failed No:17, Older Release:6, Accepted:7\n", "none", "7"},
        {"the next key's release after the current key's", Released(torrent, b, 7), Qword(6), kNone, "", "6", "7"},
        {"the next key's release, older", Released(torrent, b, 5), Qword(6), Qword(4),
         "Download Failed No:17, Older Release:5, Accepted:6\n", "6", "4"},
        {"expired yesterday", Released(torrent, a, 5, today - 1), kNone, kNone,
         "Download Failed No:18, Release Expired:2024-10-03\n", "none", "none"},
        {"expires today", Released(torrent, a, 5, today), kNone, kNone, "", "5", "none"},
        {"expires tomorrow", Released(torrent, a, 5, today + 1), Qword(4), kNone, "", "5", "none"},
        {"expired long ago, by the next key", Released(torrent, b, 9, 1), kNone, kNone,
         "Download Failed No:18, Release Expired:1970-01-02\n", "none", "none"},
        {"older and expired: the older is told", Released(torrent, a, 5, today - 1), Qword(6), kNone,
         "Download Failed No:17, Older Release:5, Accepted:6\n", "6", "none"},
        {"trailer cut inside the version", cut.substr(0, cut.size() - kReleaseTrailerSize + 12), Qword(4), kNone,
         "Download Failed No:14, Not Signed\n", "4", "none"},
        {"signature covers the version, not the expiry", ByHand(torrent, a, 5, today + 1, versionOnly), kNone, kNone,
         "Download Failed No:15, Bad Signature\n", "none", "none"},
        {"signature covers the expiry, not the version", ByHand(torrent, a, 5, today + 1, expiryOnly), kNone, kNone,
         "Download Failed No:15, Bad Signature\n", "none", "none"},
        {"another key's release, higher", Released(torrent, other, 8), Qword(4), kNone,
         "Download Failed No:15, Bad Signature\n", "4", "none"},
    };
    const TodayIs day(today);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestReleaseStoreKey storeKey;
        Put(storeKey.key(), keyA, c.beforeA);
        Put(storeKey.key(), keyB, c.beforeB);
        ASSERT_TRUE(WriteBytes(dir / "Mirel.ndn", earlier));
        ASSERT_TRUE(WriteBytes(dir / "Mirel.fetch", c.fetched));
        bool verified = !c.failure.empty();
        EXPECT_EQ(std::string(UnpackFetchedDescription((dir / "Mirel.fetch").c_str(), (dir / "Mirel.ndn").c_str(), &keys,
                                                       &verified, ReleaseStore(storeKey.key()))),
                  c.failure);
        EXPECT_EQ(verified, c.failure.empty());
        EXPECT_FALSE(Exists(dir / "Mirel.fetch"));
        std::string after;
        ASSERT_TRUE(ReadBytes(dir / "Mirel.ndn", after));
        EXPECT_TRUE(after == (c.failure.empty() ? torrent : earlier)) << "the description";
        EXPECT_EQ(Shown(Get(storeKey.key(), keyA)), c.afterA) << "the current key's record";
        EXPECT_EQ(Shown(Get(storeKey.key(), keyB)), c.afterB) << "the next key's record";
    }
}

// Without keys nothing is checked or recorded: the plain format's launcher takes what comes.
TEST(SignedRelease, AnUnkeyedLauncherRecordsNothing) {
    TempDir dir;
    TestReleaseStoreKey storeKey;
    const Seed a = TestSeed(1);
    const PublisherKey keyA = PublicKeyOfSeed(a.bytes);
    Put(storeKey.key(), keyA, Qword(9));
    const TodayIs day(20000);
    ASSERT_TRUE(WriteBytes(dir / "Mirel.fetch", Released(TorrentLike(4), a, 2, 10)));
    EXPECT_STREQ(UnpackFetchedDescription((dir / "Mirel.fetch").c_str(), (dir / "Mirel.ndn").c_str(), nullptr, nullptr,
                                          ReleaseStore(storeKey.key())),
                 "");
    std::string after;
    ASSERT_TRUE(ReadBytes(dir / "Mirel.ndn", after));
    EXPECT_TRUE(after == TorrentLike(4));
    EXPECT_EQ(Shown(Get(storeKey.key(), keyA)), "9");
}
