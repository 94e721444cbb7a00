#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>

#include "launcher/StartParams.h"

namespace {

struct SplitCase {
    const char* text;
    const char* f[6];
};

}  // namespace

TEST(StartParams, SplitsLikeStrtok) {
    const SplitCase cases[] = {
        {"a*b*c*d*e*0", {"a", "b", "c", "d", "e", "0"}},
        {"", {"", "", "", "", "", ""}},
        {"a**b", {"a", "b", "", "", "", ""}},              // a run of separators is one
        {"*a*b", {"a", "b", "", "", "", ""}},              // a leading separator is skipped
        {"a*b*c*d*e*0*", {"a", "b", "c", "d", "e", "0"}},  // a trailing one too
        {"a*b*c*d*e*0*seven", {"a", "b", "c", "d", "e", "0"}},
        {"a*b*c", {"a", "b", "c", "", "", ""}},
        {"\"a*b*c*d*e*0\"", {"\"a", "b", "c", "d", "e", ""}},  // quotes stay; "0\"" is no flag
        {"***", {"", "", "", "", "", ""}},
    };
    for (const auto& c : cases) {
        StartParams p;
        SplitStartParams(c.text, p);
        const char* got[6] = {p.relay1, p.relay2, p.recordKey, p.relay4, p.descriptionUrl, p.startFlag};
        for (int i = 0; i < 6; ++i) EXPECT_STREQ(got[i], c.f[i]) << "text '" << c.text << "' field " << i + 1;
    }
}

TEST(StartParams, OverlongInputsAreCutNeverOverrun) {
    std::string longField(400, 'x');
    std::string url(300, 'u');
    std::string text = longField + "*" + longField + "*" + longField + "*" + longField + "*" + url + "*00";
    StartParams p;
    SplitStartParams(text.c_str(), p);
    EXPECT_EQ(std::string(p.relay1), std::string(259, 'x'));
    EXPECT_EQ(std::string(p.relay4), std::string(259, 'x'));
    EXPECT_EQ(std::string(p.descriptionUrl), std::string(255, 'u'));
    EXPECT_STREQ(p.startFlag, "");  // "00" is not exactly "0": never cut down to "0"

    // A start string over 2047 characters is cut before splitting.
    std::string huge = std::string(2100, 'y') + "*b*c*d*e*0";
    SplitStartParams(huge.c_str(), p);
    EXPECT_EQ(std::string(p.relay1), std::string(259, 'y'));
    EXPECT_STREQ(p.relay2, "");
    EXPECT_STREQ(p.startFlag, "");

    // Fields that end just inside the 2047-character working buffer still count.
    std::string edge = std::string(2040, 'z') + "*b*c*0";
    SplitStartParams(edge.c_str(), p);
    EXPECT_STREQ(p.relay2, "b");
    EXPECT_STREQ(p.relay4, "0");
}

TEST(StartParams, CutsAtCharacterBoundaryOfTheCodePage) {
    // "가" is two bytes in code page 949: 259 bytes hold 129 of them, never half of one.
    std::string korean;
    for (int i = 0; i < 200; ++i) korean += "가";
    ASSERT_EQ(korean.size(), 400u);
    char out[260];
    EXPECT_FALSE(CopyTruncated(out, sizeof(out), korean.c_str()));
    EXPECT_EQ(std::string(out).size(), 258u);
    EXPECT_EQ(std::string(out), korean.substr(0, 258));

    EXPECT_TRUE(CopyTruncated(out, sizeof(out), "short"));
    EXPECT_STREQ(out, "short");
}

// ---- the text of "Start Param Map" -------------------------------------------------------------

TEST(StartParamMap, OnlyCommittedReadableMemoryIsRead) {
    SYSTEM_INFO si;
    ::GetSystemInfo(&si);
    const size_t page = si.dwPageSize;
    // Two pages reserved, only the first one committed.
    char* base = static_cast<char*>(::VirtualAlloc(nullptr, 2 * page, MEM_RESERVE, PAGE_NOACCESS));
    ASSERT_NE(base, nullptr);
    EXPECT_EQ(ReadableBytes(base, 1024), 0u) << "reserved pages are not readable";
    ASSERT_NE(::VirtualAlloc(base, page, MEM_COMMIT, PAGE_READWRITE), nullptr);
    EXPECT_EQ(ReadableBytes(base, 1024), 1024u);
    // A view that starts 10 bytes before the uncommitted page.
    char* view = base + page - 10;
    std::memset(view, 'a', 10);
    EXPECT_EQ(ReadableBytes(view, 1024), 10u);
    char out[1025];
    EXPECT_EQ(CutStartParamText(view, ReadableBytes(view, 1024), out), 10u);
    EXPECT_STREQ(out, "aaaaaaaaaa");
    // Committed but not readable.
    DWORD old = 0;
    ASSERT_TRUE(::VirtualProtect(base, page, PAGE_NOACCESS, &old));
    EXPECT_EQ(ReadableBytes(view, 1024), 0u);
    ASSERT_TRUE(::VirtualProtect(base, page, PAGE_READONLY | PAGE_GUARD, &old));
    EXPECT_EQ(ReadableBytes(view, 1024), 0u);
    ::VirtualFree(base, 0, MEM_RELEASE);
}

TEST(StartParamMap, TextWithoutTerminatorIsCutAtAWholeCharacter) {
    char out[16];
    EXPECT_EQ(CutStartParamText("abc\0def", 7, out), 3u);
    EXPECT_STREQ(out, "abc");
    EXPECT_EQ(CutStartParamText("abcdef", 6, out), 6u);  // no terminator: all of it
    EXPECT_STREQ(out, "abcdef");
    // "가" is 0xB0 0xA1: a lead byte at the very end is dropped, never half a character kept.
    EXPECT_EQ(CutStartParamText("ab\xB0\xA1\xB0", 5, out), 4u);
    EXPECT_STREQ(out, "ab\xB0\xA1");
    EXPECT_EQ(CutStartParamText("\xB0", 1, out), 0u);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(CutStartParamText("x", 0, out), 0u);
}
